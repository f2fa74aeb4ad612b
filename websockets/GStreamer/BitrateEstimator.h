// How much the path carries, in kbit/s, from what the administrator's side says about it: the
// transport-wide feedback when the browser took it (loss before repair and the delay gradient),
// else the receiver reports with the share of packets asked for again. On a full path it backs
// off at once to a little under what arrived, on a path just starting to drop by half the loss;
// it holds after a cut, climbs additively near and above the rate of the last congestion while
// the path is clean and multiplicatively (probing) below it or once the path has plainly
// widened, and never far above what was sent.
// Away from the last congestion steady random loss does not stop the climb; loss that grows as
// the rate does, does. Near it, loss counts only beyond the steady loss learnt below it.
// Pure: the rate control feeds it one update per statistics tick and applies the result.
#pragma once

struct PathFeedback {
    double loss = 0;             // 0..1 of the packets sent, before any repair
    double delayGradientMs = 0;  // mean change of the one-way delay between packets; 0 unknown
    double deliveredKbps = 0;    // what arrived; 0 when unknown
    double sentKbps = 0;         // everything that went into the path meanwhile; 0 when unknown
    double rttMs = 0;            // 0 when unknown
    double packets = 0;          // how many packets the loss is a share of; 0 when unknown
};

struct BitrateLimits {
    int floorKbps = 150;
    int startKbps = 1000;  // then probe upward: a narrow path is not overrun at the start
    int ceilingKbps = 3000;
};

class BitrateEstimator {
public:
    explicit BitrateEstimator(BitrateLimits limits = {});

    // The estimate after this feedback, in kbit/s.
    int update(const PathFeedback& feedback);
    int kbps() const { return int(rate_ + 0.5); }
    // The last feedback showed a full path: the frames sent meanwhile are mostly lost.
    bool congested() const { return congested_; }
    // The path has made the estimate back off within the last kNarrowMemoryReports updates: its
    // limit, not the picture's, holds the bitrate, and each bit is worth encoding time.
    bool narrow() const { return updatesSinceBackOff_ < kNarrowMemoryReports; }
    // Where the path last pushed back; 0 before it has.
    int lastCongestionKbps() const { return int(lastCongestion_ + 0.5); }

    // Below kHoldLoss the path is clean. Up to kBackOffLoss, loss is the path's noise (Wi-Fi,
    // mobile links), which retransmission repairs and a lower rate would not cure; a full path
    // drops everything above its rate, far more than that.
    static constexpr double kHoldLoss = 0.02;
    static constexpr double kBackOffLoss = 0.15;
    // A policer's bucket run dry drops this share and more.
    static constexpr double kFullPathLoss = 0.3;
    // Near the last congestion, loss from this share up eases the estimate off.
    static constexpr double kEaseLoss = 0.05;
    // A still page sends a few packets between two feedback reports: fewer than this, and a
    // share lost tells chance from a full path no better than a coin.
    static constexpr double kMinLossPackets = 10;
    // A queue building up: the delay between packets grows by this much on average, in two
    // updates running (one keyframe's burst alone does not count).
    static constexpr double kOveruseGradientMs = 4;
    static constexpr double kSlowRttMs = 400;
    static constexpr double kCongestedRttMs = 1000;
    // After an overuse the estimate is this share of what arrived (a quarter at most in one go).
    static constexpr double kDeliveredShare = 0.85;
    static constexpr double kDeepestCut = 0.25;
    // What arrived is what the path carries only from a sender at this share of the estimate or
    // more; under it, the cut goes by the loss.
    static constexpr double kFilledShare = 0.5;
    // Updates the estimate holds after a cut, so that the queue drains before it climbs.
    static constexpr int kHoldUpdates = 2;
    // Below kNearShare of the last congestion the climb probes multiplicatively; from there,
    // additively.
    static constexpr double kClimb = 1.08;
    // Before the path has ever pushed back: from the start towards what the picture needs.
    static constexpr double kStartClimb = 1.15;
    // Loss up to kBackOffLoss lets the estimate climb while it rises by no more than this.
    static constexpr double kLossRise = 0.02;
    static constexpr double kNearShare = 0.85;
    // Clean updates that carried the estimate this far above the last congestion mean a wider
    // path: the climb probes again.
    static constexpr double kWidened = 1.5;
    static constexpr double kAdditiveKbps = 50;
    // The estimate stays within this share above what was sent: a clean path says nothing about
    // a rate the sender never tried.
    static constexpr double kHeadroom = 1.25;
    // A minute at one update a second.
    static constexpr int kNarrowMemoryReports = 60;
    // The path's steady loss is learnt where the estimate sits well under the last congestion (or
    // before any), this share of each update at a time. Near that rate, the hold, the easing and
    // the cut count only loss beyond it: random loss there is no sign of the limit, and taking it
    // for one made each chance cut the new ceiling.
    static constexpr double kNoiseWeight = 0.2;
    static constexpr double kNoiseCutMargin = 0.10;

private:
    BitrateLimits limits_;
    double rate_;
    double lastCongestion_ = 0;
    double previousLoss_ = 0;
    double noiseLoss_ = 0;
    bool congested_ = false;
    bool lastCutFull_ = false;
    int hold_ = 0;
    int delayOveruses_ = 0;
    int updatesSinceBackOff_ = kNarrowMemoryReports;
};
