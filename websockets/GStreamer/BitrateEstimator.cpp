#include "BitrateEstimator.h"

#include <algorithm>

BitrateEstimator::BitrateEstimator(BitrateLimits limits)
    : limits_(limits), rate_(std::clamp(limits.startKbps, limits.floorKbps, limits.ceilingKbps)) {}

int BitrateEstimator::update(const PathFeedback& f) {
    const double loss = std::clamp(f.loss, 0.0, 1.0);
    const double backOffLoss = std::max(kBackOffLoss, noiseLoss_ + kNoiseCutMargin);
    // At the easing's floor too (1% over it, for rounding): loss that stays there is steady.
    const bool learnsNoise =
        hold_ == 0 && (lastCongestion_ <= 0 || rate_ <= lastCongestion_ * kNearShare * 1.01);
    delayOveruses_ = f.delayGradientMs > kOveruseGradientMs ? delayOveruses_ + 1 : 0;
    congested_ = loss > backOffLoss && (f.packets <= 0 || f.packets >= kMinLossPackets);
    const bool queueing = delayOveruses_ >= 2 || f.rttMs > kCongestedRttMs;
    const bool overuse = congested_ || queueing;
    // The update right after a cut to what arrived reports the overrun's tail: frames the encoder
    // sent before it took the new target, and the repairs of what the overrun lost. Cutting on
    // that loss again took the estimate to half the path, or to the floor. After a cut by half
    // the loss it counts: those may have been a policer's first drops.
    const bool aftermath = hold_ == kHoldUpdates && lastCutFull_ && !queueing;
    updatesSinceBackOff_ = overuse ? 0 : std::min(updatesSinceBackOff_ + 1, kNarrowMemoryReports);
    if (overuse && !aftermath) {
        hold_ = kHoldUpdates;
        // What still arrived is about what the path carries, if the sender filled it: from a
        // sender at under half the estimate (an encoder refilling its buffer after a keyframe)
        // it is only what was sent, and cutting to it took the estimate to the floor.
        const bool filled = f.sentKbps <= 0 || f.sentKbps >= rate_ * kFilledShare;
        // Loss over the threshold but short of a full path's is a policer's first drops or a
        // chance report of random loss: half of it comes off. Cutting to what arrived took a
        // chance report of 17% among 10% random loss from 3000 to 1549 kbit/s.
        const bool full = !congested_ || queueing || loss >= kFullPathLoss;
        lastCutFull_ = full;
        const double delivered = !filled || !full      ? 0
                                 : f.deliveredKbps > 0 ? f.deliveredKbps
                                                       : std::max(f.sentKbps, 0.0) * (1.0 - loss);
        lastCongestion_ = delivered > 0 ? delivered : rate_;
        rate_ = delivered > 0 ? std::clamp(delivered * kDeliveredShare, rate_ * kDeepestCut, rate_)
                              : rate_ * (congested_ ? 1.0 - 0.5 * loss : kDeliveredShare);
    } else if (hold_ > 0) {
        --hold_;
    } else if (const bool near = lastCongestion_ > 0 && rate_ >= lastCongestion_ * kNearShare &&
                                 rate_ <= lastCongestion_ * kWidened;
               near && loss >= noiseLoss_ + kEaseLoss) {
        // Just over the rate where the path last gave way: a policer's first drops. Easing off
        // now keeps its bucket from emptying, which would lose every packet for a second.
        rate_ = std::max(rate_ * (1.0 - 0.5 * loss), lastCongestion_ * kNearShare);
    } else if (loss <= backOffLoss && (loss < kHoldLoss || loss <= previousLoss_ + kLossRise) &&
               f.rttMs <= kSlowRttMs && f.delayGradientMs <= 0.5) {
        // Loss that stays the same as the rate goes up is the path's noise; loss that grows with
        // it is a limit being reached, and the climb waits. Near the rate of the last
        // congestion, and above it until the path has plainly widened, any loss beyond the
        // path's steady loss is that limit.
        const double climb = lastCongestion_ > 0 ? kClimb : kStartClimb;
        double next = !near                           ? std::max(rate_ * climb, rate_ + 10)
                      : loss < noiseLoss_ + kHoldLoss ? rate_ + kAdditiveKbps
                                                      : rate_;
        // A clean path while the encoder sends well under the estimate says nothing about more.
        if (f.sentKbps > 0) {
            next = std::min(next, std::max(rate_, f.sentKbps * kHeadroom));
        }
        rate_ = next;
    }
    if (learnsNoise && !overuse) {
        noiseLoss_ += kNoiseWeight * (std::min(loss, kBackOffLoss) - noiseLoss_);
    }
    previousLoss_ = loss;
    rate_ = std::clamp(rate_, double(limits_.floorKbps), double(limits_.ceilingKbps));
    return kbps();
}
