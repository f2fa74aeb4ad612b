// The log core, its owner and the bridges: the offset, levels, echo, rotation, file modes, lost
// files, concurrent writers, and the level each framework severity lands on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <thread>
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

// A fresh log for each test, in a directory of its own.
class LogCore : public ::testing::Test {
protected:
    void TearDown() override { deinit_logger_cli(); }

    // The core on dir/logs/test.log.
    void start(uint32_t mask = 2071, int32_t maxSize = 10485760, int32_t rotateCount = 3,
               bool echo = false) {
        deinit_logger_cli();
        name_ = QFile::encodeName(logPath());
        logger_config cfg{};
        cfg.file_name = name_.constData();
        cfg.level_mask = mask;
        cfg.max_file_size = maxSize;
        cfg.rotate_count = rotateCount;
        cfg.cli_mode = 1;
        cfg.echo_stdout = echo ? 1 : 0;
        ASSERT_EQ(init_logger_cli(&cfg), 0);
    }

    QString dirPath() const { return dir_.path(); }
    QString logPath() const { return dir_.path() + "/logs/test.log"; }
    QStringList lines() const { return readLines(logPath()); }

private:
    QTemporaryDir dir_;
    QByteArray name_;
};

unsigned modeOf(const QString& path) {
    struct stat st {};
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// "[2026-12-07 19:41:26.123 +0530] ..." -> the stamp's wall time and its offset text.
QRegularExpressionMatch stamp(const QString& line) {
    static const QRegularExpression re(R"(^\[(\S+ \S+)\.\d{3} ([+-]\d{4})\] )");
    return re.match(line);
}

// The offset is the zone's offset at that instant (tm_gmtoff), summer time included, and the
// printed wall time agrees with it.
TEST_F(LogCore, OffsetIsTheZonesOffsetAtThatInstant) {
    const struct {
        const char* tz;
        const char* offset;
    } rows[] = {
        {"NST3:30", "-0330"},
        {"NPT-5:45", "+0545"},
        {"NST3:30NDT,0/0,J365/25", "-0230"},  // summer time all year round
    };
    const QByteArray savedTz = qgetenv("TZ");
    start();
    for (const auto& row : rows) {
        setenv("TZ", row.tz, 1);
        tzset();
        cli_log(LL_INFO, "zone");
        const QDateTime utcNow = QDateTime::currentDateTimeUtc();
        const QRegularExpressionMatch m = stamp(lines().last());
        ASSERT_TRUE(m.hasMatch()) << lines().last().toStdString();
        EXPECT_EQ(m.captured(2), row.offset) << row.tz;
        QDateTime wall = QDateTime::fromString(m.captured(1), "yyyy-MM-dd HH:mm:ss");
        wall.setTimeSpec(Qt::UTC);
        const int sign = m.captured(2)[0] == '-' ? -1 : 1;
        const int offset =
            sign * (m.captured(2).mid(1, 2).toInt() * 3600 + m.captured(2).mid(3, 2).toInt() * 60);
        EXPECT_LE(std::abs(wall.addSecs(-offset).secsTo(utcNow)), 2) << row.tz;
    }
    savedTz.isNull() ? unsetenv("TZ") : setenv("TZ", savedTz.constData(), 1);
    tzset();
}

TEST_F(LogCore, LongMessageIsWrittenWhole) {
    start();
    const QByteArray big(100000, 'x');
    cli_log(LL_INFO, "begin %s end", big.constData());
    cli_log(LL_INFO, "next");
    ASSERT_EQ(lines().size(), 2);
    EXPECT_TRUE(lines()[0].endsWith("begin " + QString(big) + " end"));
}

// A file that has reached the threshold is rotated before the next line; one byte less is not.
TEST_F(LogCore, RotatesExactlyAtTheThreshold) {
    const qint64 threshold = 10485760;
    start(2071, threshold, 3);
    cli_log(LL_INFO, "creates the file");
    ASSERT_TRUE(QFile::resize(logPath(), threshold - 1));
    cli_log(LL_INFO, "below");
    EXPECT_FALSE(QFileInfo::exists(logPath() + ".1"));
    ASSERT_TRUE(QFile::resize(logPath(), threshold));
    cli_log(LL_INFO, "at");
    EXPECT_EQ(QFileInfo(logPath() + ".1").size(), threshold);
    ASSERT_EQ(lines().size(), 1);
    EXPECT_TRUE(lines()[0].endsWith("at"));
}

// The log holds session ids and ICE passwords: the file is 0600 (its predecessors too, and one
// an older version left readable), the folders made for it 0700.
TEST_F(LogCore, FileIsPrivateAndSoAreTheFoldersMadeForIt) {
    const mode_t savedUmask = umask(022);
    start();
    cli_log(LL_INFO, "fresh folder");
    EXPECT_EQ(modeOf(dirPath() + "/logs"), 0700u);
    EXPECT_EQ(modeOf(logPath()), 0600u);

    ASSERT_TRUE(QDir(dirPath() + "/logs").removeRecursively());
    ASSERT_TRUE(QDir().mkpath(dirPath() + "/logs"));
    {
        QFile old(logPath());  // left readable by an older version
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    }
    ASSERT_EQ(modeOf(logPath()), 0644u);
    start(2071, 16, 3);  // every line is longer than 16 bytes
    for (int i = 0; i < 5; ++i) {
        cli_log(LL_INFO, "line %d", i);
    }
    for (const char* name : {"test.log", "test.log.1", "test.log.2", "test.log.3"}) {
        EXPECT_EQ(modeOf(dirPath() + "/logs/" + name), 0600u) << name;
    }
    EXPECT_TRUE(readLines(logPath() + ".3").value(0).endsWith("line 1"));
    EXPECT_FALSE(QFileInfo::exists(logPath() + ".4"));
    umask(savedUmask);
}

// A deleted logs folder is made again; a file where the folder should be drops lines quietly
// until it is gone.
TEST_F(LogCore, LostLocationIsMadeAgainOrRetried) {
    start();
    cli_log(LL_INFO, "first");
    ASSERT_TRUE(QDir(dirPath() + "/logs").removeRecursively());
    QFile blocker(dirPath() + "/logs");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    cli_log(LL_INFO, "lost");
    ASSERT_TRUE(blocker.remove());
    cli_log(LL_INFO, "kept");
    ASSERT_EQ(lines().size(), 1);
    EXPECT_TRUE(lines()[0].endsWith("kept"));
    EXPECT_EQ(modeOf(dirPath() + "/logs"), 0700u);
}

// 8 threads x 10,000 lines while the file rotates and the echo is on: every line whole, none
// lost, each thread's lines in its order, in the file and in the echo.
TEST_F(LogCore, ManyThreadsLoseNothing) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 10000;
    testing::internal::CaptureStdout();
    start(2071, 1 << 20, 50, true);
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
    QStringList written;
    for (int i = 50; i >= 1; --i) {
        written += readLines(logPath() + "." + QString::number(i));
    }
    EXPECT_TRUE(QFileInfo::exists(logPath() + ".3"));
    written += lines();

    const QRegularExpression re(
        R"(^\[[^]]+\] \[PID:\d+\] \[INFO\] thread (\d) message (\d{5}) payload-payload$)");
    for (const QStringList* all : std::initializer_list<const QStringList*>{&echoed, &written}) {
        std::vector<int> next(kThreads, 0);
        for (const QString& line : *all) {
            const QRegularExpressionMatch m = re.match(line);
            ASSERT_TRUE(m.hasMatch()) << line.toStdString();
            const int t = m.captured(1).toInt();
            ASSERT_EQ(m.captured(2).toInt(), next[t]++) << "thread " << t;
        }
        EXPECT_EQ(all->size(), kThreads * kPerThread);
    }
}

// Letters outside Latin-1 in the settings path: the file name is encoded for the file system.
// The debug flag switches debug lines at run time.
TEST_F(LogCore, WrapperLogsUnderANonLatinSettingsFolder) {
    deinit_logger_cli();
    const QString folder = dirPath() + QString::fromUtf8("/Иван/конфиг");
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    {
        LoggerWrapper log("PELKA", "Kelvano Assistant");
        cli_log(LL_INFO, "hello");
        cli_log(LL_DEBUG, "hidden");
        log.setDebug(true);
        cli_log(LL_DEBUG, "seen");
        log.setDebug(false);
        cli_log(LL_DEBUG, "hidden again");
    }
    const QStringList got = readLines(folder + "/PELKA/logs/Kelvano Assistant.log");
    ASSERT_EQ(got.size(), 2);
    EXPECT_TRUE(got[0].endsWith("hello"));
    EXPECT_TRUE(got[1].endsWith("[DEBUG] seen"));
}

using Bridges = LogCore;

GstDebugCategory* category() {
    static GstDebugCategory* cat = [] {
        testenv::initGStreamer();
        GstDebugCategory* made = _gst_debug_category_new("bridgetest", 0, "bridge tests");
        gst_debug_category_set_threshold(made, GstDebugLevel(15));
        return made;
    }();
    return cat;
}

// Start-up order: the bridges before GStreamer is initialised, so this test runs first. Qt,
// GStreamer (threshold ERROR) and GLib's default domain each give one line; a second install
// doubles nothing.
TEST_F(Bridges, InstalledBridgesRouteEverySource) {
    installLogBridges("Kelvano Assistant");
    installLogBridges("Kelvano Assistant");
    testenv::initGStreamer();
    GstDebugCategory* cat = _gst_debug_category_new("bridgeinstall", 0, "installed bridges");
    start();
    qWarning("from qt");
    GST_CAT_ERROR(cat, "from gstreamer");
    GST_CAT_WARNING(cat, "below the threshold");
    g_warning("from glib");
    qInstallMessageHandler(nullptr);
    ASSERT_EQ(lines().size(), 3) << lines().join("\n").toStdString();
    EXPECT_TRUE(lines()[0].contains("[WARNING] [QT] ") && lines()[0].endsWith("from qt"));
    EXPECT_TRUE(lines()[1].contains("[ERROR] [GStreamer] ") &&
                lines()[1].endsWith("from gstreamer"));
    EXPECT_TRUE(lines()[2].contains("[WARNING] [Glib] (GLib) ") &&
                lines()[2].endsWith("from glib"));
}

// With only the expected level enabled the message gives one line; with every other bit
// enabled it gives none. Together that pins the exact level bit.
TEST_F(Bridges, EverySeverityLandsOnItsLevel) {
    const QMessageLogContext ctx("a.cpp", 1, "f()", "default");
    auto qt = [&](int type) { return [&ctx, type] { qt_to_clog(QtMsgType(type), ctx, "x"); }; };
    auto glib = [](int flags) {
        return [flags] { glib_to_log("GStreamer", GLogLevelFlags(flags), "x", nullptr); };
    };
    auto gst = [](int level) {
        return [level] {
            gst_debug_log(category(), GstDebugLevel(level), "a.c", "f", 1, nullptr, "x");
        };
    };
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_remove_log_function(gstreamer_to_log);
    gst_debug_add_log_function(gstreamer_to_log, nullptr, nullptr);
    struct Row {
        const char* what;
        std::function<void()> raise;
        unsigned level;
    } const rows[] = {
        // clang-format off
        {"Qt debug", qt(QtDebugMsg), LL_DEBUG}, {"Qt warning", qt(QtWarningMsg), LL_WARNING},
        {"Qt critical", qt(QtCriticalMsg), LL_ERROR}, {"Qt info", qt(QtInfoMsg), LL_INFO},
        {"Qt unknown type", qt(6), LL_BRIDGE},
        {"GLib error", glib(G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL), LL_CRITICAL},
        {"GLib critical", glib(G_LOG_LEVEL_CRITICAL), LL_ERROR},
        {"GLib warning", glib(G_LOG_LEVEL_WARNING), LL_WARNING},
        {"GLib message", glib(G_LOG_LEVEL_MESSAGE), LL_INFO},
        {"GLib info", glib(G_LOG_LEVEL_INFO), LL_INFO},
        {"GLib debug", glib(G_LOG_LEVEL_DEBUG), LL_DEBUG},
        {"GLib without a level", glib(G_LOG_FLAG_RECURSION), LL_BRIDGE},
        {"GLib critical and warning", glib(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING), LL_ERROR},
        {"GLib warning and debug", glib(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_DEBUG), LL_WARNING},
        // clang-format on
    };
    const unsigned gstLevels[] = {LL_DEBUG, LL_ERROR, LL_WARNING, LL_WARNING, LL_INFO,  LL_DEBUG,
                                  LL_DEBUG, LL_DEBUG, LL_BRIDGE,  LL_DEBUG,   LL_DEBUG, LL_BRIDGE};
    std::vector<Row> all(std::begin(rows), std::end(rows));
    for (int level = 0; level < 12; ++level) {
        all.push_back({"GStreamer level", gst(level), gstLevels[level]});
    }
    all.push_back({"GStreamer 15", gst(15), LL_BRIDGE});
    for (const auto& row : all) {
        for (const uint32_t mask : {row.level, ~row.level & 0x7fffffffu}) {
            start(mask);
            QFile::remove(logPath());
            row.raise();
            EXPECT_EQ(lines().size(), mask == row.level ? 1 : 0)
                << row.what << " " << (&row - all.data()) << ", mask " << mask;
        }
    }
    gst_debug_remove_log_function(gstreamer_to_log);
}

TEST_F(Bridges, QtFatalLogsWhyThenAborts) {
    start();
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            qInstallMessageHandler(qt_to_clog);
            qFatal("out of luck");
        },
        "");
    ASSERT_EQ(lines().size(), 2);
    EXPECT_TRUE(lines()[0].contains("[CRITICAL] [QT] ") && lines()[0].endsWith("out of luck"));
    EXPECT_TRUE(lines()[1].endsWith("[CRITICAL] Kelvano Assistant application aborted"));
}

}  // namespace
