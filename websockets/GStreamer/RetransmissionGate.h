// Which of the administrator's requests for video packets are served again, and the share of the
// packets sent that were asked for, which tells the bitrate control what the path drops.
// Pure and thread-safe: the transport's probes feed it sequence numbers and times.
#pragma once

#include <bitset>
#include <cstdint>
#include <mutex>

class RetransmissionGate {
public:
    // Retransmissions may take up to this share of the target bitrate. On a path that narrows
    // under a call the browser asks again and again for what the path dropped: serving every
    // request sent many times the path's rate for seconds, and no new frame got through.
    static constexpr double kShareOfTarget = 0.3;
    static constexpr double kPacketBytes = 1200;

    // A video packet goes to the transport.
    void sent(uint16_t seqnum);
    // The first packet of a keyframe leaves the payloader: requests for older packets are stale,
    // since the picture starts again from it, and serving them spends what its own packets need.
    void keyframeStarts(uint16_t seqnum);
    // A request for one packet at nowUs (a monotonic clock); true to retransmit it.
    bool request(uint16_t seqnum, int64_t nowUs, int targetKbps);
    // The share of the video packets sent since the last call that were asked for, each counted
    // once: requests for older ones repeat losses counted already. Below 0 when none was sent.
    double takeRequestedShare();

private:
    std::mutex mutex_;
    std::bitset<65536> requested_;
    unsigned requestedPackets_ = 0;
    uint16_t windowStart_ = 0;
    uint32_t lastSent_ = kNone;
    uint32_t keyframe_ = kNone;
    double tokens_ = 0;
    int64_t lastRequestUs_ = 0;
    static constexpr uint32_t kNone = 0x10000;
};
