#include "GlibLoop.h"

#include "WorkerThread.h"
#include "logger.h"

GlibLoop::GlibLoop() : context_(g_main_context_new()) {
    worker_.moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::started, &worker_, [this] { run(); });
}

GlibLoop::~GlibLoop() {
    stop();
    g_main_context_unref(context_);
}

void GlibLoop::start() {
    thread_.start(QThread::InheritPriority);
}

void GlibLoop::stop() {
    if (!thread_.isRunning()) {
        return;
    }
    stopAndJoin(thread_, [this] { g_main_context_wakeup(context_); });
    cli_log(LL_DEBUG, "Glib thread stoped\n");
}

// The loop's own context, never the default one: that one belongs to the GUI thread's Qt event
// dispatcher, and iterating it here would run Qt's timers and posted events on this thread. A
// wakeup after the interruption request ends the blocking iteration.
void GlibLoop::run() {
    g_main_context_push_thread_default(context_);
    while (!thread_.isInterruptionRequested()) {
        g_main_context_iteration(context_, TRUE);
    }
    g_main_context_pop_thread_default(context_);
}
