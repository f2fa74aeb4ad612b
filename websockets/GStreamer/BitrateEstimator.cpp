#include "BitrateEstimator.h"

#include <algorithm>

BitrateEstimator::BitrateEstimator(BitrateLimits limits)
    : limits_(limits), rate_(std::clamp(limits.startKbps, limits.floorKbps, limits.ceilingKbps)) {}

int BitrateEstimator::update(const ReceiverReport& report) {
    const double loss = std::clamp(report.fractionLost, 0.0, 1.0);
    if (loss > kBackOffLoss) {
        // A full path drops what exceeds it: fall back in proportion to what was lost.
        rate_ *= 1.0 - 0.5 * loss;
    } else if (report.rttMs > kCongestedRttMs) {
        // Queues filling up somewhere on the way.
        rate_ *= 0.85;
    } else if (loss < kHoldLoss && report.rttMs <= kSlowRttMs) {
        rate_ = std::max(rate_ * 1.08, rate_ + 10);
    }
    rate_ = std::clamp(rate_, double(limits_.floorKbps), double(limits_.ceilingKbps));
    return kbps();
}
