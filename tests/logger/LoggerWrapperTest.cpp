// The log owner: file location under the settings directory, the reporting lines, the debug bit.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>

#include "GlobalSettings.h"
#include "LogTestUtil.h"
#include "LoggerWrapper.h"
#include "logger.h"

using namespace logtest;

namespace {

class Wrapper : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        deinit_logger_cli();
        useSettingsRoot(tmp_.path() + "/config");
    }
    void TearDown() override { deinit_logger_cli(); }

    void useSettingsRoot(const QString& root) {
        root_ = root;
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, root);
    }
    QString settingsDir() const { return root_ + "/PELKA"; }
    QString logFile() const { return settingsDir() + "/logs/Kelvano Assistant.log"; }
    QString stdoutFile() const { return tmp_.path() + "/stdout.txt"; }
    // The message parts of the log file's lines, from the INFO/WARNING... field on.
    QString rawLog() const { return readAll(logFile()); }

    QTemporaryDir tmp_;
    QString root_;
};

// Everything after the "[LEVEL] " of the first line of a raw log text.
QString firstMessage(const QString& raw) {
    auto m = lineRe().match(raw.section('\n', 0, 0));
    if (!m.hasMatch()) {
        return {};
    }
    return raw.mid(m.capturedStart(13));
}

}  // namespace

TEST_F(Wrapper, LogsUnderTheSettingsDirectoryAndEchoes) {
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log;
        EXPECT_EQ(log.getLogDir(), settingsDir());
        EXPECT_STREQ(log.config().file_name, QFile::encodeName(logFile()).constData());
        EXPECT_EQ(log.config().level_mask, 2071u);
        cli_log(LL_INFO, "Starting: %s, version %s\n", "Kelvano Assistant", "0.7.0.25167");
        cli_log(LL_DEBUG, "not without the debug flag");
    }
    const QStringList out = readLines(logFile());
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("[INFO] Starting: Kelvano Assistant, version 0.7.0.25167"));
    EXPECT_EQ(readAll(stdoutFile()), rawLog());
    // The settings store is only asked for its location; nothing is written into it.
    EXPECT_FALSE(exists(settingsDir() + "/Kelvano Assistant.ini"));
}

TEST_F(Wrapper, DestructionClosesTheLog) {
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log;
        cli_log(LL_INFO, "inside");
    }
    {
        StdoutCapture cap(stdoutFile());
        cli_log(LL_CRITICAL, "after the owner is gone");
    }
    EXPECT_EQ(readLines(logFile()).size(), 1);
    EXPECT_TRUE(readAll(stdoutFile()).isEmpty());
}

TEST_F(Wrapper, PrintsTheLogPathLineOnStdoutOnly) {
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log;
        log.printLogFilePath();
    }
    EXPECT_EQ(readAll(stdoutFile()),
              QString("getLogFilename: %1 -> %2\n").arg(settingsDir(), logFile()));
    EXPECT_FALSE(exists(logFile()));
}

// A home directory with letters outside Latin-1 still gets its log file.
TEST_F(Wrapper, NonLatinSettingsDirectory) {
    useSettingsRoot(tmp_.path() + QString::fromUtf8("/Иван/конфиг"));
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log;
        cli_log(LL_INFO, "hello");
        log.printLogFilePath();
    }
    EXPECT_EQ(readLines(logFile()).size(), 1);
    EXPECT_TRUE(readAll(stdoutFile())
                    .endsWith(QString("getLogFilename: %1 -> %2\n").arg(settingsDir(), logFile())));
}

TEST_F(Wrapper, ParameterBlockHasTheExactShape) {
    GlobalSettings& gs = GlobalSettings::instance();
    const ConnectionParams saved = gs.connectionParams;
    const bool savedFromLink = gs.fromLink;
    gs.connectionParams.sessionId = "4711";
    gs.connectionParams.serverUrl = "https://vdi.example.test";
    gs.connectionParams.timeout = 60;
    gs.connectionParams.videoCodec = "h264";
    gs.connectionParams.audioCodec = "G711";
    gs.connectionParams.stunUrl = "stun://127.0.0.1:3478";
    gs.connectionParams.micVolume = 55;
    gs.connectionParams.disableSsl = true;
    gs.fromLink = false;
    gs.debug = true;
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log;
        log.printCliParams("Params from CLI :", gs);
    }
    gs.connectionParams = saved;
    gs.fromLink = savedFromLink;
    gs.debug = false;
    EXPECT_EQ(firstMessage(rawLog()),
              "Params from CLI :\n"
              "session-id=4711,\n"
              "server-url=https://vdi.example.test,\n"
              "timeout=60,\n"
              "video-codec=h264,\n"
              "audio-codec=G711,\n"
              "stun-url=stun://127.0.0.1:3478,\n"
              "force=1\n"
              "from-link=0\n");
}

TEST_F(Wrapper, ParameterBlockWithLeadingNewlineTitle) {
    GlobalSettings& gs = GlobalSettings::instance();
    const bool savedFromLink = gs.fromLink;
    gs.fromLink = true;
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log;
        log.printCliParams("\nRunning with the following parameters:", gs);
    }
    gs.fromLink = savedFromLink;
    const QString msg = firstMessage(rawLog());
    EXPECT_TRUE(msg.startsWith("\nRunning with the following parameters:\nsession-id="));
    EXPECT_TRUE(msg.endsWith("force=0\nfrom-link=1\n")) << msg.toStdString();
}

TEST_F(Wrapper, SystemInfoLineAndWaylandDetection) {
    struct Row {
        const char* platform;
        const char* sessionType;
        bool wayland;
    };
    const Row rows[] = {
        {"xcb", "x11", false},        {"xcb", "wayland", false},  // only the Qt platform counts
        {"wayland", "wayland", true}, {"Wayland-EGL", "", true}, {"offscreen", "", false},
    };
    GlobalSettings& gs = GlobalSettings::instance();
    for (const Row& row : rows) {
        gs.waylandSession = false;
        qputenv("XDG_SESSION_TYPE", row.sessionType);
        qputenv("XDG_CURRENT_DESKTOP", "XFCE");
        QFile::remove(logFile());
        {
            StdoutCapture cap(stdoutFile());
            LoggerWrapper log;
            log.readAndLogSystemInfo(row.platform);
        }
        const QStringList out = readLines(logFile());
        ASSERT_EQ(out.size(), row.wayland ? 2 : 1) << row.platform;
        EXPECT_TRUE(
            out[0].endsWith(QString("[INFO] System info : %1 %2 %3 %4 XFCE %5")
                                .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                                     QSysInfo::prettyProductName(), row.sessionType, row.platform)))
            << out[0].toStdString();
        if (row.wayland) {
            EXPECT_TRUE(out[1].endsWith("[WARNING] Usage of wayland protocol is not supported"));
        }
        EXPECT_EQ(gs.waylandSession, row.wayland) << row.platform;
    }
    gs.waylandSession = false;
    qunsetenv("XDG_SESSION_TYPE");
    qunsetenv("XDG_CURRENT_DESKTOP");
}

TEST_F(Wrapper, DebugFlagSwitchesTheDebugBit) {
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log;
        log.setDebug(true);
        EXPECT_EQ(log.config().level_mask, 2071u | LL_DEBUG);
        cli_log(LL_DEBUG, "seen");
        log.setDebug(false);
        EXPECT_EQ(log.config().level_mask, 2071u);
        cli_log(LL_DEBUG, "not seen");
    }
    const QStringList out = readLines(logFile());
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("[DEBUG] seen"));
}
