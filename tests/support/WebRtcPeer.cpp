#include "WebRtcPeer.h"

#define GST_USE_UNSTABLE_API
#include <gst/sctp/sctpsendmeta.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <mutex>

// What webrtcbin's callbacks share with the peer; stop() cuts the owner off.
struct PeerCore {
    std::mutex mutex;
    WebRtcPeer* owner = nullptr;
    GObject* channel = nullptr;
    std::atomic<int> packets{0};
    std::atomic<int> messages{0};

    // A new reference to the data channel, or null.
    GObject* channelRef() {
        std::lock_guard<std::mutex> lock(mutex);
        return channel ? G_OBJECT(g_object_ref(channel)) : nullptr;
    }
};

namespace {

PeerCore* coreOf(gpointer data) {
    return static_cast<PeerCore*>(data);
}

GstPadProbeReturn countPacket(GstPad*, GstPadProbeInfo*, gpointer data) {
    coreOf(data)->packets++;
    return GST_PAD_PROBE_OK;
}

// Every stream of the agent ends in a fakesink that counts its packets.
void onPadAdded(GstElement* webrtc, GstPad* pad, gpointer data) {
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(GST_ELEMENT_PARENT(webrtc)), sink);
    gst_element_sync_state_with_parent(sink);
    gst_element_link_pads(webrtc, GST_PAD_NAME(pad), sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countPacket, data, nullptr);
}

void onIceCandidate(GstElement*, guint index, gchar* candidate, gpointer data) {
    std::lock_guard<std::mutex> lock(coreOf(data)->mutex);
    if (WebRtcPeer* owner = coreOf(data)->owner) {
        emit owner->iceCandidate(index, QString::fromUtf8(candidate));
    }
}

void onMessage(GObject*, gchar*, gpointer data) {
    coreOf(data)->messages++;
}

void onDataChannel(GstElement*, GObject* channel, gpointer data) {
    // The channel dies with webrtcbin, so the core outlives this handler too.
    g_signal_connect(channel, "on-message-string", G_CALLBACK(onMessage), data);
    std::lock_guard<std::mutex> lock(coreOf(data)->mutex);
    if (!coreOf(data)->channel) {
        coreOf(data)->channel = G_OBJECT(g_object_ref(channel));
    }
}

// Without retransmission requests from this side: rtpsession releases its lock to announce
// NACKs in the middle of walking its sources, and a source added meanwhile trips a GLib
// critical in GStreamer 1.22 that has nothing to do with the agent.
void onNewTransceiver(GstElement*, GObject* transceiver, gpointer) {
    g_object_set(transceiver, "do-nack", FALSE, nullptr);
}

void disableUpnp(GstElement* webrtc) {
    GObject* ice = nullptr;
    GObject* agent = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    g_object_get(ice, "agent", &agent, nullptr);
    g_object_set(agent, "upnp", FALSE, nullptr);
    g_object_unref(agent);
    g_object_unref(ice);
}

GstPadProbeReturn breakPpid(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstMeta* meta =
        gst_buffer_get_meta(GST_PAD_PROBE_INFO_BUFFER(info), gst_sctp_send_meta_api_get_type());
    if (!meta) {
        return GST_PAD_PROBE_OK;
    }
    reinterpret_cast<GstSctpSendMeta*>(meta)->ppid = 4242;
    return GST_PAD_PROBE_REMOVE;
}

}  // namespace

WebRtcPeer::~WebRtcPeer() {
    stop();
}

bool WebRtcPeer::start() {
    stop();
    webrtc = gst_element_factory_make("webrtcbin", nullptr);
    if (!webrtc) {
        return false;
    }
    core = new PeerCore;
    core->owner = this;
    g_object_set_data_full(G_OBJECT(webrtc), "peer-core", core,
                           [](gpointer data) { delete coreOf(data); });
    gst_util_set_object_arg(G_OBJECT(webrtc), "bundle-policy", "max-bundle");
    pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
    gst_bin_add(GST_BIN(pipeline), webrtc);
    disableUpnp(webrtc);
    g_signal_connect(webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), core);
    g_signal_connect(webrtc, "pad-added", G_CALLBACK(onPadAdded), core);
    g_signal_connect(webrtc, "on-data-channel", G_CALLBACK(onDataChannel), core);
    g_signal_connect(webrtc, "on-new-transceiver", G_CALLBACK(onNewTransceiver), nullptr);
    return gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void WebRtcPeer::stop() {
    if (!pipeline) {
        return;
    }
    GObject* channel = nullptr;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->owner = nullptr;
        std::swap(channel, core->channel);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (channel) {
        g_object_unref(channel);
    }
    gst_object_unref(pipeline);
    pipeline = webrtc = nullptr;
    core = nullptr;
}

int WebRtcPeer::packets() const {
    return core ? core->packets.load() : 0;
}

int WebRtcPeer::messages() const {
    return core ? core->messages.load() : 0;
}

void WebRtcPeer::closeDataChannel() {
    if (GObject* channel = core ? core->channelRef() : nullptr) {
        g_signal_emit_by_name(channel, "close");
        g_object_unref(channel);
    }
}

void WebRtcPeer::sendDataChannelGarbage() {
    GObject* channel = core ? core->channelRef() : nullptr;
    if (!channel) {
        return;
    }
    GstIterator* it = gst_bin_iterate_all_by_element_factory_name(GST_BIN(pipeline), "sctpenc");
    GValue item = G_VALUE_INIT;
    if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        gst_element_foreach_sink_pad(
            GST_ELEMENT(g_value_get_object(&item)),
            [](GstElement*, GstPad* pad, gpointer) -> gboolean {
                gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, breakPpid, nullptr, nullptr);
                return TRUE;
            },
            nullptr);
        g_value_unset(&item);
    }
    gst_iterator_free(it);
    g_signal_emit_by_name(channel, "send-string", "garbage");
    g_object_unref(channel);
}

// Upstream through each of webrtcbin's source pads, the way a decoder asks after a loss.
void WebRtcPeer::requestKeyFrame() {
    if (webrtc) {
        gst_element_foreach_src_pad(
            webrtc,
            [](GstElement*, GstPad* pad, gpointer) -> gboolean {
                gst_pad_send_event(
                    pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
                return TRUE;
            },
            nullptr);
    }
}

// Answered on the spot: webrtcbin runs its operations in order on its own thread, which never
// waits for this one.
void WebRtcPeer::onSdp(QString text, QString type) {
    if (!webrtc || type != QLatin1String("offer")) {
        return;
    }
    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new_from_text(text.toUtf8().constData(), &sdp);
    GstWebRTCSessionDescription* offer =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    g_signal_emit_by_name(webrtc, "set-remote-description", offer, nullptr);
    gst_webrtc_session_description_free(offer);

    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise);
    GstWebRTCSessionDescription* answer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        gst_structure_get(gst_promise_get_reply(promise), "answer",
                          GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    }
    gst_promise_unref(promise);
    if (!answer) {
        return;
    }
    g_signal_emit_by_name(webrtc, "set-local-description", answer, nullptr);
    gchar* answerText = gst_sdp_message_as_text(answer->sdp);
    emit sdpReady(QString::fromUtf8(answerText), QStringLiteral("answer"));
    g_free(answerText);
    gst_webrtc_session_description_free(answer);
}

void WebRtcPeer::addIceCandidate(uint mLineIx, QString candidate) {
    if (webrtc) {
        g_signal_emit_by_name(webrtc, "add-ice-candidate", mLineIx, candidate.toUtf8().constData());
    }
}
