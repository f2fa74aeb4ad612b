#include "BitrateEstimator.h"

#include <algorithm>

BitrateEstimator::BitrateEstimator(BitrateLimits limits)
    : limits_(limits), rate_(std::clamp(limits.startKbps, limits.floorKbps, limits.ceilingKbps)) {}

int BitrateEstimator::update(const ReceiverReport& report) {
    const double reported = std::clamp(report.fractionLost, 0.0, 1.0);
    // What the path drops decides the back-off; the climb waits for clean reports as well.
    const double loss =
        report.requestedShare >= 0 ? std::min(report.requestedShare, 1.0) : reported;
    congested_ = loss > kBackOffLoss;
    reportsSinceBackOff_ = std::min(reportsSinceBackOff_ + 1, kNarrowMemoryReports);
    if (congested_) {
        reportsSinceBackOff_ = 0;
        // A full path drops what exceeds it: what still arrived is about what it carries.
        const double arrived = std::max(report.sentKbps, 0.0) * (1.0 - loss);
        rate_ = arrived > 0 ? std::clamp(arrived * kDeliveredShare, rate_ * kDeepestCut, rate_)
                            : rate_ * (1.0 - 0.5 * loss);
    } else if (report.rttMs > kCongestedRttMs) {
        // Queues filling up somewhere on the way.
        reportsSinceBackOff_ = 0;
        rate_ *= 0.85;
    } else if (reported < kHoldLoss && report.rttMs <= kSlowRttMs) {
        double next = std::max(rate_ * kClimb, rate_ + 10);
        // A clean report while the encoder sends well under its target says nothing about
        // more: a target climbed that way is spent all at once when the picture gets busy.
        if (report.sentKbps > 0) {
            next = std::min(next, std::max(rate_, report.sentKbps * kHeadroom));
        }
        rate_ = next;
    }
    rate_ = std::clamp(rate_, double(limits_.floorKbps), double(limits_.ceilingKbps));
    return kbps();
}
