// The media object's GLib thread: it iterates a main context of its own between connect and
// disconnect; the call's tick runs there.
#pragma once

#include <glib.h>

#include <QObject>
#include <QThread>

class GlibLoop {
public:
    GlibLoop();
    ~GlibLoop();
    GlibLoop(const GlibLoop&) = delete;
    GlibLoop& operator=(const GlibLoop&) = delete;

    void start();
    // Returns once the loop has finished; logs only when it ran.
    void stop();
    bool running() const { return thread_.isRunning(); }
    GMainContext* context() const { return context_; }

private:
    void run();

    GMainContext* context_;
    QObject worker_;
    QThread thread_;
};
