#include "Feedback.h"

#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <algorithm>

namespace {

// One number, whatever numeric type this GStreamer version gives the field.
bool numberField(const GstStructure* st, const char* name, double* out) {
    const GValue* v = gst_structure_get_value(st, name);
    if (!v || !g_value_type_transformable(G_VALUE_TYPE(v), G_TYPE_DOUBLE)) {
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

const GstStructure* structureField(const GstStructure* st, const char* name) {
    const GValue* v = gst_structure_get_value(st, name);
    return v && GST_VALUE_HOLDS_STRUCTURE(v) ? gst_value_get_structure(v) : nullptr;
}

bool hasType(const GstStructure* st, GstWebRTCStatsType wanted) {
    const GValue* v = gst_structure_get_value(st, "type");
    return v && G_VALUE_HOLDS(v, GST_TYPE_WEBRTC_STATS_TYPE) && g_value_get_enum(v) == int(wanted);
}

template <typename F>
void forEachStats(const GstStructure* stats, F f) {
    const int n = stats ? gst_structure_n_fields(stats) : 0;
    for (int i = 0; i < n; ++i) {
        if (const GstStructure* st =
                structureField(stats, gst_structure_nth_field_name(stats, i))) {
            f(st);
        }
    }
}

}  // namespace

TransportFeedback transportFeedbackOf(const GstStructure* stats) {
    TransportFeedback out;
    forEachStats(stats, [&out](const GstStructure* st) {
        const GstStructure* twcc = structureField(st, "gst-twcc-stats");
        double sent = 0;
        // Under the transport in 1.22, under the candidate pair in later versions.
        if (out.found ||
            !(hasType(st, GST_WEBRTC_STATS_TRANSPORT) ||
              hasType(st, GST_WEBRTC_STATS_CANDIDATE_PAIR)) ||
            !twcc || !numberField(twcc, "packets-sent", &sent) || sent <= 0) {
            return;
        }
        double lossPct = 0, gradientNs = 0, sentBps = 0, receivedBps = 0;
        numberField(twcc, "packet-loss-pct", &lossPct);
        numberField(twcc, "avg-delta-of-delta", &gradientNs);
        numberField(twcc, "bitrate-sent", &sentBps);
        numberField(twcc, "bitrate-recv", &receivedBps);
        out.found = true;
        out.packets = sent;
        out.lossBeforeRepair = std::clamp(lossPct / 100, 0.0, 1.0);
        out.delayGradientMs = gradientNs / 1e6;
        out.sentKbps = std::max(sentBps, 0.0) / 1000;
        out.receivedKbps = std::max(receivedBps, 0.0) / 1000;
    });
    return out;
}

VideoReceiverReport videoReportOf(const GstStructure* stats, guint ssrc) {
    VideoReceiverReport out;
    forEachStats(stats, [&](const GstStructure* st) {
        guint reported = 0;
        double loss = 0;
        if (out.found || !hasType(st, GST_WEBRTC_STATS_REMOTE_INBOUND_RTP) ||
            !gst_structure_get_uint(st, "ssrc", &reported) || reported != ssrc ||
            !numberField(st, "fraction-lost", &loss)) {
            return;
        }
        double rtt = 0;
        numberField(st, "round-trip-time", &rtt);
        out.found = true;
        out.fractionLost = std::clamp(loss, 0.0, 1.0);
        out.rttMs = std::max(rtt, 0.0) * 1000;
        if (const GstStructure* source = structureField(st, "gst-rtpsource-stats")) {
            guint seq = 0;
            out.hasHighestSeq = gst_structure_get_uint(source, "rb-exthighestseq", &seq);
            out.highestSeq = seq;
        }
    });
    return out;
}
