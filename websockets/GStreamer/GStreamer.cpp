// The media object's façade: its life, the call it belongs to, and the element lookup the
// other parts share. Launch, negotiation, the data channel, the transport watch and the rate
// control live in files of their own.
#include "GStreamer.h"

#include "MediaSession.h"
#include "logger.h"

std::atomic<int> MediaSession::live{0};

GstElement* findByFactory(GstElement* pipeline, const char* factory) {
    GstElement* found = nullptr;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstElement* e = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* f = gst_element_get_factory(e);
        if (f && g_str_equal(GST_OBJECT_NAME(f), factory)) {
            found = e;
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

GStreamer::GStreamer() : settings(&GlobalSettings::instance()) {}

GStreamer::~GStreamer() {
    stopGlibThread();
    // Callbacks of a pipeline still running would otherwise reach a destroyed object.
    screenPipelineStop(true);
}

int GStreamer::liveSessions() {
    return MediaSession::live.load();
}

bool GStreamer::isCurrentCall(quint64 of, const char* what) const {
    if (of == call) {
        return true;
    }
    cli_log(LL_INFO, "Dropping %s of an earlier call\n", what);
    return false;
}

void GStreamer::getConnState(ConnectionState state) {
    connState.store(state);
}
