#include "TransportWatch.h"

#include <gst/rtp/rtp.h>
#include <gst/video/video.h>

#include "GStreamer.h"
#include "IceServers.h"
#include "MediaSession.h"
#include "PipelineDescription.h"
#include "logger.h"

namespace {

using RateLink = std::shared_ptr<RateControl>;

RateControl& rateOf(gpointer data) {
    return **static_cast<RateLink*>(data);
}

void freeRateLink(gpointer data) {
    delete static_cast<RateLink*>(data);
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

void addRateProbe(GstElement* element, const char* pad, GstPadProbeType type,
                  GstPadProbeCallback callback, MediaSession* s) {
    addProbe(element, pad, type, callback, new RateLink(s->rate), freeRateLink);
}

constexpr auto kBuffers =
    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST);

template <typename F>
void forEachBuffer(GstPadProbeInfo* info, F f) {
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
            f(gst_buffer_list_get(list, i));
        }
    } else if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) {
        f(buffer);
    }
}

// Ends the call once for a dead path, whichever sign of it comes first.
const char kErrPeerLost[] = "The connection with the administrator is lost";

void peerLost(MediaSession* s, const char* why) {
    if (!s->ended.exchange(true)) {
        cli_log(LL_WARNING, "%s, ending the call\n", why);
        terminate(s, kErrPeerLost, STATE_ERROR);
    }
}

// The administrator's PLI or FIR reaches the encoder as an upstream force-key-unit event.
GstPadProbeReturn onKeyUnitRequest(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event && gst_video_event_is_force_key_unit(event) &&
        gst_event_get_seqnum(event) != rateOf(data).ownKeyframeEvent.load()) {
        cli_log(LL_DEBUG, "Keyframe requested by the administrator\n");
    }
    return GST_PAD_PROBE_OK;
}

// The encoder and the payloader run on one streaming thread: after a keyframe leaves the
// encoder, the payloader's next packet is its first.
GstPadProbeReturn onEncodedFrame(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstBuffer* frame = GST_PAD_PROBE_INFO_BUFFER(info);
    if (frame && !GST_BUFFER_FLAG_IS_SET(frame, GST_BUFFER_FLAG_DELTA_UNIT)) {
        rateOf(data).keyframeStarting.store(true);
    }
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn onPayloadedFrame(GstPad*, GstPadProbeInfo* info, gpointer data) {
    RateControl& c = rateOf(data);
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

// Everything that goes into the path: media, retransmissions, RTCP, the data channel.
GstPadProbeReturn onOutgoingPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    guint64 bytes = 0;
    unsigned packets = 0;
    forEachBuffer(info, [&](GstBuffer* b) {
        bytes += gst_buffer_get_size(b);
        ++packets;
    });
    rateOf(data).sentToTransport(bytes, packets);
    return GST_PAD_PROBE_OK;
}

// The video packets as the encoder made them, before any retransmission: their bytes, their
// SSRC (which receiver report is the video's), and the last sequence number, which closes the
// window of requests. The session is bundled: audio passes here too.
GstPadProbeReturn onVideoPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    RateControl& c = rateOf(data);
    forEachBuffer(info, [&c](GstBuffer* b) {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (!gst_rtp_buffer_map(b, GST_MAP_READ, &rtp)) {
            return;
        }
        if (gst_rtp_buffer_get_payload_type(&rtp) == kVideoPayloadType) {
            c.videoPacket(gst_rtp_buffer_get_ssrc(&rtp), gst_buffer_get_size(b));
            c.retransmissions.sent(gst_rtp_buffer_get_seq(&rtp));
        }
        gst_rtp_buffer_unmap(&rtp);
    });
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn onRetransmissionRequest(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    guint seqnum = 0;
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CUSTOM_UPSTREAM ||
        !gst_event_has_name(event, "GstRTPRetransmissionRequest") ||
        !gst_structure_get_uint(gst_event_get_structure(event), "seqnum", &seqnum)) {
        return GST_PAD_PROBE_OK;
    }
    return rateOf(data).retransmit(guint16(seqnum), g_get_monotonic_time()) ? GST_PAD_PROBE_OK
                                                                            : GST_PAD_PROBE_DROP;
}

// The transport and the retransmitter appear inside webrtcbin as the call is negotiated.
// Everything the peer sends enters through nicesrc: the time of the last packet tells a path
// that went silent long before libnice's own checks give up on it. What nicesink sends tells
// the rate control what went into the path. rtprtxsend sees the video before retransmission and
// holds the retransmission budget.
void watchTransport(GstElement* element, MediaSession* s) {
    GstElementFactory* f = gst_element_get_factory(element);
    const char* name = f ? GST_OBJECT_NAME(f) : "";
    if (g_str_equal(name, "nicesrc")) {
        addProbe(element, "src", kBuffers, onIncomingPacket,
                 new MediaSession::Clock(s->lastIncoming),
                 [](gpointer clock) { delete static_cast<MediaSession::Clock*>(clock); });
    } else if (g_str_equal(name, "nicesink")) {
        addRateProbe(element, "sink", kBuffers, onOutgoingPacket, s);
    } else if (g_str_equal(name, "rtprtxsend")) {
        addRateProbe(element, "sink", kBuffers, onVideoPacket, s);
        addRateProbe(element, "src", GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onRetransmissionRequest, s);
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
    logSelectedPair(webrtc, state);
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED) {
        peerLost(s, "ICE failed");
    } else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED) {
        gint64 none = 0;
        s->disconnectedSince.compare_exchange_strong(none, g_get_monotonic_time());
    } else {
        s->disconnectedSince.store(0);
    }
}

// webrtcbin's thread: the reply goes to the rate control, which the next tick hands it to.
void onStats(GstPromise* promise, gpointer data) {
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        return;
    }
    if (const GstStructure* reply = gst_promise_get_reply(promise)) {
        rateOf(data).offerStats(gst_structure_copy(reply));
    }
}

struct Tick {
    MediaSession* session;
    int count = 0;
};

gboolean onTick(gpointer data) {
    auto* t = static_cast<Tick*>(data);
    MediaSession* s = t->session;
    const gint64 now = g_get_monotonic_time();
    s->rate->handleStats(now);
    if (++t->count % kStatsEveryTicks != 0) {
        return G_SOURCE_CONTINUE;
    }
    const gint64 bound = gint64(GStreamer::kPeerSilenceBoundMs) * 1000;
    const gint64 since = s->disconnectedSince.load();
    const gint64 last = s->lastIncoming->load();
    if (since != 0 && now - since > bound) {
        peerLost(s, "ICE disconnected for too long");
    } else if (last != 0 && now - last > bound) {
        peerLost(s, "Nothing received from the administrator for too long");
    }
    if (GstElement* webrtc = s->webrtc()) {
        GstPromise* promise =
            gst_promise_new_with_change_func(onStats, new RateLink(s->rate), freeRateLink);
        g_signal_emit_by_name(webrtc, "get-stats", nullptr, promise);
        gst_promise_unref(promise);
        gst_object_unref(webrtc);
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

void watchMedia(GstElement* pipeline, GstElement* webrtc, MediaSession* s) {
    GstElement* encoder = findByFactory(pipeline, "vp8enc");
    const bool h264 = !encoder;
    if (!encoder) {
        encoder = findByFactory(pipeline, "x264enc");
    }
    if (encoder) {
        s->rate->attach(encoder, h264);
        addRateProbe(encoder, "src", GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onKeyUnitRequest, s);
        addRateProbe(encoder, "src", GST_PAD_PROBE_TYPE_BUFFER, onEncodedFrame, s);
        if (GstElement* payloader = findByFactory(pipeline, h264 ? "rtph264pay" : "rtpvp8pay")) {
            addRateProbe(payloader, "src", kBuffers, onPayloadedFrame, s);
        }
    }
    connectSession(webrtc, "notify::ice-connection-state", onIceConnectionStateNotify, s);
    connectSession(webrtc, "deep-element-added", onDeepElementAdded, s);
    // The transport may exist already.
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(webrtc));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        watchTransport(GST_ELEMENT(g_value_get_object(&item)), s);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

GSource* startTick(GMainContext* context, MediaSession* s) {
    GSource* tick = g_timeout_source_new(kTickMs);
    g_source_set_callback(tick, onTick, new Tick{s->ref()}, [](gpointer data) {
        auto* t = static_cast<Tick*>(data);
        t->session->unref();
        delete t;
    });
    g_source_attach(tick, context);
    return tick;
}
