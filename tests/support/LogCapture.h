// The log of a test process, read back by the tests. The first use starts the log library again
// on a fresh file in the process's temporary directory, every level on and the echo on (so a
// failing test's output holds its lines). A capture is a mark in that one file.
#pragma once

#include <QString>

class LogCapture {
public:
    // Marks the current end of the log.
    LogCapture();

    // Everything logged since the mark.
    QString text() const;
    bool contains(const QString& needle) const { return text().contains(needle); }
    int count(const QString& needle) const { return text().count(needle); }
    // Moves the mark to the current end.
    void mark();

    // The log file; starts the log on the first call.
    static QString path();
    static void initLogger() { path(); }

private:
    qint64 offset_ = 0;
};
