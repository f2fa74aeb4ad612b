// The log of a test process, read back by the tests.
#pragma once

#include <QString>

namespace logcapture {

// Opens the log once per process into a fresh file, with the debug level on and no echo.
QString path();

// Text written to the log after the mark was taken.
class Mark {
public:
    Mark();
    QString text() const;

private:
    qint64 offset;
};

}  // namespace logcapture
