// The test process's log, read back: the first use restarts the log library on a fresh temporary
// file, every level and the echo on (a failing test's output shows it). A capture marks its end.
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
