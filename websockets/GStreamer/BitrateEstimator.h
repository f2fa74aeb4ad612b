// The video encoder's target bitrate from the administrator's receiver reports: a loss-based
// controller (back off on heavy loss or a long round trip, creep up on a clean path) between a
// floor and a ceiling. Pure: the pipeline only feeds it reports and applies what it returns.
#pragma once

struct ReceiverReport {
    double fractionLost = 0;  // 0..1, since the previous report
    double rttMs = 0;         // 0 when unknown
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

    // Below kHoldLoss the path is clean. Up to kBackOffLoss, loss is taken as the path's noise
    // (Wi-Fi, mobile links), which retransmission repairs and a lower bitrate would not cure; a
    // full path loses far more than that, since it drops everything above its rate.
    static constexpr double kHoldLoss = 0.02;
    static constexpr double kBackOffLoss = 0.15;
    static constexpr double kSlowRttMs = 400;
    static constexpr double kCongestedRttMs = 1000;

private:
    BitrateLimits limits_;
    double rate_;
};
