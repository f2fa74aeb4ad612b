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
        logger_config cfg{};
        cfg.file_name = encoded.constData();
        cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
        cfg.max_file_size = 1 << 30;
        cfg.rotate_count = 3;
        cfg.cli_mode = 1;
        cfg.echo_stdout = 1;
        init_logger_cli(&cfg);
        return file;
    }();
    return name;
}

void LogCapture::initLogger() {
    logPath();
}

void LogCapture::mark() {
    offset_ = QFileInfo(logPath()).size();
}

QString LogCapture::text() const {
    QFile f(logPath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset_)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}
