#include "GStreamer.h"

#define GST_USE_UNSTABLE_API
#include <glib/gstdio.h>
#include <gst/rtp/rtp.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "BitrateEstimator.h"
#include "IncomingMedia.h"
#include "PipelineDescription.h"
#include "RetransmissionGate.h"
#include "ScreenGlobals.h"
#include "WorkerThread.h"
#include "logger.h"

// The encoder's bitrate control. Shared with the "get-stats" promises rather than the session: a
// promise that webrtcbin drops while closing must not keep a whole session alive.
struct BitrateControl {
    std::mutex mutex;
    GstElement* encoder = nullptr;  // a reference of its own; null once the session is gone
    bool h264 = false;              // x264enc takes kbit/s, vp8enc bit/s
    BitrateEstimator estimator;
    int cpuUsed = 0;          // vp8enc's, as last set
    double lastPackets = -2;  // identify the last report used
    double lastRtt = -1;
    gint64 lastReportTime = 0;
    guint64 lastSentBytes = 0;

    // Written and read without the mutex, from the transport's and the retransmitter's threads.
    std::atomic<guint64> sentBytes{0};  // everything handed to the transport
    std::atomic<int> targetKbps{estimator.kbps()};

    RetransmissionGate retransmissions;
    // Set by the encoder's probe on a keyframe, taken by the payloader's on its first packet.
    std::atomic<bool> keyframeStarting{false};

    // The keyframe the agent asks for itself after heavy loss, so the administrator's log line
    // is not written for it.
    std::atomic<guint32> ownKeyframeEvent{GST_SEQNUM_INVALID};
    gint64 lastOwnKeyframe = 0;

    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        if (encoder) {
            gst_object_unref(encoder);
            encoder = nullptr;
        }
    }
};

// Everything a callback of one pipeline may touch. Callbacks run on GStreamer's threads and
// may still be in flight, or arrive late, after the pipeline was stopped or the media object
// destroyed: they reach the media object only through here, and detach() cuts them off.
class MediaSession {
public:
    MediaSession(GStreamer* owner, GstElement* webrtc, quint64 call)
        : owner_(owner), webrtc_(GST_ELEMENT(gst_object_ref(webrtc))), call_(call) {
        live.fetch_add(1);
    }

    const std::shared_ptr<BitrateControl> bitrate = std::make_shared<BitrateControl>();

    // Liveness, in g_get_monotonic_time() microseconds: when the peer was last heard from, and
    // since when ICE has been disconnected (0: it is not). The former is shared with the probes
    // on the transport's sources, which may outlive the pipeline, rather than the whole session.
    using Clock = std::shared_ptr<std::atomic<gint64>>;
    const Clock lastIncoming = std::make_shared<std::atomic<gint64>>(0);
    std::atomic<gint64> disconnectedSince{0};
    std::atomic<bool> ended{false};

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
        bitrate->release();
    }

    // Runs f with the media object while it is attached. f only reads or stores: it never emits.
    template <typename F>
    bool withOwner(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!owner_) {
            return false;
        }
        f(owner_);
        return true;
    }

    // Hands f to the media object on the GUI thread, always queued (a promise answered on the
    // caller's thread must not run the signalling side under this lock), tagged with this
    // session's call: it runs there only while that call is still the current one, so a late
    // error of an earlier call cannot end the next.
    template <typename F>
    void post(const char* what, F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!owner_) {
            return;
        }
        GStreamer* g = owner_;
        const quint64 call = call_;
        QMetaObject::invokeMethod(
            g,
            [g, call, what, f] {
                if (g->isCurrentCall(call, what)) {
                    f(g);
                }
            },
            Qt::QueuedConnection);
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
    const quint64 call_;
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
    s->post("an error", [msg, state](GStreamer* g) { emit g->mainLoopTerminate(msg, state); });
}

const char kErrPeerLost[] = "The connection with the administrator is lost";

// Ends the call once for a dead path, whichever sign of it comes first.
void peerLost(MediaSession* s, const char* why) {
    if (!s->ended.exchange(true)) {
        cli_log(LL_WARNING, "%s, ending the call\n", why);
        terminate(s, kErrPeerLost, STATE_ERROR);
    }
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
    s->post("a state change",
            [](GStreamer* g) { emit g->connStateChanged(PEER_CALL_NEGOTIATING); });
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
    s->post("an offer",
            [sdp](GStreamer* g) { emit g->sendSdpToPeer(sdp, QStringLiteral("offer")); });
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
    s->post("an answer",
            [sdp](GStreamer* g) { emit g->sendSdpToPeer(sdp, QStringLiteral("answer")); });
}

void sendIceCandidateMessage(GstElement*, guint mLineIndex, gchar* candidate, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    QString text = QString::fromUtf8(candidate);
    s->post("an ICE candidate",
            [mLineIndex, text](GStreamer* g) { emit g->IceCandidate(mLineIndex, text); });
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

// The answer applied, or refused by webrtcbin (a reply with an error): only an applied one
// starts the call.
void onAnswerSet(GstPromise* promise, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        return;  // the session is closing
    }
    const GstStructure* reply = gst_promise_get_reply(promise);
    GError* error = nullptr;
    if (reply && gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr)) {
        cli_log(LL_ERROR, "The answer was refused: %s\n", error ? error->message : "");
        g_clear_error(&error);
        terminate(s, GStreamer::kErrAnswerRefused, STATE_ERROR);
        return;
    }
    s->post("a state change", [](GStreamer* g) { emit g->connStateChanged(PEER_CALL_STARTED); });
}

// Runs on the thread that posts the message. An error of any element after the start ends the
// call; the rest is dropped, since nothing else reads this bus and it would grow for the whole
// call.
GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer data) {
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
        cli_log(isError ? LL_ERROR : LL_WARNING, "GStreamer %s from %s: %s (%s)\n",
                isError ? "error" : "warning", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                error ? error->message : "", debug ? debug : "");
        g_clear_error(&error);
        g_free(debug);
        if (isError && !s->ended.exchange(true)) {
            terminate(s, GStreamer::kErrPipeline, STATE_ERROR);
        }
    }
    // A dropped message is the handler's to free: one left alive keeps its source, and with it
    // the pipeline, for ever.
    gst_message_unref(message);
    return GST_BUS_DROP;
}

// The answer's video line with port 0: the peer takes the call without the picture.
bool videoRefused(const GstSDPMessage* sdp) {
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, i);
        const gchar* kind = gst_sdp_media_get_media(media);
        if (kind && g_str_equal(kind, "video") && gst_sdp_media_get_port(media) == 0) {
            return true;
        }
    }
    return false;
}

// Data channel.

void onDataChannelError(GObject*, GError* error, gpointer data) {
    cli_log(LL_ERROR, "Data channel error: %s\n", error && error->message ? error->message : "");
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

// Loss recovery: retransmission on NACK for video, and keyframes on PLI and FIR. The transceiver
// must retransmit before the first offer; the feedback the offer announces comes from the caps.
// Audio stays without NACK: browsers refuse an audio line that carries it.
void enableLossRecovery(GstElement* pipeline, GstElement* webrtc) {
    GstPad* sink = gst_element_get_static_pad(webrtc, "sink_0");
    GstPad* peer = sink ? gst_pad_get_peer(sink) : nullptr;
    GstElement* filter = peer ? gst_pad_get_parent_element(peer) : nullptr;
    if (filter && g_object_class_find_property(G_OBJECT_GET_CLASS(filter), "caps")) {
        GstCaps* caps = nullptr;
        g_object_get(filter, "caps", &caps, nullptr);
        if (caps) {
            caps = gst_caps_make_writable(caps);
            gst_caps_set_simple(caps, "rtcp-fb-nack", G_TYPE_BOOLEAN, TRUE, "rtcp-fb-nack-pli",
                                G_TYPE_BOOLEAN, TRUE, "rtcp-fb-ccm-fir", G_TYPE_BOOLEAN, TRUE,
                                nullptr);
            g_object_set(filter, "caps", caps, nullptr);
            gst_caps_unref(caps);
        }
    }
    for (GstObject* o : {GST_OBJECT(filter), GST_OBJECT(peer), GST_OBJECT(sink)}) {
        if (o) {
            gst_object_unref(o);
        }
    }
    // The video branch is linked first, so its transceiver is the first one.
    GstWebRTCRTPTransceiver* video = nullptr;
    g_signal_emit_by_name(webrtc, "get-transceiver", 0, &video);
    if (video) {
        g_object_set(video, "do-nack", TRUE, nullptr);
        gst_object_unref(video);
    }
    // Every IDR frame carries its parameter sets, so that a keyframe alone restores the picture.
    if (GstElement* pay = findByFactory(pipeline, "rtph264pay")) {
        g_object_set(pay, "config-interval", -1, nullptr);
    }
}

BitrateControl& bitrateOf(gpointer data) {
    return **static_cast<std::shared_ptr<BitrateControl>*>(data);
}

void freeBitrateLink(gpointer data) {
    delete static_cast<std::shared_ptr<BitrateControl>*>(data);
}

// The administrator's PLI or FIR reaches the encoder as an upstream force-key-unit event.
GstPadProbeReturn onKeyUnitRequest(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event && gst_video_event_is_force_key_unit(event) &&
        gst_event_get_seqnum(event) != bitrateOf(data).ownKeyframeEvent.load()) {
        cli_log(LL_DEBUG, "Keyframe requested by the administrator\n");
    }
    return GST_PAD_PROBE_OK;
}

// The encoder and the payloader run on one streaming thread: after a keyframe leaves the
// encoder, the payloader's next packet is its first.
GstPadProbeReturn onEncodedFrame(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstBuffer* frame = GST_PAD_PROBE_INFO_BUFFER(info);
    if (frame && !GST_BUFFER_FLAG_IS_SET(frame, GST_BUFFER_FLAG_DELTA_UNIT)) {
        bitrateOf(data).keyframeStarting.store(true);
    }
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn onPayloadedFrame(GstPad*, GstPadProbeInfo* info, gpointer data) {
    BitrateControl& c = bitrateOf(data);
    if (!c.keyframeStarting.exchange(false)) {
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* first = info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST
                           ? gst_buffer_list_get(GST_PAD_PROBE_INFO_BUFFER_LIST(info), 0)
                           : GST_PAD_PROBE_INFO_BUFFER(info);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (first && gst_rtp_buffer_map(first, GST_MAP_READ, &rtp)) {
        c.retransmissions.keyframeStarts(gst_rtp_buffer_get_seq(&rtp));
        gst_rtp_buffer_unmap(&rtp);
    }
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn onIncomingPacket(GstPad*, GstPadProbeInfo*, gpointer data) {
    (*static_cast<MediaSession::Clock*>(data))->store(g_get_monotonic_time());
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn onOutgoingPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    BitrateControl& c = bitrateOf(data);
    c.sentBytes.fetch_add(info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST
                              ? gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info))
                              : gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
    return GST_PAD_PROBE_OK;
}

// The sequence number of the last video packet sent, which closes the window of requests. The
// session is bundled: audio packets pass here too, with sequence numbers of their own.
GstPadProbeReturn onVideoPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto lastVideoSeqnum = [](GstBuffer* buffer, guint* seqnum) {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) {
            return false;
        }
        const bool video = gst_rtp_buffer_get_payload_type(&rtp) == kVideoPayloadType;
        *seqnum = gst_rtp_buffer_get_seq(&rtp);
        gst_rtp_buffer_unmap(&rtp);
        return video;
    };
    guint seqnum = 0;
    bool found = false;
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = gst_buffer_list_length(list); i > 0 && !found; --i) {
            found = lastVideoSeqnum(gst_buffer_list_get(list, i - 1), &seqnum);
        }
    } else {
        found = lastVideoSeqnum(GST_PAD_PROBE_INFO_BUFFER(info), &seqnum);
    }
    if (found) {
        bitrateOf(data).retransmissions.sent(guint16(seqnum));
    }
    return GST_PAD_PROBE_OK;
}

// No keyframe of the agent's own this soon after another: each is several frames' worth.
constexpr gint64 kOwnKeyframeIntervalUs = G_USEC_PER_SEC * 9 / 10;

// vp8enc's "cpu-used". Left to itself (0), libvpx takes its time after a change of target:
// twice the CPU of a fixed real-time speed for the same picture, which only a narrow path repays,
// where the better compression is what keeps frames coming.
int vp8CpuUsed(const BitrateEstimator& estimator) {
    return estimator.narrow() ? 0 : -6;
}

GstPadProbeReturn onRetransmissionRequest(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    guint seqnum = 0;
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CUSTOM_UPSTREAM ||
        !gst_event_has_name(event, "GstRTPRetransmissionRequest") ||
        !gst_structure_get_uint(gst_event_get_structure(event), "seqnum", &seqnum)) {
        return GST_PAD_PROBE_OK;
    }
    BitrateControl& c = bitrateOf(data);
    return c.retransmissions.request(guint16(seqnum), g_get_monotonic_time(), c.targetKbps.load())
               ? GST_PAD_PROBE_OK
               : GST_PAD_PROBE_DROP;
}

void addProbe(GstElement* element, const char* pad, GstPadProbeType type,
              GstPadProbeCallback callback, gpointer data, GDestroyNotify free) {
    if (GstPad* p = gst_element_get_static_pad(element, pad)) {
        gst_pad_add_probe(p, type, callback, data, free);
        gst_object_unref(p);
    } else {
        free(data);
    }
}

// The transport and the retransmitter appear inside webrtcbin as the call is negotiated.
// Everything the peer sends enters through nicesrc: the time of the last packet tells a path
// that went silent long before libnice's own checks give up on it. What nicesink sends tells
// the bitrate control what went into the path. rtprtxsend gets the retransmission budget.
void watchTransport(GstElement* element, MediaSession* s) {
    GstElementFactory* f = gst_element_get_factory(element);
    const char* name = f ? GST_OBJECT_NAME(f) : "";
    const auto buffers =
        GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST);
    if (g_str_equal(name, "nicesrc")) {
        addProbe(element, "src", buffers, onIncomingPacket,
                 new MediaSession::Clock(s->lastIncoming),
                 [](gpointer clock) { delete static_cast<MediaSession::Clock*>(clock); });
    } else if (g_str_equal(name, "nicesink")) {
        addProbe(element, "sink", buffers, onOutgoingPacket,
                 new std::shared_ptr<BitrateControl>(s->bitrate), freeBitrateLink);
    } else if (g_str_equal(name, "rtprtxsend")) {
        addProbe(element, "sink", buffers, onVideoPacket,
                 new std::shared_ptr<BitrateControl>(s->bitrate), freeBitrateLink);
        addProbe(element, "src", GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onRetransmissionRequest,
                 new std::shared_ptr<BitrateControl>(s->bitrate), freeBitrateLink);
    }
}

void onDeepElementAdded(GstBin*, GstBin*, GstElement* element, gpointer data) {
    watchTransport(element, static_cast<MediaSession*>(data));
}

void onIceConnectionStateNotify(GstElement* webrtc, GParamSpec*, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &state, nullptr);
    static const char* const names[] = {"new",    "checking",     "connected", "completed",
                                        "failed", "disconnected", "closed"};
    cli_log(LL_INFO, "The ICE connection state changed to %s\n",
            unsigned(state) < G_N_ELEMENTS(names) ? names[state] : "unknown");
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED) {
        peerLost(s, "ICE failed");
    } else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED) {
        gint64 none = 0;
        s->disconnectedSince.compare_exchange_strong(none, g_get_monotonic_time());
    } else {
        s->disconnectedSince.store(0);
    }
}

// Reads one double or unsigned field, whatever numeric type this GStreamer version gives it.
bool numberField(const GstStructure* st, const char* name, double* out) {
    const GValue* v = gst_structure_get_value(st, name);
    if (!v) {
        return false;
    }
    GValue d = G_VALUE_INIT;
    g_value_init(&d, G_TYPE_DOUBLE);
    const bool ok = g_value_transform(v, &d);
    if (ok) {
        *out = g_value_get_double(&d);
    }
    g_value_unset(&d);
    return ok;
}

struct VideoReport {
    bool found = false;
    ReceiverReport report;
    double packetsReceived = -1;  // identifies a fresh report
};

gboolean findVideoReport(GQuark, const GValue* value, gpointer data) {
    auto* out = static_cast<VideoReport*>(data);
    if (out->found || !GST_VALUE_HOLDS_STRUCTURE(value)) {
        return TRUE;
    }
    const GstStructure* st = gst_value_get_structure(value);
    GstWebRTCStatsType type = GstWebRTCStatsType(0);
    if (!gst_structure_get(st, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr) ||
        type != GST_WEBRTC_STATS_REMOTE_INBOUND_RTP) {
        return TRUE;
    }
    const gchar* kind = gst_structure_get_string(st, "kind");
    if (kind && !g_str_equal(kind, "video")) {
        return TRUE;
    }
    double loss = 0;
    double rtt = 0;
    if (!numberField(st, "fraction-lost", &loss)) {
        return TRUE;
    }
    numberField(st, "round-trip-time", &rtt);
    numberField(st, "packets-received", &out->packetsReceived);
    out->found = true;
    out->report.fractionLost = loss;
    out->report.rttMs = rtt * 1000;
    return TRUE;
}

// The reply to "get-stats": a fresh receiver report for video moves the encoder's bitrate.
void onStats(GstPromise* promise, gpointer data) {
    BitrateControl& c = bitrateOf(data);
    const GstStructure* reply = gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED
                                    ? gst_promise_get_reply(promise)
                                    : nullptr;
    VideoReport found;
    if (reply) {
        gst_structure_foreach(reply, findVideoReport, &found);
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!found.found || !c.encoder) {
        return;
    }
    if (found.packetsReceived == c.lastPackets && found.report.rttMs == c.lastRtt) {
        return;  // the same report as last time
    }
    c.lastPackets = found.packetsReceived;
    c.lastRtt = found.report.rttMs;
    const gint64 now = g_get_monotonic_time();
    const guint64 sent = c.sentBytes.load();
    if (c.lastReportTime != 0 && now > c.lastReportTime) {
        found.report.sentKbps = (sent - c.lastSentBytes) * 8.0 / 1000 /
                                (double(now - c.lastReportTime) / G_USEC_PER_SEC);
    }
    found.report.requestedShare = c.retransmissions.takeRequestedShare();
    c.lastReportTime = now;
    c.lastSentBytes = sent;
    const int before = c.estimator.kbps();
    const int after = c.estimator.update(found.report);
    c.targetKbps.store(after);
    // The frames sent into a full path are mostly lost and retransmission cannot bring them all:
    // start the picture again at once, at the lowered rate, rather than wait seconds for the
    // browser to give up on them and ask.
    if (c.estimator.congested() && now - c.lastOwnKeyframe > kOwnKeyframeIntervalUs) {
        c.lastOwnKeyframe = now;
        GstEvent* request =
            gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0);
        c.ownKeyframeEvent.store(gst_event_get_seqnum(request));
        if (GstPad* src = gst_element_get_static_pad(c.encoder, "src")) {
            gst_pad_send_event(src, request);
            gst_object_unref(src);
        } else {
            gst_event_unref(request);
        }
        cli_log(LL_DEBUG, "Keyframe sent after heavy loss\n");
    }
    if (const int cpuUsed = vp8CpuUsed(c.estimator); !c.h264 && cpuUsed != c.cpuUsed) {
        c.cpuUsed = cpuUsed;
        g_object_set(c.encoder, "cpu-used", cpuUsed, nullptr);
        cli_log(LL_DEBUG, "VP8 speed %d on a %s path\n", c.cpuUsed,
                c.estimator.narrow() ? "narrow" : "open");
    }
    if (after == before) {
        return;
    }
    if (c.h264) {
        g_object_set(c.encoder, "bitrate", guint(after), nullptr);
    } else {
        g_object_set(c.encoder, "target-bitrate", gint(after * 1000), nullptr);
    }
    cli_log(LL_DEBUG,
            "Video bitrate %d -> %d kbit/s (loss %.1f%%, asked again %.1f%%, round trip %.0f ms, "
            "sent %.0f kbit/s)\n",
            before, after, found.report.fractionLost * 100,
            std::max(found.report.requestedShare, 0.0) * 100, found.report.rttMs,
            found.report.sentKbps);
}

// Once a second on the GLib thread: ask for the receiver reports, and end a call whose path has
// been dead for longer than the bound.
gboolean onSecondTick(gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    const gint64 now = g_get_monotonic_time();
    const gint64 bound = gint64(GStreamer::kPeerSilenceBoundMs) * 1000;
    const gint64 since = s->disconnectedSince.load();
    const gint64 last = s->lastIncoming->load();
    if (since != 0 && now - since > bound) {
        peerLost(s, "ICE disconnected for too long");
    } else if (last != 0 && now - last > bound) {
        peerLost(s, "Nothing received from the administrator for too long");
    }
    if (GstElement* webrtc = s->webrtc()) {
        GstPromise* promise = gst_promise_new_with_change_func(
            onStats, new std::shared_ptr<BitrateControl>(s->bitrate), freeBitrateLink);
        g_signal_emit_by_name(webrtc, "get-stats", nullptr, promise);
        gst_promise_unref(promise);
        gst_object_unref(webrtc);
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

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

GStreamer::GStreamer() : context(g_main_context_new()), settings(&GlobalSettings::instance()) {
    glibWorker.moveToThread(&glibThread);
    connect(&glibThread, &QThread::started, &glibWorker, [this] { glibLoop(); });
}

GStreamer::~GStreamer() {
    stopGlibThread();
    // Callbacks of a pipeline still running would otherwise reach a destroyed object.
    screenPipelineStop(true);
    g_main_context_unref(context);
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

void GStreamer::startGlibThread() {
    glibThread.start(QThread::InheritPriority);
}

void GStreamer::stopGlibThread() {
    if (!glibThread.isRunning()) {
        return;
    }
    stopAndJoin(glibThread, [this] { g_main_context_wakeup(context); });
    cli_log(LL_DEBUG, "Glib thread stoped\n");
}

// The media object's own context, never the default one: that one belongs to the GUI thread's
// Qt event dispatcher, and iterating it here would run Qt's timers and posted events on this
// thread. A wakeup after the interruption request ends the blocking iteration.
void GStreamer::glibLoop() {
    g_main_context_push_thread_default(context);
    while (!glibThread.isInterruptionRequested()) {
        g_main_context_iteration(context, TRUE);
    }
    g_main_context_pop_thread_default(context);
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
    statsDir = redirectEncoderStats(pipeline);
    enableLossRecovery(pipeline, webrtcBin);

    static quint64 calls = 0;
    call = ++calls;
    session = new MediaSession(this, webrtcBin, call);
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, onBusMessage, session->ref(), MediaSession::unrefNotify);
    gst_object_unref(bus);
    connectSession(webrtcBin, "on-negotiation-needed", onNegotiationNeeded, session);
    connectSession(webrtcBin, "on-ice-candidate", sendIceCandidateMessage, session);
    g_signal_connect(webrtcBin, "notify::ice-gathering-state",
                     G_CALLBACK(onIceGatheringStateNotify), nullptr);
    connectSession(webrtcBin, "notify::ice-connection-state", onIceConnectionStateNotify, session);
    connectSession(webrtcBin, "deep-element-added", onDeepElementAdded, session);
    watchEncoder();
    tick = g_timeout_source_new(1000);
    g_source_set_callback(tick, onSecondTick, session->ref(), MediaSession::unrefNotify);
    g_source_attach(tick, context);

    if (gst_element_set_state(pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        gst_object_unref(bin);
        screenPipelineStop(false);
        emit mainLoopTerminate(kErrPipelineStart, STATE_ERROR);
        return;
    }

    // Created in READY so that the channel is part of the first offer.
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(webrtcBin, "create-data-channel", "channel", nullptr, &channel);
    if (channel) {
        cli_log(LL_INFO, "Created data channel\n");
        connectDataChannelSignals(G_OBJECT(channel), session);
        dataChannel = G_OBJECT(channel);
    } else {
        cli_log(LL_ERROR, "Could not create data channel, usrsctp seems unavailable\n");
    }

    g_signal_connect(webrtcBin, "pad-added", G_CALLBACK(onIncomingStream), nullptr);
    gst_object_unref(bin);

    cli_log(LL_INFO, "Starting GStreamer pipeline\n");
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        screenPipelineStop(false);
        emit mainLoopTerminate(kErrPipelineStart, STATE_ERROR);
    }
}

void GStreamer::watchEncoder() {
    GstElement* encoder = findByFactory(pipeline, "vp8enc");
    BitrateControl& c = *session->bitrate;
    c.h264 = !encoder;
    if (!encoder) {
        encoder = findByFactory(pipeline, "x264enc");
    }
    if (!encoder) {
        return;
    }
    if (c.h264) {
        g_object_set(encoder, "bitrate", guint(c.estimator.kbps()), nullptr);
    } else {
        // Without CBR and frame dropping, vp8enc sends about 1.5 Mbit/s of scrolling text
        // whatever its target; dropping a frame when the budget is spent keeps a narrow path
        // moving. Its default 6-s client buffer would let it spend seconds of bits above a
        // lowered target, into a path that is already full: keep about x264's 600 ms. A
        // keyframe of the whole screen is capped at three frames' budget, so that the one a
        // freeze asks for fits through a narrow path.
        c.cpuUsed = vp8CpuUsed(c.estimator);
        g_object_set(encoder, "target-bitrate", gint(c.estimator.kbps() * 1000), "end-usage",
                     1 /* cbr */, "dropframe-threshold", 60, "buffer-size", 1000,
                     "buffer-initial-size", 500, "buffer-optimal-size", 600, "max-intra-bitrate",
                     300, "cpu-used", c.cpuUsed, nullptr);
    }
    c.encoder = GST_ELEMENT(gst_object_ref(encoder));
    const auto link = [this] { return new std::shared_ptr<BitrateControl>(session->bitrate); };
    addProbe(encoder, "src", GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onKeyUnitRequest, link(),
             freeBitrateLink);
    addProbe(encoder, "src", GST_PAD_PROBE_TYPE_BUFFER, onEncodedFrame, link(), freeBitrateLink);
    if (GstElement* payloader = findByFactory(pipeline, c.h264 ? "rtph264pay" : "rtpvp8pay")) {
        addProbe(payloader, "src",
                 GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                 onPayloadedFrame, link(), freeBitrateLink);
    }
    // The transport may exist already.
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(webrtcBin));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        watchTransport(GST_ELEMENT(g_value_get_object(&item)), session);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
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
    if (tick) {
        g_source_destroy(tick);
        g_source_unref(tick);
        tick = nullptr;
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
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
    pipeline = nullptr;
    removeStatsFiles();
}

void GStreamer::removeStatsFiles() {
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
    statsDir.clear();
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
        if (videoRefused(answer->sdp)) {
            gst_webrtc_session_description_free(answer);
            emit mainLoopTerminate(kErrVideoRefused, STATE_ERROR);
            return;
        }
        if (webrtcBin && session) {
            GstPromise* promise = sessionPromise(onAnswerSet, session);
            g_signal_emit_by_name(webrtcBin, "set-remote-description", answer, promise);
            gst_promise_unref(promise);
        } else {
            cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted",
                    "set-remote-description");
        }
        gst_webrtc_session_description_free(answer);
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
