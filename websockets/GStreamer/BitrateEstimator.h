// The video encoder's target bitrate from the administrator's receiver reports: a loss-based
// controller (back off on heavy loss or a long round trip, creep up on a clean path) between a
// floor and a ceiling. On heavy loss it falls at once to a little under what the path carried
// (to a quarter at most): a path that narrows is found in one report, not driven to the floor.
// It climbs only as far as the encoder's own sending has shown the path to carry.
// Pure: the pipeline only feeds it reports and applies what it returns.
#pragma once

struct ReceiverReport {
    double fractionLost = 0;  // 0..1, since the previous report
    double rttMs = 0;         // 0 when unknown
    double sentKbps = 0;      // what the agent sent into the path meanwhile; 0 when unknown
    // The share of the video packets sent meanwhile that the receiver asked for again; below 0
    // when unknown. Retransmission hides loss from the reports' fraction, which also swings with
    // their short intervals; the requests show what the path drops.
    double requestedShare = -1;
};

struct BitrateLimits {
    int floorKbps = 150;
    int startKbps = 2500;  // about what scrolling text needs at 1920x1080 and 10 frames/s
    int ceilingKbps = 3000;
};

class BitrateEstimator {
public:
    explicit BitrateEstimator(BitrateLimits limits = {});

    // The target after this report, in kbit/s.
    int update(const ReceiverReport& report);
    int kbps() const { return int(rate_ + 0.5); }
    // The last report showed a full path: the frames sent meanwhile are mostly lost.
    bool congested() const { return congested_; }
    // The path has made the target back off within the last kNarrowMemoryReports reports: its
    // limit, not the picture's, holds the bitrate, and each bit is worth encoding time.
    bool narrow() const { return reportsSinceBackOff_ < kNarrowMemoryReports; }

    // Below kHoldLoss the path is clean. Up to kBackOffLoss, loss is taken as the path's noise
    // (Wi-Fi, mobile links), which retransmission repairs and a lower bitrate would not cure; a
    // full path loses far more than that, since it drops everything above its rate.
    static constexpr double kHoldLoss = 0.02;
    static constexpr double kBackOffLoss = 0.15;
    static constexpr double kSlowRttMs = 400;
    static constexpr double kCongestedRttMs = 1000;
    // The share of what arrived that the encoder gets after heavy loss: the rest is left for
    // retransmissions, audio and the path's own variation.
    static constexpr double kDeliveredShare = 0.75;
    static constexpr double kDeepestCut = 0.25;
    static constexpr double kClimb = 1.08;
    // The climb's target stays within this share above what was sent.
    static constexpr double kHeadroom = 1.25;
    // A minute at the reports' once a second: a narrow path shows its limit again well within
    // that as the target climbs back to it.
    static constexpr int kNarrowMemoryReports = 60;

private:
    BitrateLimits limits_;
    double rate_;
    bool congested_ = false;
    int reportsSinceBackOff_ = kNarrowMemoryReports;
};
