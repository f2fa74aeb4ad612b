// The parameter block and the system-information line (moved here from the log suite with the
// functions), read back from a log file.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>

#include "SettingsLog.h"
#include "TestEnv.h"
#include "logger.h"

namespace {

class SettingsLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        restart(path.constData());
    }
    void TearDown() override { restart(nullptr); }  // back to the suite's echo-only log

    static void restart(const char* file) {
        deinit_logger_cli();
        logger_config cfg{};
        cfg.file_name = file;
        cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_BRIDGE;
        cfg.max_file_size = 10485760;
        cfg.rotate_count = 3;
        cfg.cli_mode = 1;
        cfg.echo_stdout = 1;
        init_logger_cli(&cfg);
    }
    // The messages of the log, without the time, pid and level fields.
    QString messages() const {
        QString text = testenv::readFile(dir.filePath("logs/t.log"));
        return text.remove(QRegularExpression(QStringLiteral("^\\[[^]]*\\] \\[PID:\\d+\\] "),
                                              QRegularExpression::MultilineOption));
    }

    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath("logs/t.log"));
};

TEST_F(SettingsLog, ParameterBlock) {
    GlobalSettings& gs = GlobalSettings::instance();
    const ConnectionParams saved = gs.connectionParams;
    gs.connectionParams.sessionId = "4711";
    gs.connectionParams.serverUrl = "https://vdi.example.test";
    gs.connectionParams.timeout = 60;
    gs.connectionParams.videoCodec = "h264";
    gs.connectionParams.audioCodec = "G711";
    gs.connectionParams.stunUrl = "stun://127.0.0.1:3478";
    gs.connectionParams.micVolume = 55;
    gs.connectionParams.disableSsl = true;
    gs.fromLink = true;
    printCliParams("Params from CLI :", gs);
    gs.connectionParams = saved;
    gs.fromLink = false;
    EXPECT_EQ(messages().toStdString(),
              "[INFO] Params from CLI :\nsession-id=4711,\nserver-url=https://vdi.example.test,\n"
              "timeout=60,\nvideo-codec=h264,\naudio-codec=G711,\nstun-url=stun://127.0.0.1:3478,\n"
              "force=1\nfrom-link=1\n");
}

TEST_F(SettingsLog, SystemInfoAndWaylandDetection) {
    struct Row {
        const char* platform;
        const char* sessionType;
        bool wayland;
    };
    const Row rows[] = {
        {"xcb", "wayland", false},  // only the Qt platform counts
        {"wayland", "wayland", true},
        {"Wayland-EGL", "", true},
    };
    GlobalSettings& gs = GlobalSettings::instance();
    qputenv("XDG_CURRENT_DESKTOP", "XFCE");
    for (const Row& row : rows) {
        SetUp();
        gs.waylandSession = false;
        qputenv("XDG_SESSION_TYPE", row.sessionType);
        readAndLogSystemInfo(row.platform, gs);
        QString expected = QString("[INFO] System info : %1 %2 %3 %4 XFCE %5\n")
                               .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                                    QSysInfo::prettyProductName(), row.sessionType, row.platform);
        if (row.wayland) {
            expected += "[WARNING] Usage of wayland protocol is not supported\n";
        }
        EXPECT_EQ(messages().toStdString(), expected.toStdString()) << row.platform;
        EXPECT_EQ(gs.waylandSession, row.wayland) << row.platform;
        QFile::remove(dir.filePath("logs/t.log"));
    }
    gs.waylandSession = false;
    qunsetenv("XDG_SESSION_TYPE");
    qunsetenv("XDG_CURRENT_DESKTOP");
}

}  // namespace
