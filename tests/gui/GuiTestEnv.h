// The environment of a gui test process: a private runtime directory, so that the
// single-instance socket of the windows made here never meets a running agent or another suite.
#pragma once

#include <QString>

#include "LogCapture.h"

// The process-wide log mark of the older suites; new code uses LogCapture directly.
struct logcapture {
    static LogCapture& shared() {
        static LogCapture capture;
        return capture;
    }
    static void start() { LogCapture::initLogger(); }
    static void mark() { shared().mark(); }
    static QString sinceMark() { return shared().text(); }
};
