#include "WSCursor.h"

#include <cstdlib>
#include <ctime>

#include "CursorSender.h"
#include "WorkerThread.h"
#include "logger.h"

WSCursor::WSCursor(QObject* parent) : QObject(parent), webSocket(QStringLiteral("cursor")) {
    webSocket.sessionInPath = true;
    connect(&webSocket, &QWebSocket::connected, this, &WSCursor::onConnected);
    connect(&webSocket, &QWebSocket::disconnected, this, &WSCursor::onDisconnected);
    connect(&webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &WSCursor::onError);
    connect(&webSocket, &QWebSocket::textMessageReceived, this, &WSCursor::onTextMessageReceived);
    sender = new CursorSender(&cursorThread);
    srand(static_cast<unsigned>(time(nullptr)));
    sender->moveToThread(&cursorThread);
    connect(&cursorThread, &QThread::started, sender, &CursorSender::process);
    connect(sender, &CursorSender::sendCursor, this, &WSCursor::sendCursor);
}

WSCursor::~WSCursor() {
    webSocket.disconnect(this);
    stopAndJoin(cursorThread);
    delete sender;
}

void WSCursor::sendCursor(const QString& msg) {
    if (webSocket.state() != QAbstractSocket::ConnectedState) {
        cli_log(LL_ERROR, "Cursor channel not opened\n");
        return;
    }
    cli_log(LL_DEBUG, "Sending new cursor %s\n", qUtf8Printable(msg));
    if (webSocket.sendTextMessage(msg) != msg.toUtf8().size()) {
        cli_log(LL_ERROR, "Cursor channel data not sended\n");
    }
}

void WSCursor::onConnected() {
    sender->resetConnection();
    cursorThread.start(QThread::InheritPriority);
}

void WSCursor::stopWorker() {
    stopAndJoin(cursorThread);
}

void WSCursor::onDisconnected() {
    stopAndJoin(cursorThread);
}

void WSCursor::onError(QAbstractSocket::SocketError) {
    cli_log(LL_ERROR, "Cursor web socket connection return error: %s\n",
            qUtf8Printable(webSocket.errorString()));
}

void WSCursor::onTextMessageReceived(const QString&) {
    cli_log(LL_INFO, "Got message from cursor channel: \n");
}
