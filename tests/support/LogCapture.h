// The log of a test process, read back by the tests. The first use starts the log library again
// on a fresh file in a temporary directory of the process, every level on and the echo on (so a
// failing test's output holds its lines). A capture is a mark in that one file.
#pragma once

#include <QString>

class LogCapture {
public:
    LogCapture() { mark(); }

    // Everything logged since the mark.
    QString text() const;
    bool contains(const QString& needle) const { return text().contains(needle); }
    int count(const QString& needle) const { return text().count(needle); }
    // Moves the mark to the current end.
    void mark();

    static void initLogger();

private:
    qint64 offset_ = 0;
};
