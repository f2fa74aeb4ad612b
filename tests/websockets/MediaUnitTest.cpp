// The media library's parts that need no call: the bitrate estimator, the retransmission gate
// and incoming playback.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "BitrateEstimator.h"
#include "IncomingMedia.h"
#include "RetransmissionGate.h"

namespace {

struct Row {
    const char* name;
    std::vector<ReceiverReport> reports;  // {lost, round trip ms, sent kbit/s, asked again}
    int expectedKbps;
    bool congested = false;  // the last report asks for a keyframe of the agent's own
};

// Floor 150, start 2500, ceiling 3000 kbit/s.
const Row kRows[] = {
    {"a clean path climbs by 8% a report", {{0, 20}, {0, 20}}, 2916},
    {"and stops at the ceiling", std::vector<ReceiverReport>(10, {0, 20}), 3000},
    {"random loss up to 15% holds", {{0.03, 20}, {0.12, 20}, {0.15, 20}}, 2500},
    {"1% loss is clean", {{0.01, 20}}, 2700},
    {"heavy loss backs off by half of it", {{0.4, 20}}, 2000, true},
    {"a policed path falls to the floor", std::vector<ReceiverReport>(30, {0.5, 20}), 150, true},
    {"a slow round trip does not climb", {{0, 600}}, 2500},
    {"a congested round trip backs off", {{0, 1500}}, 2125},
    {"nonsense loss is clamped", {{7.0, 20}, {-3.0, 20}}, 1350},
    {"recovers after congestion", {{0.5, 20}, {0.5, 20}, {0, 20}, {0, 20}}, 1640},
    {"heavy loss falls to 3/4 of what arrived", {{0.2, 20, 3000}}, 1800, true},
    {"but to a quarter at most in one report", {{0.9, 20, 3000}}, 625, true},
    {"a path narrowed to 1 Mbit/s is found in one report", {{0.6, 20, 2500}, {0, 20, 750}}, 810},
    {"an encoder sending well under its target does not climb", {{0, 20, 1000}}, 2500},
    {"nor a quarter above what it sent", {{0, 20, 2100}}, 2625},
    {"packets asked for again are loss the reports hide", {{0, 20, 0, 0.4}}, 2000, true},
    {"but as noise they do not stop the climb", {{0, 20, 0, 0.1}}, 2700},
    {"nor does a report's spike back off alone", {{0.21, 20, 3000, 0.08}}, 2500},
};

TEST(BitrateEstimator, FollowsTheReceiverReports) {
    for (const Row& row : kRows) {
        BitrateEstimator e;
        int kbps = e.kbps();
        for (const ReceiverReport& r : row.reports) {
            kbps = e.update(r);
        }
        EXPECT_EQ(kbps, row.expectedKbps) << row.name;
        EXPECT_EQ(e.congested(), row.congested) << row.name;
    }
}

// Encoding time is spent on compression for a minute after the path last pushed back.
TEST(BitrateEstimator, RemembersANarrowPathForAMinute) {
    const ReceiverReport clean{0, 20}, heavyLoss{0.5, 20}, randomLoss{0.1, 20}, slow{0, 1500};
    const struct {
        const char* name;
        ReceiverReport first;
        int cleanAfter;
        bool narrow;
    } rows[] = {
        {"a clean path is open", clean, 0, false},
        {"random loss is not the path's limit", randomLoss, 0, false},
        {"heavy loss is", heavyLoss, 0, true},
        {"and a congested round trip", slow, 0, true},
        {"remembered for 59 clean reports", heavyLoss, 59, true},
        {"forgotten at the 60th", heavyLoss, 60, false},
    };
    for (const auto& row : rows) {
        BitrateEstimator e;
        e.update(row.first);
        for (int i = 0; i < row.cleanAfter; ++i) {
            e.update(clean);
        }
        EXPECT_EQ(e.narrow(), row.narrow) << row.name;
    }
}

// At 1000 kbit/s the budget is 31.25 packets a second.
TEST(RetransmissionGate, ServesFreshRequestsWithinTheBudget) {
    RetransmissionGate gate;
    const auto served = [&gate](int first, int count, int64_t atUs) {
        int n = 0;
        for (int seq = first; seq < first + count; ++seq) {
            n += gate.request(uint16_t(seq), atUs, 1000);
        }
        return n;
    };
    EXPECT_EQ(served(0, 40, 1000000), 31) << "a burst takes the second's budget";
    EXPECT_EQ(served(40, 20, 1500000), 15) << "which refills with time";
    EXPECT_EQ(served(60, 40, 9000000), 31) << "up to a second's worth";

    gate.keyframeStarts(200);
    EXPECT_EQ(served(150, 50, 20000000), 0) << "what came before a keyframe is stale";
    EXPECT_EQ(served(200, 5, 20000000), 5) << "and spent nothing";
    gate.keyframeStarts(3);
    EXPECT_EQ(served(65530, 6, 30000000), 0) << "across the wrap";
    EXPECT_EQ(served(3, 2, 30000000), 2);
}

TEST(RetransmissionGate, CountsEachPacketAskedForOnceInItsWindow) {
    RetransmissionGate gate;
    EXPECT_LT(gate.takeRequestedShare(), 0) << "nothing sent";
    for (int seq = 65530; seq <= 65535 + 10; ++seq) {
        gate.sent(uint16_t(seq));
    }
    for (uint16_t seq : {65533, 65533, 2, 2, 2}) {
        gate.request(seq, 1000000, 1000);
    }
    EXPECT_DOUBLE_EQ(gate.takeRequestedShare(), 2.0 / 16) << "65530 to 9, two asked for";
    EXPECT_LT(gate.takeRequestedShare(), 0) << "none sent since";
    gate.sent(29);
    for (uint16_t seq : {2, 9, 10, 15, 15}) {
        gate.request(seq, 2000000, 1000);
    }
    EXPECT_DOUBLE_EQ(gate.takeRequestedShare(), 2.0 / 20) << "10 to 29; 2 and 9 were counted";
}

// A missing plug-in leaves the stream alone and the pipeline as it was.
TEST(IncomingMedia, MissingPluginLeavesStreamUnhandled) {
    gst_init(nullptr, nullptr);
    for (const auto& [convert, sink] :
         {std::pair{"videoconvert", "nosuchsink"}, std::pair{"nosuchconvert", "fakesink"}}) {
        GstBin* bin = GST_BIN(gst_object_ref_sink(gst_pipeline_new(nullptr)));
        GstElement* source = gst_element_factory_make("videotestsrc", nullptr);
        gst_bin_add(bin, source);
        GstPad* pad = gst_element_get_static_pad(source, "src");
        EXPECT_FALSE(handleMediaStream(pad, bin, convert, sink)) << convert;
        EXPECT_EQ(GST_BIN_NUMCHILDREN(bin), 1);
        EXPECT_FALSE(gst_pad_is_linked(pad));
        gst_object_unref(pad);
        gst_object_unref(bin);
    }
}

}  // namespace
