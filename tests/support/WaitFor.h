// Bounded waiting on a condition while the caller's event loop runs.
#pragma once

#include <QTest>

// True as soon as cond() holds; false when it still does not after timeoutMs.
template <typename Condition>
bool waitFor(Condition cond, int timeoutMs = 10000) {
    return QTest::qWaitFor(cond, timeoutMs);
}
