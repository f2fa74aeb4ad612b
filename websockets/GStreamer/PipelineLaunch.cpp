// Building the pipeline from the settings, launching it, wiring its parts and stopping it.
// Where webrtcbin is set up (before READY) is where the transport's own settings go.
#include <glib/gstdio.h>

#include <string>

#include "DataChannel.h"
#include "GStreamer.h"
#include "IceServers.h"
#include "IncomingMedia.h"
#include "MediaSession.h"
#include "Negotiation.h"
#include "PipelineDescription.h"
#include "PlayoutDelay.h"
#include "ScreenGlobals.h"
#include "TransportWatch.h"
#include "logger.h"

namespace {

// The header extension of transport-wide congestion control, under the id the offer gives it.
constexpr const char* kTransportCcExtmap = "extmap-1";
constexpr const char* kTransportCcUri =
    "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";
constexpr const char* kPlayoutDelayExtmap = "extmap-2";

// libnice asks routers for port mappings by default; an agent that shares a desktop must not.
void disableUpnp(GstElement* webrtc) {
    GObject* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (!ice) {
        return;
    }
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
        GObject* agent = nullptr;
        g_object_get(ice, "agent", &agent, nullptr);
        if (agent) {
            if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "upnp")) {
                g_object_set(agent, "upnp", FALSE, nullptr);
            }
            g_object_unref(agent);
        }
    }
    g_object_unref(ice);
}

// x264enc writes its first-pass statistics into the working directory by default: a shared or
// read-only place. They go to a directory of the agent's own (0700), removed with the pipeline.
std::string redirectEncoderStats(GstElement* pipeline) {
    GstElement* x264 = findByFactory(pipeline, "x264enc");
    if (!x264) {
        return {};
    }
    gchar* dir = g_build_filename(g_get_tmp_dir(), "kelvano-x264-XXXXXX", nullptr);
    std::string result;
    if (g_mkdtemp(dir)) {
        result = dir;
        gchar* file = g_build_filename(dir, "x264.log", nullptr);
        g_object_set(x264, "multipass-cache-file", file, nullptr);
        g_free(file);
    } else {
        cli_log(LL_ERROR, "Cannot create a directory for the encoder statistics\n");
    }
    g_free(dir);
    return result;
}

// Which of webrtcbin's sink pads takes the video: the one whose RTP caps say so. Borrowed with
// its capsfilter, or null.
GstPad* videoSinkPad(GstElement* webrtc, GstElement** filter) {
    GstPad* found = nullptr;
    GstIterator* it = gst_element_iterate_sink_pads(webrtc);
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstPad* pad = GST_PAD(g_value_get_object(&item));
        GstPad* peer = gst_pad_get_peer(pad);
        GstElement* element = peer ? gst_pad_get_parent_element(peer) : nullptr;
        GstCaps* caps = nullptr;
        if (element && g_object_class_find_property(G_OBJECT_GET_CLASS(element), "caps")) {
            g_object_get(element, "caps", &caps, nullptr);
        }
        const gchar* media =
            caps && !gst_caps_is_empty(caps)
                ? gst_structure_get_string(gst_caps_get_structure(caps, 0), "media")
                : nullptr;
        if (media && g_str_equal(media, "video")) {
            found = GST_PAD(gst_object_ref(pad));
            *filter = GST_ELEMENT(gst_object_ref(element));
        }
        if (caps) {
            gst_caps_unref(caps);
        }
        for (GstObject* o : {GST_OBJECT(element), GST_OBJECT(peer)}) {
            if (o) {
                gst_object_unref(o);
            }
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

// What the administrator's side reports, announced in the first offer for video (whichever the
// codec): retransmission on NACK, keyframes on PLI and FIR, and transport-wide congestion
// control (a sequence number across the transport in every packet, and the receiver's feedback
// on each one's arrival), and no playout delay. The transceiver must retransmit before the offer;
// the rest comes from the caps, where the payloader also finds the header extension to write. Audio
// stays without NACK: browsers refuse an audio line that carries it.
void enableFeedback(GstElement* pipeline, GstElement* webrtc) {
    GstElement* filter = nullptr;
    GstPad* sink = videoSinkPad(webrtc, &filter);
    if (!sink) {
        cli_log(LL_WARNING, "No video sink pad on the WebRTC element\n");
        return;
    }
    GstCaps* caps = nullptr;
    g_object_get(filter, "caps", &caps, nullptr);
    caps = gst_caps_make_writable(caps);
    gst_caps_set_simple(caps, "rtcp-fb-nack", G_TYPE_BOOLEAN, TRUE, "rtcp-fb-nack-pli",
                        G_TYPE_BOOLEAN, TRUE, "rtcp-fb-ccm-fir", G_TYPE_BOOLEAN, TRUE,
                        "rtcp-fb-transport-cc", G_TYPE_BOOLEAN, TRUE, kTransportCcExtmap,
                        G_TYPE_STRING, kTransportCcUri, nullptr);
    if (registerPlayoutDelayExtension()) {
        gst_caps_set_simple(caps, kPlayoutDelayExtmap, G_TYPE_STRING, kPlayoutDelayUri, nullptr);
    } else {
        cli_log(LL_WARNING, "The playout delay extension is not available\n");
    }
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    GstWebRTCRTPTransceiver* video = nullptr;
    g_object_get(sink, "transceiver", &video, nullptr);
    if (video) {
        g_object_set(video, "do-nack", TRUE, nullptr);
        gst_object_unref(video);
    }
    gst_object_unref(filter);
    gst_object_unref(sink);
    // Every IDR frame carries its parameter sets, so that a keyframe alone restores the picture.
    if (GstElement* pay = findByFactory(pipeline, "rtph264pay")) {
        g_object_set(pay, "config-interval", -1, nullptr);
    }
}

// ximagesrc by default copies only what X reported as damaged; the report can reach it after
// the grab, so a change waits a frame longer (16 ms more at the median, now and then 100 ms), and
// a busy screen's many small regions cost more than one copy of the whole monitor (a scrolling
// terminal: 26% of a core against 12 to 15%), and slow the user's own programs.
void captureWholeFrames(GstElement* pipeline) {
    if (GstElement* source = findByFactory(pipeline, "ximagesrc")) {
        g_object_set(source, "use-damage", FALSE, nullptr);
    }
}

// The pipeline's bus, read on the GLib thread: an error of any element after the start ends the
// call. Every message is taken off, so the bus does not grow for the whole call.
gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR ||
        GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
        const bool isError = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        GError* error = nullptr;
        gchar* debug = nullptr;
        if (isError) {
            gst_message_parse_error(message, &error, &debug);
        } else {
            gst_message_parse_warning(message, &error, &debug);
        }
        if (isError && !s->ended.exchange(true)) {
            terminate(s, GStreamer::kErrPipeline, STATE_ERROR);
        }
        cli_log(isError ? LL_ERROR : LL_WARNING, "GStreamer %s from %s: %s (%s)\n",
                isError ? "error" : "warning", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                error ? error->message : "", debug ? debug : "");
        g_clear_error(&error);
        g_free(debug);
    }
    return G_SOURCE_CONTINUE;
}

void removeStatsFiles(const std::string& statsDir) {
    if (statsDir.empty()) {
        return;
    }
    if (GDir* dir = g_dir_open(statsDir.c_str(), 0, nullptr)) {
        while (const gchar* name = g_dir_read_name(dir)) {
            gchar* path = g_build_filename(statsDir.c_str(), name, nullptr);
            g_remove(path);
            g_free(path);
        }
        g_dir_close(dir);
    }
    g_rmdir(statsDir.c_str());
}

}  // namespace

void GStreamer::screenPipelineStart() {
    const ConnectionParams conn = settings->connectionParams;
    const ServerApiParams api = settings->serverApiParams;
    PipelineSettings ps;
    ps.videoCodec = conn.videoCodec;
    ps.audioCodec = conn.audioCodec;
    ps.stunUrl = conn.stunUrl;
    ps.micVolume = conn.micVolume;
    ps.showCursor = api.showCursor;
    ps.enableAudio = api.enableAudio;
    ps.audioAvailable = settings->audioAvailable;
    ps.screen = screenSpecs;

    PipelineError err = PipelineError::None;
    const std::string description = screenPipelineDescription(ps, &err);
    if (err == PipelineError::WrongVideoCodec) {
        cli_log(LL_ERROR, "Error: wrong video codec stated in the parameters\n");
    } else if (err == PipelineError::WrongAudioCodec) {
        cli_log(LL_ERROR, "Error: wrong audio codec stated in the parameters\n");
    }

    cli_log(LL_INFO, "Starting GStreamer with command:\n%s\n", description.c_str());
    GError* error = nullptr;
    GstElement* launched = gst_parse_launch(description.c_str(), &error);
    if (error || !launched) {
        cli_log(LL_ERROR, "Failed to launch GStreamer: %s\n",
                error ? error->message : "empty pipeline");
        if (error) {
            g_error_free(error);
        }
        if (launched) {
            gst_object_unref(gst_object_ref_sink(launched));
        }
        pipeline = nullptr;
        emit mainLoopTerminate(kErrPipelineStart, STATE_ERROR);
        return;
    }
    pipeline = GST_ELEMENT(gst_object_ref_sink(launched));

    GstElement* bin =
        GST_IS_BIN(pipeline) ? gst_bin_get_by_name(GST_BIN(pipeline), gstWebRtcBinName) : nullptr;
    if (!bin) {
        cli_log(LL_ERROR, "Error: failed to get the bin element of the pipeline\n");
        screenPipelineStop(false);
        emit mainLoopTerminate(kErrPipelineStart, STATE_ERROR);
        return;
    }
    webrtcBin = bin;
    disableUpnp(webrtcBin);
    applyIceServers(webrtcBin, conn, api);
    statsDir = redirectEncoderStats(pipeline);
    enableFeedback(pipeline, webrtcBin);
    captureWholeFrames(pipeline);

    static quint64 calls = 0;
    call = ++calls;
    session = new MediaSession(this, webrtcBin, call);
    GstBus* bus = gst_element_get_bus(pipeline);
    busWatch = gst_bus_create_watch(bus);
    g_source_set_callback(busWatch, G_SOURCE_FUNC(onBusMessage), session->ref(),
                          MediaSession::unrefNotify);
    g_source_attach(busWatch, glib.context());
    gst_object_unref(bus);
    connectNegotiation(webrtcBin, session);
    watchMedia(pipeline, webrtcBin, session);
    tick = startTick(glib.context(), session);

    if (gst_element_set_state(pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        gst_object_unref(bin);
        screenPipelineStop(false);
        emit mainLoopTerminate(kErrPipelineStart, STATE_ERROR);
        return;
    }

    // Created in READY so that the channel is part of the first offer.
    dataChannel = createDataChannel(webrtcBin, session);

    g_signal_connect(webrtcBin, "pad-added", G_CALLBACK(onIncomingStream), nullptr);
    gst_object_unref(bin);

    cli_log(LL_INFO, "Starting GStreamer pipeline\n");
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        screenPipelineStop(false);
        emit mainLoopTerminate(kErrPipelineStart, STATE_ERROR);
    }
}

void GStreamer::screenPipelineStop(bool stop) {
    // Our handlers go first: GStreamer may keep a data channel or a transport alive past the
    // pipeline, and nothing of this session must stay reachable through them.
    if (session) {
        if (dataChannel) {
            g_signal_handlers_disconnect_by_data(dataChannel, session);
        }
        if (webrtcBin) {
            g_signal_handlers_disconnect_by_data(webrtcBin, session);
        }
    }
    if (dataChannel) {
        g_object_unref(dataChannel);
        dataChannel = nullptr;
    }
    webrtcBin = nullptr;
    for (GSource** source : {&tick, &busWatch}) {
        if (*source) {
            g_source_destroy(*source);
            g_source_unref(*source);
            *source = nullptr;
        }
    }
    if (session) {
        session->detach();
        session->unref();
        session = nullptr;
    }
    call = 0;
    if (!pipeline) {
        return;
    }
    if (stop) {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        cli_log(LL_INFO, "GStreamer pipeline stopped\n");
    } else {
        // A failed start may have left elements half-way; NULL is needed before the last unref.
        gst_element_set_state(pipeline, GST_STATE_NULL);
    }
    gst_object_unref(pipeline);
    pipeline = nullptr;
    removeStatsFiles(statsDir);
    statsDir.clear();
}
