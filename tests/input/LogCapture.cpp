#include "LogCapture.h"

#include <QFile>
#include <QFileInfo>

#include "TestEnv.h"
#include "logger.h"

namespace logcapture {

QString path() {
    static const QString file = [] {
        const QString name = testenv::tempDir() + QStringLiteral("/logs/input-tests.log");
        static const QByteArray encoded = QFile::encodeName(name);
        // Something may have logged already and started the log lazily without a file.
        deinit_logger_cli();
        logger_config cfg{};
        cfg.file_name = encoded.constData();
        cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
        cfg.max_file_size = 100 * 1024 * 1024;
        cfg.rotate_count = 3;
        cfg.cache_zone = 1;
        cfg.cli_mode = 1;
        cfg.echo_stdout = 0;
        init_logger_cli(&cfg);
        return name;
    }();
    return file;
}

Mark::Mark() : offset(QFileInfo(path()).size()) {}

QString Mark::text() const {
    QFile f(path());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

}  // namespace logcapture
