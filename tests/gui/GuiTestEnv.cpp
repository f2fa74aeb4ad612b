#include "GuiTestEnv.h"

#include <QDir>
#include <QFile>

#include "TestEnv.h"
#include "logger.h"

#include <gst/gst.h>
#include <stdlib.h>

namespace {

// Runs before main, so before any window asks for the single-instance socket.
struct PrivateRuntimeDir {
    PrivateRuntimeDir() {
        if (mkdtemp(dir)) {
            setenv("XDG_RUNTIME_DIR", dir, 1);
            made = true;
        }
    }
    ~PrivateRuntimeDir() {
        if (made) {
            QDir(QString::fromLocal8Bit(dir)).removeRecursively();
        }
    }
    static char dir[];
    bool made = false;
} const privateRuntimeDir;
char PrivateRuntimeDir::dir[] = "/tmp/kelvano-gui-test-XXXXXX";

}  // namespace

namespace logcapture {
namespace {
QString logPath;
qint64 markOffset = 0;

QByteArray readAll() {
    QFile f(logPath);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return f.readAll();
}
}  // namespace

void start() {
    if (!logPath.isEmpty()) {
        return;
    }
    logPath = QDir(testenv::tempDir()).filePath(QStringLiteral("logs/gui.log"));
    static QByteArray name = logPath.toUtf8();
    logger_config cfg{};
    cfg.file_name = name.constData();
    cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
    cfg.max_file_size = 100 * 1024 * 1024;
    cfg.rotate_count = 3;
    cfg.cli_mode = 1;
    cfg.echo_stdout = 1;
    // Anything logged before this ran with the library's defaults; start over on our file.
    deinit_logger_cli();
    init_logger_cli(&cfg);
    set_log_level_mask(cfg.level_mask);
}

QString sinceMark() {
    return QString::fromUtf8(readAll().mid(markOffset));
}

void mark() {
    markOffset = readAll().size();
}

}  // namespace logcapture

namespace guitest {

void initMedia() {
    if (!gst_is_initialized()) {
        gst_init(nullptr, nullptr);
    }
}

}  // namespace guitest
