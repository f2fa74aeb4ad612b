#include "RateControl.h"

#include <gst/video/video.h>

#include <algorithm>

#include "Feedback.h"
#include "logger.h"

namespace {

// vp8enc's speed and rate buffer for the path.
// - Speed: left to itself (0), libvpx takes its time after a change of target, twice the CPU of
//   a fixed real-time speed for the same picture, which only a narrow path repays.
// - Buffer: a policer holds about half a second of bursts. On a narrow path the buffer is 300 ms
//   and a frame is dropped only when it is nearly spent, a coarser picture first: on 1 Mbit/s
//   the median longest gap fell from 3.1 to 1.2 s against 600 ms and dropping at 60%. On an open
//   path that drops frames at the ceiling, and the longer buffer does not.
void setVp8Path(GstElement* encoder, bool narrow) {
    g_object_set(encoder, "cpu-used", narrow ? 0 : -6, "dropframe-threshold", narrow ? 10 : 60,
                 "buffer-size", narrow ? 300 : 1000, "buffer-initial-size", narrow ? 200 : 500,
                 "buffer-optimal-size", narrow ? 200 : 600, nullptr);
}

}  // namespace

void RateControl::attach(GstElement* encoder, bool h264) {
    h264_ = h264;
    const int kbps = estimator_.kbps();
    if (h264) {
        // A constant-bitrate single pass: the description's first pass writes statistics for
        // the whole call.
        g_object_set(encoder, "pass", 0 /* cbr */, "bitrate", guint(kbps), nullptr);
    } else {
        // Without CBR and frame dropping, vp8enc sends about 1.5 Mbit/s of scrolling text
        // whatever its target; dropping a frame when the budget is spent keeps a narrow path
        // moving. A keyframe of the whole screen is capped at three frames' budget, so that one
        // fits through a narrow path.
        narrow_ = estimator_.narrow();
        g_object_set(encoder, "target-bitrate", gint(kbps * 1000), "end-usage", 1 /* cbr */,
                     "max-intra-bitrate", 300, "overshoot", kVp8OvershootPct, nullptr);
        setVp8Path(encoder, narrow_);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    encoder_ = GST_ELEMENT(gst_object_ref(encoder));
}

void RateControl::release() {
    GstElement* old = nullptr;
    GstStructure* stats = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(old, encoder_);
        std::swap(stats, pending_);
    }
    if (old) {
        gst_object_unref(old);
    }
    if (stats) {
        gst_structure_free(stats);
    }
}

RateControl::~RateControl() {
    release();
}

void RateControl::offerStats(GstStructure* stats) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(stats, pending_);
    }
    if (stats) {
        gst_structure_free(stats);
    }
}

bool RateControl::handleStats(int64_t nowUs) {
    if (ownKeyframeDueUs_ != 0 && nowUs >= ownKeyframeDueUs_) {
        ownKeyframeDueUs_ = 0;
        if (GstElement* enc = encoder()) {
            requestKeyframe(enc);
            gst_object_unref(enc);
            cli_log(LL_DEBUG, "Keyframe sent after heavy loss\n");
        }
    }
    GstStructure* stats = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(stats, pending_);
    }
    if (!stats) {
        return false;
    }
    onStats(stats, nowUs);
    gst_structure_free(stats);
    return true;
}

GstElement* RateControl::encoder() {
    std::lock_guard<std::mutex> lock(mutex_);
    return encoder_ ? GST_ELEMENT(gst_object_ref(encoder_)) : nullptr;
}

void RateControl::requestKeyframe(GstElement* encoder) {
    GstEvent* request = gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0);
    ownKeyframeEvent.store(gst_event_get_seqnum(request));
    if (GstPad* src = gst_element_get_static_pad(encoder, "src")) {
        gst_pad_send_event(src, request);
        gst_object_unref(src);
    } else {
        gst_event_unref(request);
    }
}

void RateControl::onStats(const GstStructure* stats, int64_t nowUs) {
    GstElement* enc = encoder();
    if (!enc) {
        return;
    }
    // What went into the path since the last tick, and how much of it was not the video itself.
    const uint64_t sent = sentBytes_.load(), video = videoBytes_.load();
    const unsigned packets = sentPackets_.load();
    double sentKbps = 0;
    if (lastTickUs_ != 0 && nowUs > lastTickUs_) {
        const double seconds = double(nowUs - lastTickUs_) / 1e6;
        const double bytes = double(sent - lastSentBytes_) +
                             double(kHeaderBytes) * double(packets - lastSentPackets_);
        sentKbps = bytes * 8 / 1000 / seconds;
        const double other =
            std::max(0.0, sentKbps - double(video - lastVideoBytes_) * 8 / 1000 / seconds);
        otherKbps_ = otherKbps_ < 0 ? other : 0.5 * otherKbps_ + 0.5 * other;
    }
    lastTickUs_ = nowUs;
    lastSentBytes_ = sent;
    lastVideoBytes_ = video;
    lastSentPackets_ = packets;

    const TransportFeedback twcc = transportFeedbackOf(stats);
    const VideoReceiverReport report = videoReportOf(stats, videoSsrc_.load());
    PathFeedback f;
    const char* source = nullptr;
    // The same figures as last time: no feedback has arrived since.
    const double transport[kTransportFigures] = {twcc.packets, twcc.lossBeforeRepair,
                                                 twcc.delayGradientMs, twcc.sentKbps,
                                                 twcc.receivedKbps};
    if (twcc.found && !std::equal(transport, transport + kTransportFigures, lastTransport_)) {
        std::copy(transport, transport + kTransportFigures, lastTransport_);
        if (!transportWideSeen_) {
            transportWideSeen_ = true;
            cli_log(LL_INFO, "Transport-wide feedback from the administrator\n");
        }
        source = "transport-wide";
        // The feedback read is the last report's window, a tenth of the tick's packets; the
        // share asked for again covers them all. A policer drops in bursts: either shows it.
        const double requested = retransmissions.takeRequestedShare();
        f.loss = std::max(
            twcc.packets >= BitrateEstimator::kMinLossPackets ? twcc.lossBeforeRepair : 0.0,
            requested);
        f.delayGradientMs = twcc.delayGradientMs;
        f.sentKbps = sentKbps;
        // What arrived over the report's own window. The tick's sent rate scaled by that
        // window's share counted the part of the tick before a policer's bucket ran dry: on a
        // 1 Mbit/s path the cuts landed anywhere from 500 to 1060 kbit/s.
        f.deliveredKbps = twcc.receivedKbps;
        f.rttMs = report.found ? report.rttMs : 0;
    } else if (!transportWideSeen_ && report.found &&
               (report.hasHighestSeq ? !reportSeen_ || report.highestSeq != lastHighestSeq_
                                     : report.rttMs != lastRtt_)) {
        // Without transport-wide feedback, each fresh receiver report; retransmission hides the
        // path's drops from its fraction, the requests show them.
        reportSeen_ = true;
        lastHighestSeq_ = report.highestSeq;
        lastRtt_ = report.rttMs;
        source = "receiver report";
        const double requested = retransmissions.takeRequestedShare();
        f.loss = requested >= 0 ? requested : report.fractionLost;
        f.rttMs = report.rttMs;
        f.sentKbps = sentKbps;
    }
    if (!source) {
        gst_object_unref(enc);
        return;
    }
    const int estimate = estimator_.update(f);
    const int before = target_;
    const double other = std::clamp(otherKbps_, 0.0, estimate * kMaxOtherShare);
    target_ = std::max(BitrateLimits{}.floorKbps, int(estimate - other));
    targetKbps_.store(target_);

    if (estimator_.congested() && nowUs - lastOwnKeyframeUs_ > kOwnKeyframeIntervalUs) {
        // The frames sent into the full path are mostly lost and retransmission cannot bring
        // them all: start the picture again at the lowered rate rather than wait for the
        // browser to give up on them and ask. VP8's waits for the path to drain: sent into the
        // full path it was lost with the rest, and the browser asked two seconds later. x264's
        // goes with the next tick: held back as long, its gap on a capacity step grew from 0.6
        // to 2.2 s.
        lastOwnKeyframeUs_ = nowUs;
        ownKeyframeDueUs_ = nowUs + (h264_ ? 0 : kOwnKeyframeDrainUs);
    }
    if (!h264_ && estimator_.narrow() != narrow_) {
        narrow_ = estimator_.narrow();
        setVp8Path(enc, narrow_);
        cli_log(LL_DEBUG, "VP8 set for a %s path\n", narrow_ ? "narrow" : "open");
    }
    if (target_ != before) {
        if (h264_) {
            g_object_set(enc, "bitrate", guint(target_), nullptr);
        } else {
            g_object_set(enc, "target-bitrate", gint(target_ * 1000), nullptr);
        }
        cli_log(LL_DEBUG,
                "Video bitrate %d -> %d kbit/s (estimate %d, loss %.1f%%, delay gradient %.1f ms, "
                "round trip %.0f ms, sent %.0f kbit/s, delivered %.0f, not video %.0f, from %s)\n",
                before, target_, estimate, f.loss * 100, f.delayGradientMs, f.rttMs, sentKbps,
                f.deliveredKbps, std::max(otherKbps_, 0.0), source);
    }
    gst_object_unref(enc);
}
