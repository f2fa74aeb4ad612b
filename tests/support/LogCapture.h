// The log of a test process, read back by the tests. The first use starts the log library again
// on a fresh file in a temporary directory of the process, every level on and the echo on (so a
// failing test's output holds its lines). A capture is a mark in that one file.
#pragma once

#include <QString>

class LogCapture {
public:
    LogCapture();

    // Everything logged since the capture was made.
    QString text() const;
    bool contains(const QString& needle) const { return text().contains(needle); }

    static void initLogger();

private:
    qint64 offset_;
};
