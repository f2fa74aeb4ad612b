// The one owner of the video encoder's settings during a call. The transport's probes count what
// goes into the path; once a tick the statistics reply is handled on the media object's GLib
// thread: the path's estimate, less what retransmissions, audio, RTCP, the data channel and the
// packets' headers actually take, is the encoder's target. Keyframes of the agent's own after
// heavy loss are paced. Nothing here runs on webrtcbin's thread or under a lock across a call
// into the encoder.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "BitrateEstimator.h"
#include "RetransmissionGate.h"

class RateControl {
public:
    RateControl() = default;
    ~RateControl();
    RateControl(const RateControl&) = delete;
    RateControl& operator=(const RateControl&) = delete;

    // GUI thread, before the pipeline plays: the encoder's starting settings.
    void attach(GstElement* encoder, bool h264);
    // GUI thread, when the session ends; a tick in flight finishes with its own reference.
    void release();

    // Streaming threads.
    void sentToTransport(uint64_t bytes, unsigned packets) {
        sentBytes_.fetch_add(bytes);
        sentPackets_.fetch_add(packets);
    }
    void videoPacket(uint32_t ssrc, uint64_t bytes) {
        videoSsrc_.store(ssrc);
        videoBytes_.fetch_add(bytes);
    }
    // A retransmission request for one packet: true to serve it.
    bool retransmit(uint16_t seqnum, int64_t nowUs) {
        return retransmissions.request(seqnum, nowUs, targetKbps_.load());
    }

    // webrtcbin's thread hands the reply to "get-stats" over (owned) ...
    void offerStats(GstStructure* stats);
    // ... and the GLib thread's next tick takes it: true if there was one.
    bool handleStats(int64_t nowUs);
    // The reply's handling itself.
    void onStats(const GstStructure* stats, int64_t nowUs);

    RetransmissionGate retransmissions;
    // Set by the encoder's probe on a keyframe, taken by the payloader's on its first packet.
    std::atomic<bool> keyframeStarting{false};
    // The keyframe the agent asks for itself, so the administrator's log line is not written.
    std::atomic<uint32_t> ownKeyframeEvent{GST_SEQNUM_INVALID};

    // No keyframe of the agent's own sooner than this after another: each is several frames'
    // worth, sent into a path that has just shown it is full.
    static constexpr int64_t kOwnKeyframeIntervalUs = 2500000;
    // VP8's waits this long for the path to drain at the lowered rate: the frames and the
    // retransmissions still in flight at the old one go first.
    static constexpr int64_t kOwnKeyframeDrainUs = 500000;
    // IPv4 and UDP headers, which the transport's byte count does not see.
    static constexpr int kHeaderBytes = 28;
    // At most this share of the estimate is left to what is not the video: a burst of
    // retransmissions served at the previous rate must not starve the encoder.
    static constexpr double kMaxOtherShare = 0.4;
    // libvpx's overshoot of its target, in per cent, as real-time senders set it.
    static constexpr int kVp8OvershootPct = 15;

private:
    GstElement* encoder();  // a reference, or null once released
    void requestKeyframe(GstElement* encoder);

    std::mutex mutex_;  // guards encoder_ and pending_ only
    GstElement* encoder_ = nullptr;
    GstStructure* pending_ = nullptr;
    bool h264_ = false;

    std::atomic<uint64_t> sentBytes_{0};
    std::atomic<unsigned> sentPackets_{0};
    std::atomic<uint64_t> videoBytes_{0};
    std::atomic<uint32_t> videoSsrc_{0};
    std::atomic<int> targetKbps_{BitrateLimits{}.startKbps};

    // The GLib thread's own.
    BitrateEstimator estimator_;
    int target_ = BitrateLimits{}.startKbps;
    bool narrow_ = false;
    int64_t lastTickUs_ = 0;
    uint64_t lastSentBytes_ = 0, lastVideoBytes_ = 0;
    unsigned lastSentPackets_ = 0;
    double otherKbps_ = -1;  // smoothed: what is not the encoder's video
    static constexpr int kTransportFigures = 5;
    double lastTransport_[kTransportFigures] = {-1, -1, -1, -1, -1};
    bool transportWideSeen_ = false;
    bool reportSeen_ = false;
    uint32_t lastHighestSeq_ = 0;
    double lastRtt_ = -1;
    int64_t lastOwnKeyframeUs_ = 0;
    int64_t ownKeyframeDueUs_ = 0;
};
