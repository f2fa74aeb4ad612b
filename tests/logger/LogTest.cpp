// The log core, its owner and the bridges: the offset, rotation, file modes, lost files,
// concurrent writers, and the level each framework severity lands on.
#include <fcntl.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <thread>
#include <tuple>
#include <vector>

#include "LogBridges.h"
#include "LoggerWrapper.h"
#include "TestEnv.h"
#include "logger.h"

namespace {

// Lines of a file without their line feeds; none for a missing file.
QStringList readLines(const QString& path) {
    return testenv::readFile(path).split('\n', Qt::SkipEmptyParts);
}

unsigned modeOf(const QString& path) {
    struct stat st {};
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A fresh log for each test on logs/test.log in a directory of its own.
class LogCore : public ::testing::Test {
protected:
    void TearDown() override { deinit_logger_cli(); }

    void start(uint32_t mask = 2071, int32_t maxSize = 10485760, bool echo = false) {
        deinit_logger_cli();
        logger_config cfg{};
        cfg.file_name = name.constData();
        cfg.level_mask = mask;
        cfg.max_file_size = maxSize;
        cfg.rotate_count = 50;
        cfg.cli_mode = 1;
        cfg.echo_stdout = echo;
        ASSERT_EQ(init_logger_cli(&cfg), 0);
    }
    QStringList lines() const { return readLines(log); }

    QTemporaryDir dir;
    const QString logs = dir.path() + "/logs";
    const QString log = logs + "/test.log";
    const QByteArray name = QFile::encodeName(log);
};

// Runs first: the bridges are installed before GStreamer starts, as at start-up, and twice (nothing
// doubles). Each severity lands on its level: one line with only that level's bit on, none with
// every other bit on. A Qt fatal message is logged, then the process aborts.
TEST_F(LogCore, BridgesPutEverySeverityOnItsLevel) {
    installLogBridges("Kelvano Assistant");
    installLogBridges("Kelvano Assistant");
    gst_init(nullptr, nullptr);
    EXPECT_EQ(gst_debug_get_default_threshold(), GST_LEVEL_ERROR);
    GstDebugCategory* cat = _gst_debug_category_new("bridgetest", 0, "bridge tests");
    gst_debug_category_set_threshold(cat, GstDebugLevel(15));

    // GLib's flags go to the handler itself: some would end the process on the way.
    enum Source { FromQt, FromGLib, FromGLibHandler, FromGst };
    std::vector<std::tuple<Source, int, unsigned>> rows = {
        // source, severity, level
        {FromQt, QtDebugMsg, LL_DEBUG},
        {FromQt, QtWarningMsg, LL_WARNING},
        {FromQt, QtCriticalMsg, LL_ERROR},
        {FromQt, QtInfoMsg, LL_INFO},
        {FromGLib, G_LOG_LEVEL_CRITICAL, LL_ERROR},
        {FromGLibHandler, G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL, LL_CRITICAL},
        {FromGLibHandler, G_LOG_LEVEL_MESSAGE, LL_INFO},
        {FromGLibHandler, G_LOG_LEVEL_DEBUG, LL_DEBUG},
        {FromGLibHandler, G_LOG_FLAG_RECURSION, LL_BRIDGE},
        {FromGLibHandler, G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING, LL_ERROR},
    };
    // GStreamer's levels 0 to 11 in order, then one it does not name.
    const unsigned gst[] = {LL_DEBUG, LL_ERROR, LL_WARNING, LL_WARNING, LL_INFO,  LL_DEBUG,
                            LL_DEBUG, LL_DEBUG, LL_BRIDGE,  LL_DEBUG,   LL_DEBUG, LL_BRIDGE};
    for (int level = 0; level < 12; ++level) {
        rows.push_back({FromGst, level, gst[level]});
    }
    rows.push_back({FromGst, 15, LL_BRIDGE});
    const QMessageLogContext ctx("a.cpp", 1, "f()", "default");
    for (const auto& [source, severity, level] : rows) {
        for (const uint32_t mask : {level, ~level & 0x7fffffffu}) {
            start(mask);
            QFile::remove(log);
            if (source == FromQt) {
                qt_message_output(QtMsgType(severity), ctx, "x");
            } else if (source == FromGLib) {
                g_log(nullptr, GLogLevelFlags(severity), "x");
            } else if (source == FromGLibHandler) {
                glib_to_log("GStreamer", GLogLevelFlags(severity), "x", nullptr);
            } else {
                gst_debug_log(cat, GstDebugLevel(severity), "a.c", "f", 1, nullptr, "x");
            }
            EXPECT_EQ(lines().size(), mask == level ? 1 : 0)
                << "source " << source << ", severity " << severity << ", mask " << mask;
        }
    }

    start();
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(qFatal("out of luck"), "");
    ASSERT_EQ(lines().size(), 2);
    EXPECT_TRUE(lines()[0].contains("[CRITICAL] [QT] ") && lines()[0].endsWith("out of luck"));
    EXPECT_TRUE(lines()[1].endsWith("[CRITICAL] Kelvano Assistant application aborted"));
}

// The offset is the zone's offset at that instant (tm_gmtoff): summer time here all year round.
TEST_F(LogCore, OffsetIsTheZonesOffsetAtThatInstant) {
    const QByteArray savedTz = qgetenv("TZ");
    setenv("TZ", "NST3:30NDT,0/0,J365/25", 1);
    tzset();
    start();
    cli_log(LL_INFO, "zone");
    EXPECT_EQ(lines()[0].section(' ', 2, 2), "-0230]");
    savedTz.isNull() ? unsetenv("TZ") : setenv("TZ", savedTz.constData(), 1);
    tzset();
}

// A file that has reached the threshold is rotated before the next line; one byte less is not.
// The line after is longer than the stack buffer: it is written whole, from the heap.
TEST_F(LogCore, RotatesExactlyAtTheThreshold) {
    const qint64 threshold = 10485760;
    start(2071, threshold);
    cli_log(LL_INFO, "creates the file");
    ASSERT_TRUE(QFile::resize(log, threshold - 1));
    cli_log(LL_INFO, "below");
    EXPECT_FALSE(QFileInfo::exists(log + ".1"));
    ASSERT_TRUE(QFile::resize(log, threshold));
    const QByteArray big(100000, 'x');
    cli_log(LL_INFO, "at %s", big.constData());
    EXPECT_EQ(QFileInfo(log + ".1").size(), threshold);
    ASSERT_EQ(lines().size(), 1);
    EXPECT_TRUE(lines()[0].endsWith("at " + big));
}

// The log holds session ids and ICE passwords: the file is 0600 (also one an older version left
// readable, kept so when rotated, and the older rotated ones), the folders made for it 0700, also
// when a deleted one is made again. A file where the folder should be drops lines quietly until it
// is gone.
TEST_F(LogCore, FilesArePrivateAndALostFolderIsMadeAgain) {
    const mode_t savedUmask = umask(022);
    start();
    cli_log(LL_INFO, "first");
    EXPECT_EQ(modeOf(logs), 0700u);
    EXPECT_EQ(modeOf(log), 0600u);
    ASSERT_TRUE(QDir(logs).removeRecursively());
    ASSERT_TRUE(QFile(logs).open(QIODevice::WriteOnly));
    cli_log(LL_INFO, "lost");
    ASSERT_TRUE(QFile::remove(logs));
    cli_log(LL_INFO, "kept");
    ASSERT_EQ(lines().size(), 1);
    EXPECT_TRUE(lines()[0].endsWith("kept"));
    EXPECT_EQ(modeOf(logs), 0700u);

    ASSERT_TRUE(QFile::remove(log));
    for (const QString& old : {log, log + ".3"}) {  // left readable by an older version
        ASSERT_TRUE(QFile(old).open(QIODevice::WriteOnly));
        ASSERT_EQ(modeOf(old), 0644u);
    }
    start(2071, 16);  // every line is longer than 16 bytes: the second rotates the first away
    cli_log(LL_INFO, "first");
    EXPECT_EQ(modeOf(log + ".3"), 0600u);
    cli_log(LL_INFO, "second");
    EXPECT_EQ(modeOf(log + ".1"), 0600u);
    EXPECT_EQ(modeOf(log), 0600u);

    // Not a regular file (the fuzzer logs to /dev/null): not ours to close to others.
    ASSERT_TRUE(QFile::remove(log));
    ASSERT_EQ(mkfifo(name.constData(), 0644), 0);
    const int reader = open(name.constData(), O_RDONLY | O_NONBLOCK);
    start();
    cli_log(LL_INFO, "into a pipe");
    EXPECT_EQ(modeOf(log), 0644u);
    close(reader);
    umask(savedUmask);
}

// 8 threads x 10,000 lines, the file rotating and echoed: every line whole and none lost in either.
TEST_F(LogCore, ManyThreadsLoseNothing) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 10000;
    testing::internal::CaptureStdout();
    start(2071, 1 << 20, true);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                cli_log(LL_INFO, "thread %d message %05d payload-payload", t, i);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    deinit_logger_cli();
    const QStringList echoed = QString::fromStdString(testing::internal::GetCapturedStdout())
                                   .split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(QFileInfo::exists(log + ".3"));
    QStringList written;
    for (const QString& file : QDir(logs).entryList(QDir::Files)) {
        written += readLines(logs + '/' + file);
    }

    const QRegularExpression whole(
        R"(^\[[^]]+\] \[PID:\d+\] \[INFO\] thread \d message \d{5} payload-payload$)");
    for (const QStringList& all : {echoed, written}) {
        EXPECT_EQ(all.size(), kThreads * kPerThread);
        EXPECT_EQ(all.filter(whole).size(), all.size());
    }
}

// Letters outside Latin-1 in the settings path: the file name is encoded for the file system.
TEST_F(LogCore, WrapperLogsUnderANonLatinSettingsFolder) {
    const QString folder = dir.path() + QString::fromUtf8("/Иван/конфиг");
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    {
        LoggerWrapper wrapper("PELKA", "Kelvano Assistant");
        cli_log(LL_INFO, "hello");
    }
    EXPECT_TRUE(
        testenv::readFile(folder + "/PELKA/logs/Kelvano Assistant.log").endsWith("hello\n"));
}

}  // namespace
