#include "LogCapture.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "logger.h"

static QString logPath() {
    static QTemporaryDir dir;
    static const QString name = [] {
        const QString file = dir.filePath(QStringLiteral("logs/test.log"));
        static const QByteArray encoded = QFile::encodeName(file);
        // Something may have logged already and started the log lazily without a file.
        deinit_logger_cli();
        logger_config cfg{};  // no size limit: the file never rotates
        cfg.file_name = encoded.constData();
        cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
        cfg.echo_stdout = 1;
        init_logger_cli(&cfg);
        return file;
    }();
    return name;
}

LogCapture::LogCapture() : offset_(QFileInfo(logPath()).size()) {}

void LogCapture::initLogger() {
    logPath();
}

QString LogCapture::text() const {
    QFile f(logPath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset_)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}
