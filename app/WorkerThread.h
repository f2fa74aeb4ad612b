// Stopping a worker thread: every thread the agent starts ends through this, before anything the
// worker uses is destroyed.
#pragma once

#include <QThread>
#include <functional>

// Asks the worker loop to stop (it polls the interruption flag), wakes it when it blocks
// elsewhere, ends the thread's event loop and waits without a time limit. Nothing happens when
// the thread does not run.
inline void stopAndJoin(QThread& thread, const std::function<void()>& wake = {}) {
    if (!thread.isRunning()) {
        return;
    }
    thread.requestInterruption();
    if (wake) {
        wake();
    }
    thread.quit();
    thread.wait();
}
