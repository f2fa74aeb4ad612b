// The log core and its owner: the offset, levels, echo, rotation, file modes, lost files, threads.
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <cstdlib>
#include <thread>
#include <vector>

#include "GlobalSettings.h"
#include "LogTestUtil.h"
#include "LoggerWrapper.h"

using namespace logtest;

namespace {

using LogCore = LogFixture;

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
        {"UTC0", "+0000"},
        {"NST3:30", "-0330"},
        {"NPT-5:45", "+0545"},
        {"NST3:30NDT,0/0,J365/25", "-0230"},  // summer time all year round
        {"EST5EDT,0/0,J365/25", "-0400"},
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

TEST_F(LogCore, LevelMaskNeedsEveryBitOfTheLevel) {
    const struct {
        uint32_t mask;
        unsigned level;
        bool written;
    } rows[] = {
        {0xffffffffu, LL_INFO, true},  // all-ones is the default 23
        {0xffffffffu, LL_DEBUG, false},    {2071, LL_BRIDGE, true},        {2071, LL_DEBUG, false},
        {2071 | LL_DEBUG, LL_DEBUG, true}, {2071, LL_CRITICAL | 8, false}, {0, LL_CRITICAL, false},
    };
    for (const auto& row : rows) {
        start(row.mask);
        QFile::remove(logPath());
        cli_log(row.level, "probe");
        EXPECT_EQ(lines().size(), row.written ? 1 : 0) << row.mask << " " << row.level;
    }
}

// The echo gets the very bytes of the file; without a file it is the only output and no folder
// is made; with neither, nothing is written anywhere.
TEST_F(LogCore, EchoAndFileAreIndependent) {
    const struct {
        bool echo;
        bool file;
    } rows[] = {{true, true}, {true, false}, {false, false}};
    for (const auto& row : rows) {
        QDir(dirPath() + "/logs").removeRecursively();
        testing::internal::CaptureStdout();
        start(2071, 10485760, 3, row.echo, row.file);
        cli_log(LL_WARNING, "echoed %d", 1);
        deinit_logger_cli();
        const QString out = QString::fromStdString(testing::internal::GetCapturedStdout());
        EXPECT_EQ(out.endsWith("echoed 1\n"), row.echo);
        EXPECT_EQ(QFileInfo::exists(dirPath() + "/logs"), row.file);
        if (row.echo && row.file) {
            EXPECT_EQ(out, testenv::readFile(logPath()));
        }
    }
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

// The log holds session ids and ICE passwords: the file is 0600 (its predecessors too), the
// folders made for it 0700; a folder that exists already keeps its mode.
TEST_F(LogCore, FileIsPrivateAndSoAreTheFoldersMadeForIt) {
    const mode_t savedUmask = umask(022);
    start();
    cli_log(LL_INFO, "fresh folder");
    EXPECT_EQ(modeOf(dirPath() + "/logs"), 0700u);
    EXPECT_EQ(modeOf(logPath()), 0600u);

    ASSERT_TRUE(QDir(dirPath() + "/logs").removeRecursively());
    ASSERT_TRUE(QDir().mkpath(dirPath() + "/logs"));
    ASSERT_EQ(modeOf(dirPath() + "/logs"), 0755u);
    {
        QFile old(logPath());  // left readable by an older version
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    }
    ASSERT_EQ(modeOf(logPath()), 0644u);
    start(2071, 16, 3);  // every line is longer than 16 bytes
    for (int i = 0; i < 5; ++i) {
        cli_log(LL_INFO, "line %d", i);
    }
    EXPECT_EQ(modeOf(dirPath() + "/logs"), 0755u);
    for (const char* name : {"test.log", "test.log.1", "test.log.2", "test.log.3"}) {
        EXPECT_EQ(modeOf(dirPath() + "/logs/" + name), 0600u) << name;
    }
    EXPECT_TRUE(readLines(logPath() + ".3").value(0).endsWith("line 1"));
    EXPECT_FALSE(QFileInfo::exists(logPath() + ".4"));
    umask(savedUmask);
}

TEST_F(LogCore, DeletedLogsFolderIsMadeAgain) {
    start();
    cli_log(LL_INFO, "first");
    ASSERT_TRUE(QDir(dirPath() + "/logs").removeRecursively());
    cli_log(LL_INFO, "second");
    ASSERT_EQ(lines().size(), 1);
    EXPECT_TRUE(lines()[0].endsWith("second"));
    EXPECT_EQ(modeOf(dirPath() + "/logs"), 0700u);
}

// A file where a folder should be: lines are dropped quietly, and later lines try again.
TEST_F(LogCore, UnwritableLocationDropsLinesUntilItClears) {
    QFile blocker(dirPath() + "/logs");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    start();
    cli_log(LL_INFO, "lost");
    ASSERT_TRUE(blocker.remove());
    cli_log(LL_INFO, "kept");
    ASSERT_EQ(lines().size(), 1);
    EXPECT_TRUE(lines()[0].endsWith("kept"));
}

// 8 threads x 10,000 lines while the file rotates and the echo is on: every line whole, none
// lost, each thread's lines in its order.
TEST_F(LogCore, ManyThreadsLoseNothing) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 10000;
    testing::internal::CaptureStdout();
    start(2071, 1 << 20, 50, true, true);
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

class Wrapper : public LogFixture {
protected:
    void SetUp() override {
        deinit_logger_cli();
        // Letters outside Latin-1 in the path: the file name is encoded for the file system.
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                           dirPath() + QString::fromUtf8("/Иван/конфиг"));
    }
    QString wrapperLog() const {
        return dirPath() + QString::fromUtf8("/Иван/конфиг/PELKA/logs/Kelvano Assistant.log");
    }
};

TEST_F(Wrapper, LogsUnderANonLatinSettingsFolder) {
    {
        LoggerWrapper log;
        cli_log(LL_INFO, "hello");
    }
    ASSERT_EQ(readLines(wrapperLog()).size(), 1);
    EXPECT_TRUE(readLines(wrapperLog())[0].endsWith("hello"));
}

TEST_F(Wrapper, DebugFlagSwitchesDebugLinesAtRunTime) {
    {
        LoggerWrapper log;
        cli_log(LL_DEBUG, "hidden");
        log.setDebug(true);
        cli_log(LL_DEBUG, "seen");
        log.setDebug(false);
        cli_log(LL_DEBUG, "hidden again");
    }
    ASSERT_EQ(readLines(wrapperLog()).size(), 1);
    EXPECT_TRUE(readLines(wrapperLog())[0].endsWith("[DEBUG] seen"));
}

// Only the Qt platform decides, whatever the session type says.
TEST_F(Wrapper, WaylandPlatformIsMarkedAndWarned) {
    const struct {
        const char* platform;
        bool wayland;
    } rows[] = {{"xcb", false}, {"wayland", true}, {"Wayland-EGL", true}, {"offscreen", false}};
    qputenv("XDG_SESSION_TYPE", "wayland");
    for (const auto& row : rows) {
        GlobalSettings::instance().waylandSession = false;
        QFile::remove(wrapperLog());
        {
            LoggerWrapper log;
            log.readAndLogSystemInfo(row.platform);
        }
        EXPECT_EQ(GlobalSettings::instance().waylandSession, row.wayland) << row.platform;
        EXPECT_EQ(testenv::readFile(wrapperLog()).contains("[WARNING]"), row.wayland);
    }
    GlobalSettings::instance().waylandSession = false;
    qunsetenv("XDG_SESSION_TYPE");
}

}  // namespace
