#include "LogCapture.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include "TestEnv.h"
#include "logger.h"

QString LogCapture::path() {
    static const QString file = [] {
        const QString name = testenv::tempDir() + QStringLiteral("/logs/test.log");
        static const QByteArray encoded = QFile::encodeName(name);
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
        return name;
    }();
    return file;
}

LogCapture::LogCapture() {
    mark();
}

void LogCapture::mark() {
    offset_ = QFileInfo(path()).size();
}

QString LogCapture::text() const {
    QFile f(path());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset_)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}
