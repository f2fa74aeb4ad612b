#include "GStreamer.h"

#include "logger.h"

GStreamer::GStreamer() : settings(&GlobalSettings::instance()) {
    glibWorker.moveToThread(&glibThread);
    connect(&glibThread, &QThread::started, &glibWorker, [this] { glibLoop(); });
}

GStreamer::~GStreamer() {
    stopGlibThread();
}

void GStreamer::getConnState(ConnectionState state) {
    connState.store(state);
}

void GStreamer::startGlibThread() {
    glibThread.start(QThread::InheritPriority);
}

void GStreamer::stopGlibThread() {
    if (!glibThread.isRunning()) {
        return;
    }
    glibThread.requestInterruption();
    glibThread.quit();
    glibThread.wait();
    cli_log(LL_DEBUG, "Glib thread stoped\n");
}

void GStreamer::glibLoop() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GMainContext* context = g_main_loop_get_context(loop);
    while (!glibThread.isInterruptionRequested()) {
        g_main_context_iteration(context, FALSE);
        QThread::msleep(1);
    }
    g_main_loop_quit(loop);
    g_main_loop_unref(loop);
}

void GStreamer::screenPipelineStart() {}
void GStreamer::screenPipelineStop(bool) {}
void GStreamer::onSdpReceived(const QString&, const QString&) {}
void GStreamer::screenWebrtcBinEmitSignal(const char* signal, guint, const char*) {
    cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted", signal);
}
void GStreamer::removeStatsFiles() {}
