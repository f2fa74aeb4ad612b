// Helpers for the log suites: a fresh log per test, reading lines back, capturing stdout.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>

#include "logger.h"

namespace logtest {

// One full log line: time, offset, pid, level name, message.
inline const QRegularExpression& lineRe() {
    static const QRegularExpression re(
        R"(^\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) ([+-])(\d{2})(\d{2})\] )"
        R"(\[PID:(\d+)\] \[([A-Z]+)\] (.*)$)");
    return re;
}

// Whole file as text ("" when missing).
QString readAll(const QString& path);
// Lines of a file without their line feeds; a missing file gives no lines.
QStringList readLines(const QString& path);
bool exists(const QString& path);
// Writes exactly `bytes` bytes of `fill` into path (replacing it).
void writeFiller(const QString& path, qint64 bytes, char fill);

// Redirects file descriptor 1 into a file while alive.
class StdoutCapture {
public:
    explicit StdoutCapture(const QString& path);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

private:
    int saved_ = -1;
};

// A log in a fresh directory, finalised at the end of each test.
class LogFixture : public ::testing::Test {
protected:
    void TearDown() override { deinit_logger_cli(); }

    // Initialises the core on dir/logs/test.log (or no file when withFile is false).
    void start(uint32_t mask = 0xffffffffu, int32_t maxSize = 10485760, int32_t rotateCount = 3,
               bool echo = false, bool withFile = true);

    QString logPath() const { return dir_.path() + "/logs/test.log"; }
    QString dirPath() const { return dir_.path(); }
    QStringList lines() const { return readLines(logPath()); }

private:
    QTemporaryDir dir_;
    QByteArray name_;
};

}  // namespace logtest
