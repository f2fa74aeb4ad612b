#include "WebRtcPeer.h"

#define GST_USE_UNSTABLE_API
#include <gst/sctp/sctpsendmeta.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <mutex>

struct PeerCore {
    std::mutex mutex;
    WebRtcPeer* owner = nullptr;  // null once stopped: late callbacks emit nothing
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    GObject* channel = nullptr;
    GstPad* videoPad = nullptr;  // webrtcbin's source pad of the agent's video
    std::vector<WebRtcPeer::Message> messages;
    std::atomic<int> videoFrames{0};
    std::atomic<int> width{0};
    std::atomic<int> height{0};
    std::atomic<int> audioPackets{0};

    template <typename F>
    void withOwner(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        if (owner) {
            f(owner);
        }
    }
};

namespace {

using CorePtr = std::shared_ptr<PeerCore>;

gpointer holdCore(const CorePtr& core) {
    return new CorePtr(core);
}
void releaseCore(gpointer data) {
    delete static_cast<CorePtr*>(data);
}
void releaseCoreClosure(gpointer data, GClosure*) {
    releaseCore(data);
}
PeerCore* coreOf(gpointer data) {
    return static_cast<CorePtr*>(data)->get();
}

// A new reference to what field still holds, taken under the lock; null once stopped.
template <typename T>
T* refOf(PeerCore* core, T* PeerCore::*field) {
    std::lock_guard<std::mutex> lock(core->mutex);
    T* object = core->*field;
    return object ? static_cast<T*>(g_object_ref(object)) : nullptr;
}

template <typename Handler>
void connectCore(gpointer instance, const char* signal, Handler h, const CorePtr& core) {
    g_signal_connect_data(instance, signal, G_CALLBACK(h), holdCore(core), releaseCoreClosure,
                          GConnectFlags(0));
}

GstPadProbeReturn countVideo(GstPad* pad, GstPadProbeInfo*, gpointer data) {
    PeerCore* core = coreOf(data);
    if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        int w = 0, h = 0;
        if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h)) {
            core->width = w;
            core->height = h;
        }
        gst_caps_unref(caps);
    }
    core->videoFrames++;
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn countAudio(GstPad*, GstPadProbeInfo*, gpointer data) {
    coreOf(data)->audioPackets++;
    return GST_PAD_PROBE_OK;
}

GstCaps* capsOf(GstPad* pad) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    return caps ? caps : gst_pad_query_caps(pad, nullptr);
}

// Ends pad in a fakesink whose buffers go through probe.
void countInto(GstObject* bin, GstPad* pad, GstPadProbeCallback probe, gpointer data) {
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(bin), sink);
    gst_element_sync_state_with_parent(sink);
    GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(pad, sinkPad);
    gst_pad_add_probe(sinkPad, GST_PAD_PROBE_TYPE_BUFFER, probe,
                      holdCore(*static_cast<CorePtr*>(data)), releaseCore);
    gst_object_unref(sinkPad);
}

void onDecodedPad(GstElement* decodebin, GstPad* pad, gpointer data) {
    GstCaps* caps = capsOf(pad);
    const bool video =
        g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/x-raw");
    gst_caps_unref(caps);
    if (!video) {
        return;
    }
    GstObject* parent = gst_object_get_parent(GST_OBJECT(decodebin));
    if (!parent) {
        return;
    }
    countInto(parent, pad, countVideo, data);
    gst_object_unref(parent);
}

void onIncoming(GstElement* webrtc, GstPad* pad, gpointer data) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) {
        return;
    }
    GstObject* parent = gst_object_get_parent(GST_OBJECT(webrtc));
    if (!parent) {
        return;
    }
    GstCaps* caps = capsOf(pad);
    const gchar* media = gst_structure_get_string(gst_caps_get_structure(caps, 0), "media");
    const bool video = media && g_str_equal(media, "video");
    gst_caps_unref(caps);
    if (video) {
        {
            std::lock_guard<std::mutex> lock(coreOf(data)->mutex);
            if (!coreOf(data)->videoPad) {
                coreOf(data)->videoPad = GST_PAD(gst_object_ref(pad));
            }
        }
        GstElement* decodebin = gst_element_factory_make("decodebin", nullptr);
        connectCore(decodebin, "pad-added", onDecodedPad, *static_cast<CorePtr*>(data));
        gst_bin_add(GST_BIN(parent), decodebin);
        gst_element_sync_state_with_parent(decodebin);
        GstPad* sinkPad = gst_element_get_static_pad(decodebin, "sink");
        gst_pad_link(pad, sinkPad);
        gst_object_unref(sinkPad);
    } else {
        countInto(parent, pad, countAudio, data);
    }
    gst_object_unref(parent);
}

void onIceCandidate(GstElement*, guint index, gchar* candidate, gpointer data) {
    QString text = QString::fromUtf8(candidate);
    coreOf(data)->withOwner([&](WebRtcPeer* p) { emit p->iceCandidate(index, text); });
}

void onMessageString(GObject*, gchar* text, gpointer data) {
    PeerCore* core = coreOf(data);
    std::lock_guard<std::mutex> lock(core->mutex);
    core->messages.push_back({false, QByteArray(text ? text : "")});
}

void onMessageData(GObject*, GBytes* bytes, gpointer data) {
    PeerCore* core = coreOf(data);
    gsize size = 0;
    const char* raw = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &size)) : nullptr;
    std::lock_guard<std::mutex> lock(core->mutex);
    core->messages.push_back({true, QByteArray(raw, int(size))});
}

void onDataChannel(GstElement*, GObject* channel, gpointer data) {
    const CorePtr& core = *static_cast<CorePtr*>(data);
    connectCore(channel, "on-message-string", onMessageString, core);
    connectCore(channel, "on-message-data", onMessageData, core);
    std::lock_guard<std::mutex> lock(core->mutex);
    if (!core->channel) {
        core->channel = G_OBJECT(g_object_ref(channel));
    }
}

// Without retransmission requests from this side: rtpsession releases its lock to announce
// NACKs in the middle of walking its sources, and a source added meanwhile trips a GLib
// critical in GStreamer 1.22 that has nothing to do with the agent.
void onNewTransceiver(GstElement*, GObject* transceiver, gpointer) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(transceiver), "do-nack")) {
        g_object_set(transceiver, "do-nack", FALSE, nullptr);
    }
}

void onAnswerCreated(GstPromise* promise, gpointer data) {
    PeerCore* core = coreOf(data);
    const GstStructure* reply = gst_promise_get_reply(promise);
    GstWebRTCSessionDescription* answer = nullptr;
    if (reply &&
        gst_structure_has_field_typed(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION)) {
        gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    }
    if (!answer) {
        return;
    }
    if (GstElement* webrtc = refOf(core, &PeerCore::webrtc)) {
        g_signal_emit_by_name(webrtc, "set-local-description", answer, nullptr);
        gst_object_unref(webrtc);
    }
    gchar* text = gst_sdp_message_as_text(answer->sdp);
    QString sdp = QString::fromUtf8(text);
    g_free(text);
    gst_webrtc_session_description_free(answer);
    core->withOwner([&](WebRtcPeer* p) { emit p->sdpReady(sdp, QStringLiteral("answer")); });
}

void onRemoteSet(GstPromise*, gpointer data) {
    PeerCore* core = coreOf(data);
    GstElement* webrtc = refOf(core, &PeerCore::webrtc);
    if (!webrtc) {
        return;
    }
    GstPromise* promise = gst_promise_new_with_change_func(
        onAnswerCreated, holdCore(*static_cast<CorePtr*>(data)), releaseCore);
    g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise);
    gst_promise_unref(promise);
    gst_object_unref(webrtc);
}

void disableUpnp(GstElement* webrtc) {
    GObject* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (!ice) {
        return;
    }
    GObject* agent = nullptr;
    g_object_get(ice, "agent", &agent, nullptr);
    if (agent) {
        g_object_set(agent, "upnp", FALSE, nullptr);
        g_object_unref(agent);
    }
    g_object_unref(ice);
}

}  // namespace

WebRtcPeer::WebRtcPeer(QObject* parent) : QObject(parent) {}

WebRtcPeer::~WebRtcPeer() {
    stop();
}

bool WebRtcPeer::start() {
    stop();
    core = std::make_shared<PeerCore>();
    core->owner = this;
    GstElement* webrtc = gst_element_factory_make("webrtcbin", nullptr);
    if (!webrtc) {
        return false;
    }
    gst_util_set_object_arg(G_OBJECT(webrtc), "bundle-policy", "max-bundle");
    core->pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
    core->webrtc = GST_ELEMENT(gst_object_ref(webrtc));
    gst_bin_add(GST_BIN(core->pipeline), webrtc);
    disableUpnp(core->webrtc);
    connectCore(core->webrtc, "on-ice-candidate", onIceCandidate, core);
    connectCore(core->webrtc, "pad-added", onIncoming, core);
    connectCore(core->webrtc, "on-data-channel", onDataChannel, core);
    g_signal_connect(core->webrtc, "on-new-transceiver", G_CALLBACK(onNewTransceiver), nullptr);
    return gst_element_set_state(core->pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void WebRtcPeer::stop() {
    if (!core) {
        return;
    }
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    GObject* channel = nullptr;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->owner = nullptr;
        pipeline = core->pipeline;
        webrtc = core->webrtc;
        channel = core->channel;
        core->pipeline = nullptr;
        core->webrtc = nullptr;
        core->channel = nullptr;
        if (core->videoPad) {
            gst_object_unref(core->videoPad);
            core->videoPad = nullptr;
        }
    }
    if (pipeline) {
        gst_element_set_state(pipeline, GST_STATE_NULL);
    }
    if (channel) {
        g_object_unref(channel);
    }
    if (webrtc) {
        gst_object_unref(webrtc);
    }
    if (pipeline) {
        gst_object_unref(pipeline);
    }
    core.reset();
}

int WebRtcPeer::videoFrames() const {
    return core ? core->videoFrames.load() : 0;
}
int WebRtcPeer::videoWidth() const {
    return core ? core->width.load() : 0;
}
int WebRtcPeer::videoHeight() const {
    return core ? core->height.load() : 0;
}
int WebRtcPeer::audioPackets() const {
    return core ? core->audioPackets.load() : 0;
}
std::vector<WebRtcPeer::Message> WebRtcPeer::messages() const {
    if (!core) {
        return {};
    }
    std::lock_guard<std::mutex> lock(core->mutex);
    return core->messages;
}

void WebRtcPeer::closeDataChannel() {
    if (!core) {
        return;
    }
    if (GObject* channel = refOf(core.get(), &PeerCore::channel)) {
        g_signal_emit_by_name(channel, "close");
        g_object_unref(channel);
    }
}

namespace {

GstPadProbeReturn breakPpid(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer) {
        return GST_PAD_PROBE_OK;
    }
    auto* meta = reinterpret_cast<GstSctpSendMeta*>(
        gst_buffer_get_meta(buffer, gst_sctp_send_meta_api_get_type()));
    if (!meta) {
        return GST_PAD_PROBE_OK;
    }
    meta->ppid = 4242;
    return GST_PAD_PROBE_REMOVE;
}

}  // namespace

void WebRtcPeer::sendDataChannelGarbage() {
    if (!core || !core->pipeline) {
        return;
    }
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(core->pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstElement* e = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* f = gst_element_get_factory(e);
        if (f && g_str_equal(GST_OBJECT_NAME(f), "sctpenc")) {
            for (GList* l = GST_ELEMENT_PADS(e); l; l = l->next) {
                if (GST_PAD_DIRECTION(GST_PAD(l->data)) == GST_PAD_SINK) {
                    gst_pad_add_probe(GST_PAD(l->data), GST_PAD_PROBE_TYPE_BUFFER, breakPpid,
                                      nullptr, nullptr);
                }
            }
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    if (GObject* channel = refOf(core.get(), &PeerCore::channel)) {
        g_signal_emit_by_name(channel, "send-string", "garbage");
        g_object_unref(channel);
    }
}

void WebRtcPeer::requestKeyFrame() {
    if (GstPad* pad = core ? refOf(core.get(), &PeerCore::videoPad) : nullptr) {
        gst_pad_send_event(
            pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        gst_object_unref(pad);
    }
}

void WebRtcPeer::onSdp(QString text, QString type) {
    if (!core || !core->webrtc || type != QLatin1String("offer")) {
        return;
    }
    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new(&sdp);
    const QByteArray bytes = text.toUtf8();
    gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(bytes.constData()),
                                 guint(bytes.size()), sdp);
    GstWebRTCSessionDescription* offer =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    GstPromise* promise =
        gst_promise_new_with_change_func(onRemoteSet, holdCore(core), releaseCore);
    g_signal_emit_by_name(core->webrtc, "set-remote-description", offer, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(offer);
}

void WebRtcPeer::addIceCandidate(uint mLineIx, QString candidate) {
    if (!core || !core->webrtc) {
        return;
    }
    g_signal_emit_by_name(core->webrtc, "add-ice-candidate", mLineIx,
                          candidate.toUtf8().constData());
}
