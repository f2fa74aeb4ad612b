#include "BitrateEstimator.h"

#include <algorithm>

BitrateEstimator::BitrateEstimator(BitrateLimits limits)
    : limits_(limits), rate_(std::clamp(limits.startKbps, limits.floorKbps, limits.ceilingKbps)) {}

int BitrateEstimator::update(const ReceiverReport& report) {
    const double reported = std::clamp(report.fractionLost, 0.0, 1.0);
    // What the path drops decides the back-off; the climb waits for clean reports as well.
    const double loss =
        report.requestedShare >= 0 ? std::min(report.requestedShare, 1.0) : reported;
    if (loss > kBackOffLoss) {
        // A full path drops what exceeds it: what still arrived is about what it carries.
        const double carried = report.sentKbps * (1.0 - loss) * kDeliveredShare;
        rate_ = carried > 0 ? std::clamp(carried, rate_ * 0.5, rate_) : rate_ * (1.0 - 0.5 * loss);
    } else if (report.rttMs > kCongestedRttMs) {
        // Queues filling up somewhere on the way.
        rate_ *= 0.85;
    } else if (reported < kHoldLoss && report.rttMs <= kSlowRttMs) {
        rate_ = std::max(rate_ * 1.08, rate_ + 10);
    }
    rate_ = std::clamp(rate_, double(limits_.floorKbps), double(limits_.ceilingKbps));
    return kbps();
}
