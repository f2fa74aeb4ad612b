// Bounded waiting on a condition while the caller's event loop runs.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

// True as soon as cond() holds; false when it still does not after timeoutMs.
template <typename Condition>
bool waitFor(Condition cond, int timeoutMs = 10000) {
    for (QDeadlineTimer deadline(timeoutMs); !cond(); QThread::usleep(200)) {
        if (deadline.hasExpired()) {
            return cond();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}
