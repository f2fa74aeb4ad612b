// Stopping a worker thread: every thread the agent starts ends through this, before anything the
// worker uses is destroyed.
#pragma once

#include <QThread>

// Asks the worker loop to stop (it polls the interruption flag), ends the thread's event loop and
// waits without a time limit. Nothing happens when the thread does not run.
inline void stopAndJoin(QThread& thread) {
    if (!thread.isRunning()) {
        return;
    }
    thread.requestInterruption();
    thread.quit();
    thread.wait();
}
