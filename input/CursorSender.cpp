#include "CursorSender.h"

#include <QCryptographicHash>
#include <QThread>
#include <atomic>
#include <cstdlib>

#include "logger.h"

bool getCurrentCursor(char** message, int* width, int* height) {
    static std::atomic<bool> onceFlag{true};
    *message = nullptr;
    *width = 0;
    *height = 0;
    if (onceFlag.exchange(false)) {
        cli_log(LL_WARNING, "%s not implemented for current system\n", "getCurrentCursor");
    }
    return false;
}

CursorSender::CursorSender(QThread* ownerThread) : ownerThread(ownerThread) {}

void CursorSender::resetConnection() {
    const QByteArray seed = QByteArray::fromHex(QByteArray::number(rand(), 16));
    connectionId = QCryptographicHash::hash(seed, QCryptographicHash::Md5);
    cursorMap.clear();
}

void CursorSender::process() {
    cli_log(LL_INFO, "Started CursorThread\n");
    while (!ownerThread->isInterruptionRequested()) {
        char* message = nullptr;
        int width = 0;
        int height = 0;
        if (getCurrentCursor(&message, &width, &height) && message != nullptr) {
            emit sendCursor(QString::fromUtf8(message));
        }
        free(message);
        QThread::msleep(100);
    }
    cli_log(LL_INFO, "Finished CursorThread\n");
}
