#include "IncomingMedia.h"

#include "logger.h"

bool handleMediaStream(GstPad* pad, GstBin* pipeline, const char* convertName,
                       const char* sinkName) {
    cli_log(LL_INFO, "Trying to handle stream with %s ! %s\n", convertName, sinkName);
    const bool audio = g_str_equal(convertName, "audioconvert");
    GstElement* chain[4] = {gst_element_factory_make("queue", nullptr),
                            gst_element_factory_make(convertName, nullptr),
                            audio ? gst_element_factory_make("audioresample", nullptr) : nullptr,
                            gst_element_factory_make(sinkName, nullptr)};
    const int count = audio ? 4 : 3;
    if (!audio) {
        chain[2] = chain[3];
        chain[3] = nullptr;
    }
    bool complete = true;
    for (int i = 0; i < count; ++i) {
        complete = complete && chain[i];
    }
    if (!complete) {
        // A missing plug-in leaves this stream alone; the call goes on.
        cli_log(LL_ERROR, "Cannot create the playback elements %s ! %s, stream left unhandled\n",
                convertName, sinkName);
        for (int i = 0; i < count; ++i) {
            if (chain[i]) {
                gst_object_unref(gst_object_ref_sink(chain[i]));
            }
        }
        return false;
    }
    for (int i = 0; i < count; ++i) {
        gst_bin_add(pipeline, chain[i]);
        gst_element_sync_state_with_parent(chain[i]);
        if (i > 0) {
            gst_element_link(chain[i - 1], chain[i]);
        }
    }
    GstPad* queuePad = gst_element_get_static_pad(chain[0], "sink");
    const bool linked = gst_pad_link(pad, queuePad) == GST_PAD_LINK_OK;
    if (!linked) {
        cli_log(LL_ERROR, "Error: could not handle the media stream\n");
    }
    gst_object_unref(queuePad);
    return linked;
}

void onIncomingDecodeBinStream(GstElement* decodebin, GstPad* pad, gpointer) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) {
        cli_log(LL_ERROR, "Pad '%s' has no caps, cannot do anything, ignoring\n",
                GST_PAD_NAME(pad));
        return;
    }
    const gchar* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    GstObject* pipeline = gst_object_get_parent(GST_OBJECT(decodebin));
    if (!pipeline) {
        gst_caps_unref(caps);
        return;
    }
    if (g_str_has_prefix(name, "video")) {
        handleMediaStream(pad, GST_BIN(pipeline), "videoconvert", "autovideosink");
    } else if (g_str_has_prefix(name, "audio")) {
        handleMediaStream(pad, GST_BIN(pipeline), "audioconvert", "autoaudiosink");
    } else {
        cli_log(LL_ERROR, "Unknown pad %s, ignoring", GST_PAD_NAME(pad));
    }
    gst_object_unref(pipeline);
    gst_caps_unref(caps);
}

void onIncomingStream(GstElement* webrtc, GstPad* pad, gpointer) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) {
        return;
    }
    // The pipeline is looked up rather than passed in, so a late pad never sees a freed one.
    GstObject* pipeline = gst_object_get_parent(GST_OBJECT(webrtc));
    if (!pipeline) {
        return;
    }
    GstElement* decodebin = gst_element_factory_make("decodebin", nullptr);
    if (!decodebin) {
        cli_log(LL_ERROR, "Cannot create decodebin, incoming stream left unhandled\n");
        gst_object_unref(pipeline);
        return;
    }
    g_signal_connect(decodebin, "pad-added", G_CALLBACK(onIncomingDecodeBinStream), nullptr);
    gst_bin_add(GST_BIN(pipeline), decodebin);
    gst_element_sync_state_with_parent(decodebin);
    GstPad* sink = gst_element_get_static_pad(decodebin, "sink");
    gst_pad_link(pad, sink);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
}
