// The environment of a gui test process, and driving modal dialogs of real widgets.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "WaitFor.h"

namespace guitest {

// A runtime directory of the process's own, made before main: the single-instance socket of the
// windows made here never meets a running agent or another suite.
struct PrivateRuntimeDir {
    QTemporaryDir dir;
    PrivateRuntimeDir() { qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path())); }
};
inline const PrivateRuntimeDir privateRuntimeDir;

// Calls act(modal) once a modal widget of the given class is up (polled from the event loop,
// so it also works while the caller blocks in exec()). Gives up after timeoutMs.
inline void onModal(const char* className, std::function<void(QWidget*)> act,
                    int timeoutMs = 5000) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [=, deadline = QDeadlineTimer(timeoutMs)]() {
        QWidget* modal = QApplication::activeModalWidget();
        const bool found = modal && modal->isVisible() && modal->inherits(className);
        if (found || deadline.hasExpired()) {
            poll->deleteLater();
            poll->stop();
            if (found) {
                act(modal);
            }
        }
    });
    poll->start(10);
}

}  // namespace guitest
