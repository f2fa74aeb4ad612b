// The log owner: file location under the settings directory, the reporting lines, the debug bit.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>

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

}  // namespace

TEST_F(Wrapper, LogsUnderTheSettingsDirectoryAndEchoes) {
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log("PELKA", "Kelvano Assistant");
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
        LoggerWrapper log("PELKA", "Kelvano Assistant");
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
        LoggerWrapper log("PELKA", "Kelvano Assistant");
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
        LoggerWrapper log("PELKA", "Kelvano Assistant");
        cli_log(LL_INFO, "hello");
        log.printLogFilePath();
    }
    EXPECT_EQ(readLines(logFile()).size(), 1);
    EXPECT_TRUE(readAll(stdoutFile())
                    .endsWith(QString("getLogFilename: %1 -> %2\n").arg(settingsDir(), logFile())));
}

TEST_F(Wrapper, DebugFlagSwitchesTheDebugBit) {
    {
        StdoutCapture cap(stdoutFile());
        LoggerWrapper log("PELKA", "Kelvano Assistant");
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
