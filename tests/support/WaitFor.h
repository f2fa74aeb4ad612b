// Bounded waiting on a condition while the caller's event loop runs.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

// True as soon as cond() holds; false when it still does not after timeoutMs.
template <typename Condition>
bool waitFor(Condition cond, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired()) {
            return cond();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::usleep(200);
    }
    return true;
}
