// The managed-mode log core: line format, levels, echo, rotation, reopening, threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSet>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "LogTestUtil.h"
#include "logger.h"

using namespace logtest;

namespace {

// Sets TZ for the lifetime of the object and restores the previous zone afterwards.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) {
            old_ = old;
        }
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (hadOld_) {
            setenv("TZ", old_.constData(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool hadOld_ = false;
    QByteArray old_;
};

// The text after the "[LEVEL] " of the only message in the file.
QString messagePart(const QString& raw) {
    int at = raw.indexOf("] [", raw.indexOf("[PID:"));
    return at < 0 ? QString() : raw.mid(raw.indexOf("] ", at + 3) + 2);
}

}  // namespace

using LogCore = LogFixture;

TEST_F(LogCore, LineHasLocalTimePidLevelAndMessage) {
    start();
    const QDateTime before = QDateTime::currentDateTime();
    cli_log(LL_INFO, "%s: request %d done", "ServerApi", 42);
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList out = lines();
    ASSERT_EQ(out.size(), 1);
    auto m = lineRe().match(out[0]);
    ASSERT_TRUE(m.hasMatch()) << out[0].toStdString();
    QDateTime stamped(QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()),
                      QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(),
                            m.captured(7).toInt()));
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
    EXPECT_EQ(m.captured(11).toInt(), getpid());
    EXPECT_EQ(m.captured(12), "INFO");
    EXPECT_EQ(m.captured(13), "ServerApi: request 42 done");
}

// The offset is the zone's offset at that instant; the printed wall time agrees with it.
TEST_F(LogCore, OffsetFollowsTheZone) {
    struct Row {
        const char* tz;
        const char* offset;
        const char* why;
    };
    const Row rows[] = {
        {"UTC0", "+0000", "zero is printed with a plus sign"},
        {"NST3:30", "-0330", "negative half-hour offset"},
        {"IST-5:30", "+0530", "positive half-hour offset"},
        {"NPT-5:45", "+0545", "quarter-hour minutes"},
        {"MART9:30", "-0930", "large negative half-hour offset"},
        // Summer time all year round: the printed offset must be the summer one.
        {"NST3:30NDT,0/0,J365/25", "-0230", "daylight saving time in effect"},
        {"EST5EDT,0/0,J365/25", "-0400", "daylight saving time in effect, whole hours"},
    };
    start();
    for (const Row& row : rows) {
        ScopedTz tz(row.tz);
        cli_log(LL_INFO, "zone %s", row.tz);
        const QDateTime utcNow = QDateTime::currentDateTimeUtc();
        const QStringList out = lines();
        ASSERT_FALSE(out.isEmpty());
        auto m = lineRe().match(out.last());
        ASSERT_TRUE(m.hasMatch()) << out.last().toStdString();
        EXPECT_EQ(m.captured(8) + m.captured(9) + m.captured(10), QString(row.offset))
            << row.tz << ": " << row.why;
        int sign = m.captured(8) == "-" ? -1 : 1;
        int offsetSecs = sign * (m.captured(9).toInt() * 3600 + m.captured(10).toInt() * 60);
        QDateTime wall(QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()),
                       QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt()),
                       Qt::UTC);
        qint64 skew = wall.addSecs(-offsetSecs).secsTo(utcNow);
        EXPECT_GE(skew, 0) << row.tz;
        EXPECT_LE(skew, 2) << row.tz;
    }
}

TEST_F(LogCore, LineFeedIsAddedOnlyWhenMissing) {
    struct Row {
        const char* message;
        const char* written;
    };
    const Row rows[] = {
        {"abc", "abc\n"}, {"abc\n", "abc\n"},     {"a\nb", "a\nb\n"},
        {"", "\n"},       {"abc\n\n", "abc\n\n"},
    };
    for (const Row& row : rows) {
        start();
        QFile::remove(logPath());
        cli_log(LL_INFO, "%s", row.message);
        EXPECT_EQ(messagePart(readAll(logPath())), QString(row.written))
            << "message \"" << row.message << "\"";
        deinit_logger_cli();
    }
}

TEST_F(LogCore, LevelMaskAndNames) {
    struct Row {
        uint32_t mask;
        unsigned level;
        const char* name;  // nullptr: dropped
    };
    const Row rows[] = {
        {0xffffffffu, LL_INFO, "INFO"},  // all-ones selects 23
        {0xffffffffu, LL_DEBUG, nullptr},
        {0xffffffffu, LL_BRIDGE, nullptr},
        {2071, LL_CRITICAL, "CRITICAL"},
        {2071, LL_ERROR, "ERROR"},
        {2071, LL_WARNING, "WARNING"},
        {2071, LL_INFO, "INFO"},
        {2071, LL_BRIDGE, "INFO"},
        {2071, 8, nullptr},
        {8, 8, "INFO"},
        {2071, LL_DEBUG, nullptr},
        {2071 | LL_DEBUG, LL_DEBUG, "DEBUG"},
        {2071, 0, "UNKNOWN"},
        {0, 0, "UNKNOWN"},
        {0, LL_CRITICAL, nullptr},
        {2071, LL_CRITICAL | LL_ERROR, "UNKNOWN"},  // every bit enabled
        {2071, LL_CRITICAL | 8, nullptr},           // one bit missing
        {0x10000, 0x10000, "UNKNOWN"},
    };
    for (const Row& row : rows) {
        start(row.mask);
        QFile::remove(logPath());
        cli_log(row.level, "probe");
        const QStringList out = lines();
        if (!row.name) {
            EXPECT_TRUE(out.isEmpty()) << "mask " << row.mask << " level " << row.level;
        } else {
            ASSERT_EQ(out.size(), 1) << "mask " << row.mask << " level " << row.level;
            EXPECT_EQ(lineRe().match(out[0]).captured(12), QString(row.name))
                << "mask " << row.mask << " level " << row.level;
        }
        deinit_logger_cli();
    }
}

TEST_F(LogCore, DebugBitCanBeSwitchedAtRunTime) {
    start(2071);
    cli_log(LL_DEBUG, "hidden");
    set_log_level_mask(get_log_level_mask() | LL_DEBUG);
    EXPECT_EQ(get_log_level_mask(), 2071u | LL_DEBUG);
    cli_log(LL_DEBUG, "shown");
    set_log_level_mask(get_log_level_mask() & ~uint32_t(LL_DEBUG));
    cli_log(LL_DEBUG, "hidden again");
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("[DEBUG] shown"));
}

TEST_F(LogCore, EchoWithoutFileGoesToStdoutOnly) {
    const QString captured = dirPath() + "/stdout.txt";
    {
        StdoutCapture cap(captured);
        start(2071, 10485760, 3, true, false);
        cli_log(LL_WARNING, "to stdout %d", 1);
    }
    const QStringList out = readLines(captured);
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(lineRe().match(out[0]).hasMatch());
    EXPECT_TRUE(out[0].endsWith("[WARNING] to stdout 1"));
    EXPECT_FALSE(exists(dirPath() + "/logs"));
}

TEST_F(LogCore, EchoCopiesTheSameLineThatGoesToTheFile) {
    const QString captured = dirPath() + "/stdout.txt";
    {
        StdoutCapture cap(captured);
        start(2071, 10485760, 3, true, true);
        cli_log(LL_INFO, "both");
        cli_log(LL_ERROR, "twice");
    }
    EXPECT_EQ(readAll(captured), readAll(logPath()));
    EXPECT_EQ(lines().size(), 2);
}

TEST_F(LogCore, SilentWithoutEchoAndFile) {
    const QString captured = dirPath() + "/stdout.txt";
    {
        StdoutCapture cap(captured);
        start(2071, 10485760, 3, false, false);
        cli_log(LL_CRITICAL, "nowhere");
    }
    EXPECT_TRUE(readAll(captured).isEmpty());
}

// Logging before initialisation sets the library up with its defaults: no echo, no file.
TEST_F(LogCore, LoggingBeforeInitUsesDefaults) {
    deinit_logger_cli();
    const QString captured = dirPath() + "/stdout.txt";
    {
        StdoutCapture cap(captured);
        cli_log(LL_CRITICAL, "before init");
        EXPECT_EQ(get_log_level_mask(), 23u);
    }
    EXPECT_TRUE(readAll(captured).isEmpty());
    deinit_logger_cli();
    start();
    cli_log(LL_INFO, "after init");
    EXPECT_EQ(lines().size(), 1);
}

TEST_F(LogCore, LongMessageIsWrittenWhole) {
    start();
    const QByteArray big(100000, 'x');
    cli_log(LL_INFO, "begin %s end", big.constData());
    cli_log(LL_INFO, "next");
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 2);
    EXPECT_TRUE(out[0].endsWith("begin " + QString(big) + " end"));
    EXPECT_TRUE(out[1].endsWith("next"));
}

// A file that has reached the threshold is rotated before the next message; one byte less is not.
TEST_F(LogCore, RotatesExactlyAtTheThreshold) {
    const qint64 threshold = 10485760;
    start(2071, threshold, 3);
    cli_log(LL_INFO, "creates the directory");

    writeFiller(logPath(), threshold - 1, 'a');
    cli_log(LL_INFO, "below");
    EXPECT_FALSE(exists(logPath() + ".1"));
    const QString grown = readAll(logPath());
    EXPECT_EQ(grown.left(threshold - 1), QString(threshold - 1, 'a'));
    EXPECT_TRUE(grown.endsWith("[INFO] below\n"));

    writeFiller(logPath(), threshold, 'b');
    cli_log(LL_INFO, "at");
    ASSERT_TRUE(exists(logPath() + ".1"));
    EXPECT_EQ(QFileInfo(logPath() + ".1").size(), threshold);
    const QStringList fresh = lines();
    ASSERT_EQ(fresh.size(), 1);
    EXPECT_TRUE(fresh[0].endsWith("[INFO] at"));
}

TEST_F(LogCore, FourRotationsKeepThreePredecessors) {
    start(2071, 16, 3);  // every line is longer than 16 bytes
    for (int i = 0; i < 5; ++i) {
        cli_log(LL_INFO, "message %d", i);
    }
    auto only = [](const QString& path) {
        const QStringList l = readLines(path);
        return l.size() == 1 ? l[0].section("] ", 3) : QString("<%1 lines>").arg(l.size());
    };
    EXPECT_EQ(only(logPath()), "message 4");
    EXPECT_EQ(only(logPath() + ".1"), "message 3");
    EXPECT_EQ(only(logPath() + ".2"), "message 2");
    EXPECT_EQ(only(logPath() + ".3"), "message 1");
    EXPECT_FALSE(exists(logPath() + ".4"));
    const QStringList all = QDir(dirPath() + "/logs").entryList(QDir::Files);
    EXPECT_EQ(all.size(), 4) << all.join(",").toStdString();
}

TEST_F(LogCore, ZeroRotateCountKeepsAppending) {
    start(2071, 16, 0);
    cli_log(LL_INFO, "one");
    cli_log(LL_INFO, "two");
    EXPECT_EQ(lines().size(), 2);
    EXPECT_FALSE(exists(logPath() + ".1"));
}

TEST_F(LogCore, DeletedFileIsCreatedAgain) {
    start();
    cli_log(LL_INFO, "first");
    ASSERT_TRUE(QFile::remove(logPath()));
    cli_log(LL_INFO, "second");
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("second"));
}

TEST_F(LogCore, DeletedLogsDirectoryIsCreatedAgain) {
    start();
    cli_log(LL_INFO, "first");
    ASSERT_TRUE(QDir(dirPath() + "/logs").removeRecursively());
    cli_log(LL_INFO, "second");
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("second"));
}

TEST_F(LogCore, MovedFileIsLeftAloneAndANewOneStarted) {
    start();
    cli_log(LL_INFO, "first");
    const QString moved = dirPath() + "/moved.log";
    ASSERT_TRUE(QFile::rename(logPath(), moved));
    cli_log(LL_INFO, "second");
    EXPECT_EQ(readLines(moved).size(), 1);
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("second"));
}

TEST_F(LogCore, MissingParentDirectoriesAreCreated) {
    deinit_logger_cli();
    const QByteArray name = QFile::encodeName(dirPath() + "/a/b/logs/deep.log");
    logger_config cfg{};
    cfg.file_name = name.constData();
    cfg.level_mask = 2071;
    cfg.max_file_size = 10485760;
    cfg.rotate_count = 3;
    cfg.cli_mode = 1;
    ASSERT_EQ(init_logger_cli(&cfg), 0);
    cli_log(LL_INFO, "deep");
    EXPECT_EQ(readLines(dirPath() + "/a/b/logs/deep.log").size(), 1);
}

TEST_F(LogCore, UnwritableLocationDropsMessagesQuietly) {
    deinit_logger_cli();
    const QString blocker = dirPath() + "/blocker";
    writeFiller(blocker, 1, 'x');  // a file where a directory should be
    const QByteArray name = QFile::encodeName(blocker + "/logs/x.log");
    logger_config cfg{};
    cfg.file_name = name.constData();
    cfg.level_mask = 2071;
    cfg.max_file_size = 10485760;
    cfg.rotate_count = 3;
    cfg.cli_mode = 1;
    ASSERT_EQ(init_logger_cli(&cfg), 0);
    cli_log(LL_INFO, "lost");
    EXPECT_FALSE(exists(blocker + "/logs"));
    ASSERT_TRUE(QFile::remove(blocker));
    cli_log(LL_INFO, "kept");  // later messages try again
    const QStringList out = readLines(blocker + "/logs/x.log");
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("kept"));
}

// 8 threads x 10,000 messages, with rotations going on and the echo on: every line whole, none
// lost, and each thread's lines in the order it wrote them.
TEST_F(LogCore, ManyThreadsLoseNothing) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 10000;
    const QString captured = dirPath() + "/stdout.txt";
    {
        StdoutCapture cap(captured);
        start(2071, 1 << 20, 50, true, true);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kPerThread; ++i) {
                    cli_log(LL_INFO, "thread %d message %05d %s", t, i, "payload-payload-payload");
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
    }

    auto check = [&](const QStringList& all, const char* what) {
        std::vector<int> next(kThreads, 0);
        int total = 0;
        const QRegularExpression msg(R"(^thread (\d) message (\d{5}) payload-payload-payload$)");
        for (const QString& line : all) {
            auto m = lineRe().match(line);
            ASSERT_TRUE(m.hasMatch()) << what << ": " << line.toStdString();
            auto mm = msg.match(m.captured(13));
            ASSERT_TRUE(mm.hasMatch()) << what << ": " << line.toStdString();
            int t = mm.captured(1).toInt();
            ASSERT_LT(t, kThreads);
            ASSERT_EQ(mm.captured(2).toInt(), next[t]) << what << ": thread " << t;
            ++next[t];
            ++total;
        }
        EXPECT_EQ(total, kThreads * kPerThread) << what;
    };

    // Oldest predecessor first.
    QStringList fromFiles;
    int rotations = 0;
    for (int i = 50; i >= 1; --i) {
        const QString p = logPath() + "." + QString::number(i);
        if (exists(p)) {
            ++rotations;
            fromFiles += readLines(p);
        }
    }
    fromFiles += lines();
    EXPECT_GE(rotations, 3);
    check(fromFiles, "file");
    check(readLines(captured), "stdout");
}
