#include "GStreamer.h"

#define GST_USE_UNSTABLE_API
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "IncomingMedia.h"
#include "PipelineDescription.h"
#include "ScreenGlobals.h"
#include "logger.h"

// Everything a callback of one pipeline may touch. Callbacks run on GStreamer's threads and
// may still be in flight, or arrive late, after the pipeline was stopped or the media object
// destroyed: they reach the media object only through here, and detach() cuts them off.
class MediaSession {
public:
    MediaSession(GStreamer* owner, GstElement* webrtc)
        : owner_(owner), webrtc_(GST_ELEMENT(gst_object_ref(webrtc))) {
        live.fetch_add(1);
    }

    static std::atomic<int> live;

    MediaSession* ref() {
        refs_.fetch_add(1);
        return this;
    }
    void unref() {
        if (refs_.fetch_sub(1) == 1) {
            detach();
            delete this;
        }
    }
    static void unrefNotify(gpointer data) { static_cast<MediaSession*>(data)->unref(); }
    static void closureNotify(gpointer data, GClosure*) { unrefNotify(data); }

    void detach() {
        GstElement* old = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            owner_ = nullptr;
            old = webrtc_;
            webrtc_ = nullptr;
        }
        if (old) {
            gst_object_unref(old);
        }
    }

    // Runs f with the media object while it is attached; the emissions inside are queued, so the
    // lock is never held across a wait on another thread.
    template <typename F>
    bool withOwner(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!owner_) {
            return false;
        }
        f(owner_);
        return true;
    }

    // A reference to the WebRTC element, or null once the session is detached.
    GstElement* webrtc() {
        std::lock_guard<std::mutex> lock(mutex_);
        return webrtc_ ? GST_ELEMENT(gst_object_ref(webrtc_)) : nullptr;
    }

private:
    ~MediaSession() { live.fetch_sub(1); }

    std::atomic<int> refs_{1};
    std::mutex mutex_;
    GStreamer* owner_;
    GstElement* webrtc_;
};

std::atomic<int> MediaSession::live{0};

namespace {

template <typename Handler>
void connectSession(gpointer instance, const char* signal, Handler handler, MediaSession* s) {
    g_signal_connect_data(instance, signal, G_CALLBACK(handler), s->ref(),
                          MediaSession::closureNotify, GConnectFlags(0));
}

GstPromise* sessionPromise(GstPromiseChangeFunc func, MediaSession* s) {
    return gst_promise_new_with_change_func(func, s->ref(), MediaSession::unrefNotify);
}

void terminate(MediaSession* s, const char* msg, ConnectionState state) {
    s->withOwner([&](GStreamer* g) { emit g->mainLoopTerminate(msg, state); });
}

// Fire-and-forget action with a promise whose result is not awaited.
void emitWithInterruptedPromise(GstElement* webrtc, const char* signal,
                                GstWebRTCSessionDescription* desc) {
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(webrtc, signal, desc, promise);
    gst_promise_interrupt(promise);
    gst_promise_unref(promise);
}

void onOfferCreated(GstPromise* promise, gpointer data);
void onOfferSet(GstPromise* promise, gpointer data);
void onAnswerCreated(GstPromise* promise, gpointer data);

void onNegotiationNeeded(GstElement* webrtc, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    // The offer may be ready before the main thread has seen any state change: record the
    // state here first, so that onOfferCreated does not depend on that round trip.
    if (!s->withOwner([](GStreamer* g) { g->getConnState(PEER_CALL_NEGOTIATING); })) {
        return;
    }
    GstPromise* promise = sessionPromise(onOfferCreated, s);
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, promise);
    gst_promise_unref(promise);
    s->withOwner([](GStreamer* g) { emit g->connStateChanged(PEER_CALL_NEGOTIATING); });
}

// Takes the description stored under key from a replied promise, or null.
GstWebRTCSessionDescription* takeDescription(GstPromise* promise, const char* key) {
    const GstStructure* reply = gst_promise_get_reply(promise);
    GstWebRTCSessionDescription* desc = nullptr;
    if (reply && gst_structure_has_field_typed(reply, key, GST_TYPE_WEBRTC_SESSION_DESCRIPTION)) {
        gst_structure_get(reply, key, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
    }
    return desc;
}

void onOfferCreated(GstPromise* promise, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    const char* failure = nullptr;
    s->withOwner([&](GStreamer* g) {
        if (g->currentConnState() != PEER_CALL_NEGOTIATING) {
            failure = "Cannot reply on the offer, not in call";
        }
    });
    if (failure) {
        terminate(s, failure, STATE_ERROR);
        return;
    }
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        terminate(s, "Cannot reply on the offer, the promise is not replied", STATE_ERROR);
        return;
    }
    GstWebRTCSessionDescription* offer = takeDescription(promise, "offer");
    if (!offer) {
        // A closing webrtcbin replies with an error instead of an offer.
        terminate(s, "Cannot reply on the offer, the promise is not replied", STATE_ERROR);
        return;
    }
    if (GstElement* webrtc = s->webrtc()) {
        emitWithInterruptedPromise(webrtc, "set-local-description", offer);
        gst_object_unref(webrtc);
    }
    gchar* text = gst_sdp_message_as_text(offer->sdp);
    QString sdp = QString::fromUtf8(text);
    g_free(text);
    gst_webrtc_session_description_free(offer);
    s->withOwner([&](GStreamer* g) { emit g->sendSdpToPeer(sdp, QStringLiteral("offer")); });
}

void onOfferSet(GstPromise*, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    GstElement* webrtc = s->webrtc();
    if (!webrtc) {
        return;
    }
    GstPromise* promise = sessionPromise(onAnswerCreated, s);
    g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise);
    gst_promise_unref(promise);
    gst_object_unref(webrtc);
}

void onAnswerCreated(GstPromise* promise, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    bool inCall = false;
    s->withOwner([&](GStreamer* g) { inCall = g->currentConnState() == PEER_CALL_NEGOTIATING; });
    if (!inCall) {
        terminate(s, "Cannot reply on the answer, not in call", STATE_ERROR);
        return;
    }
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        terminate(s, "Cannot reply on the answer, the promise is not replied", STATE_ERROR);
        return;
    }
    if (!gst_promise_get_reply(promise)) {
        terminate(s, "Cannot reply on the answer, the promise return empty reply", STATE_ERROR);
        return;
    }
    GstWebRTCSessionDescription* answer = takeDescription(promise, "answer");
    if (!answer) {
        terminate(s, "Cannot relpy on the answer, answer creation failed", STATE_ERROR);
        return;
    }
    if (GstElement* webrtc = s->webrtc()) {
        emitWithInterruptedPromise(webrtc, "set-local-description", answer);
        gst_object_unref(webrtc);
    }
    gchar* text = gst_sdp_message_as_text(answer->sdp);
    QString sdp = QString::fromUtf8(text);
    g_free(text);
    gst_webrtc_session_description_free(answer);
    s->withOwner([&](GStreamer* g) { emit g->sendSdpToPeer(sdp, QStringLiteral("answer")); });
}

void sendIceCandidateMessage(GstElement*, guint mLineIndex, gchar* candidate, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    QString text = QString::fromUtf8(candidate);
    s->withOwner([&](GStreamer* g) { emit g->IceCandidate(mLineIndex, text); });
}

void onIceGatheringStateNotify(GstElement* webrtc, GParamSpec*, gpointer) {
    GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(webrtc, "ice-gathering-state", &state, nullptr);
    switch (state) {
        case GST_WEBRTC_ICE_GATHERING_STATE_NEW:
            cli_log(LL_INFO, "The ICE gathering state changed to %s\n", "new");
            break;
        case GST_WEBRTC_ICE_GATHERING_STATE_GATHERING:
            cli_log(LL_INFO, "The ICE gathering state changed to %s\n", "gathering");
            break;
        case GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE:
            cli_log(LL_INFO, "The ICE gathering state changed to %s\n", "complete");
            break;
        default:
            cli_log(LL_ERROR, "Error: wrong ICE gathering state: %d\n", int(state));
    }
}

// Data channel.

void onDataChannelError(GObject*, gpointer data) {
    terminate(static_cast<MediaSession*>(data), "Data channel error", STATE_UNKNOWN);
}

void onDataChannelClose(GObject*, gpointer data) {
    terminate(static_cast<MediaSession*>(data), "Completed by the opposite side", STATE_UNKNOWN);
}

void onDataChannelOpen(GObject* channel, gpointer) {
    static const char greeting[] = "Hi! from the GStreamer client";
    GBytes* bytes = g_bytes_new("data", 4);
    cli_log(LL_INFO, "Data channel has been opened\n");
    cli_log(LL_INFO, "Sending '%s' to server\n", greeting);
    g_signal_emit_by_name(channel, "send-string", greeting);
    g_signal_emit_by_name(channel, "send-data", bytes);
    g_bytes_unref(bytes);
}

void onDataChannelMessageString(GObject*, gchar* text, gpointer) {
    cli_log(LL_INFO, "Received data channel message: %s\n", text ? text : "");
}

void connectDataChannelSignals(GObject* channel, MediaSession* s) {
    connectSession(channel, "on-error", onDataChannelError, s);
    connectSession(channel, "on-open", onDataChannelOpen, s);
    connectSession(channel, "on-close", onDataChannelClose, s);
    connectSession(channel, "on-message-string", onDataChannelMessageString, s);
}

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

// x264enc writes its first-pass statistics next to the working directory by default, which
// fails (and stops the encoder) where that directory is not writable.
std::string redirectEncoderStats(GstElement* pipeline) {
    static std::atomic<int> counter{0};
    std::string path;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstElement* e = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* f = gst_element_get_factory(e);
        if (f && g_str_equal(GST_OBJECT_NAME(f), "x264enc")) {
            if (path.empty()) {
                gchar* name =
                    g_strdup_printf("kelvano-x264-%d-%d.log", int(getpid()), counter.fetch_add(1));
                gchar* full = g_build_filename(g_get_tmp_dir(), name, nullptr);
                path = full;
                g_free(full);
                g_free(name);
            }
            g_object_set(e, "multipass-cache-file", path.c_str(), nullptr);
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return path;
}

}  // namespace

GStreamer::GStreamer() : settings(&GlobalSettings::instance()) {
    glibWorker.moveToThread(&glibThread);
    connect(&glibThread, &QThread::started, &glibWorker, [this] { glibLoop(); });
}

GStreamer::~GStreamer() {
    stopGlibThread();
    // Callbacks of a pipeline still running would otherwise reach a destroyed object.
    screenPipelineStop(true);
}

int GStreamer::liveSessions() {
    return MediaSession::live.load();
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
        return;
    }
    pipeline = GST_ELEMENT(gst_object_ref_sink(launched));

    GstElement* bin =
        GST_IS_BIN(pipeline) ? gst_bin_get_by_name(GST_BIN(pipeline), gstWebRtcBinName) : nullptr;
    if (!bin) {
        cli_log(LL_ERROR, "Error: failed to get the bin element of the pipeline\n");
        screenPipelineStop(false);
        return;
    }
    webrtcBin = bin;
    disableUpnp(webrtcBin);
    statsFile = redirectEncoderStats(pipeline);

    session = new MediaSession(this, webrtcBin);
    connectSession(webrtcBin, "on-negotiation-needed", onNegotiationNeeded, session);
    connectSession(webrtcBin, "on-ice-candidate", sendIceCandidateMessage, session);
    g_signal_connect(webrtcBin, "notify::ice-gathering-state",
                     G_CALLBACK(onIceGatheringStateNotify), nullptr);

    if (gst_element_set_state(pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        gst_object_unref(bin);
        screenPipelineStop(false);
        return;
    }

    // Created in READY so that the channel is part of the first offer.
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(webrtcBin, "create-data-channel", "channel", nullptr, &channel);
    if (channel) {
        cli_log(LL_INFO, "Created data channel\n");
        connectDataChannelSignals(G_OBJECT(channel), session);
        g_object_unref(channel);
    } else {
        cli_log(LL_ERROR, "Could not create data channel, usrsctp seems unavailable\n");
    }

    g_signal_connect(webrtcBin, "pad-added", G_CALLBACK(onIncomingStream), nullptr);
    gst_object_unref(bin);

    cli_log(LL_INFO, "Starting GStreamer pipeline\n");
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        screenPipelineStop(false);
    }
}

void GStreamer::screenPipelineStop(bool stop) {
    webrtcBin = nullptr;
    if (session) {
        session->detach();
        session->unref();
        session = nullptr;
    }
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
    removeStatsFiles();
}

void GStreamer::removeStatsFiles() {
    if (statsFile.empty()) {
        return;
    }
    for (const char* suffix : {"", ".temp", ".mbtree", ".mbtree.temp"}) {
        std::remove((statsFile + suffix).c_str());
    }
    statsFile.clear();
}

void GStreamer::onSdpReceived(const QString& type, const QString& text) {
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new(&sdp) != GST_SDP_OK) {
        emit mainLoopTerminate("ERROR: could not create an SDP message", STATE_ERROR);
        return;
    }
    const QByteArray bytes = text.toUtf8();
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(bytes.constData()),
                                     guint(bytes.size()), sdp) != GST_SDP_OK ||
        gst_sdp_message_medias_len(sdp) == 0) {
        // The parser accepts nearly anything; a description without media is not one.
        gst_sdp_message_free(sdp);
        emit mainLoopTerminate("ERROR: could not parse the text buffer into an SDP message",
                               STATE_ERROR);
        return;
    }
    if (type == QLatin1String("answer")) {
        cli_log(LL_INFO, "Received SDP answer:\n%s\n", bytes.constData());
        GstWebRTCSessionDescription* answer =
            gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
        if (!answer) {
            emit mainLoopTerminate("ERROR: could not create WebRTC session description",
                                   STATE_ERROR);
            return;
        }
        if (webrtcBin) {
            emitWithInterruptedPromise(webrtcBin, "set-remote-description", answer);
        } else {
            cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted",
                    "set-remote-description");
        }
        gst_webrtc_session_description_free(answer);
        emit connStateChanged(PEER_CALL_STARTED);
        return;
    }
    cli_log(LL_INFO, "Received SDP offer:\n%s\n", bytes.constData());
    GstWebRTCSessionDescription* offer =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    if (!webrtcBin || !session) {
        cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted",
                "set-remote-description");
        gst_webrtc_session_description_free(offer);
        return;
    }
    GstPromise* promise = sessionPromise(onOfferSet, session);
    g_signal_emit_by_name(webrtcBin, "set-remote-description", offer, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(offer);
}

void GStreamer::screenWebrtcBinEmitSignal(const char* signal, guint mLineIndex,
                                          const char* candidate) {
    if (!webrtcBin) {
        cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted",
                signal);
        return;
    }
    g_signal_emit_by_name(webrtcBin, signal, mLineIndex, candidate ? candidate : "");
}
