#include "RetransmissionGate.h"

#include <algorithm>

namespace {

// Sequence numbers wrap: a is before b when b is less than half the space ahead.
bool before(uint16_t a, uint16_t b) {
    const uint16_t ahead = uint16_t(b - a);
    return ahead != 0 && ahead < 0x8000;
}

}  // namespace

void RetransmissionGate::sent(uint16_t seqnum) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lastSent_ == kNone) {
        windowStart_ = seqnum;  // the stream starts at a random number
    }
    lastSent_ = seqnum;
}

void RetransmissionGate::keyframeStarts(uint16_t seqnum) {
    std::lock_guard<std::mutex> lock(mutex_);
    keyframe_ = seqnum;
}

bool RetransmissionGate::request(uint16_t seqnum, int64_t nowUs, int targetKbps) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!before(seqnum, windowStart_) && !requested_.test(seqnum)) {
        requested_.set(seqnum);
        ++requestedPackets_;
    }
    if (keyframe_ != kNone && before(seqnum, uint16_t(keyframe_))) {
        return false;
    }
    const double perSecond = std::max(targetKbps, 0) * 1000.0 / 8 / kPacketBytes * kShareOfTarget;
    tokens_ = lastRequestUs_ == 0
                  ? perSecond
                  : std::min(perSecond, tokens_ + perSecond * double(nowUs - lastRequestUs_) / 1e6);
    lastRequestUs_ = nowUs;
    if (tokens_ < 1) {
        return false;
    }
    tokens_ -= 1;
    return true;
}

double RetransmissionGate::takeRequestedShare() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lastSent_ == kNone) {
        return -1;
    }
    const unsigned sentPackets = uint16_t(lastSent_ - windowStart_ + 1);
    const double share = sentPackets == 0 ? -1 : double(requestedPackets_) / sentPackets;
    requested_.reset();
    requestedPackets_ = 0;
    windowStart_ = uint16_t(lastSent_ + 1);
    return share;
}
