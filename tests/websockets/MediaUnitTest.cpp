// The media library's parts that need no call: the path estimate and the encoder's budget fed
// with feedback sequences, the reading of webrtcbin's statistics, the retransmission gate and
// incoming playback.
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "BitrateEstimator.h"
#include "Feedback.h"
#include "IncomingMedia.h"
#include "RateControl.h"
#include "RetransmissionGate.h"

namespace {

// {loss before repair, delay gradient ms, delivered kbit/s, sent kbit/s, round trip ms, packets}
using Feed = std::vector<PathFeedback>;
const PathFeedback kClean{0, 0, 0, 0, 20};

Feed operator+(Feed a, const Feed& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Feed times(int n, const PathFeedback& f) {
    return Feed(size_t(n), f);
}

struct Row {
    const char* name;
    Feed feed;
    int expectedKbps;
    bool congested = false;  // the last update asks for a keyframe of the agent's own
};

// Floor 150, start 1000, ceiling 3000 kbit/s.
const Row kRows[] = {
    {"from the start a clean path probes upward by 15% an update", times(2, kClean), 1323},
    {"up to the ceiling", times(20, kClean), 3000},
    {"but not far above what was sent", {{0, 0, 0, 600, 20}, {0, 0, 0, 1000, 20}}, 1150},
    {"loss up to 15% before repair that grows with the rate holds", {{0.03}, {0.10}, {0.15}}, 1000},
    {"steady random loss of 10% neither cuts nor stops the climb", times(60, {0.10}), 3000},
    {"policer onset: 15% under what arrived", times(20, kClean) + Feed{{0.6, 0, 1000, 2500, 20}},
     850, true},
    {"but a quarter at most in one update", times(20, kClean) + Feed{{0.9, 0, 300, 3000, 20}}, 750,
     true},
    {"without delivery figures, half the loss", {{0.4}}, 800, true},
    {"and so from a sender well under the estimate", {{0.4, 0, 200, 250, 20}}, 800, true},
    {"but not on a still page's few packets", {{0.25, 0, 0, 0, 20, 6}}, 1000},
    {"after a cut the estimate holds two updates",
     times(20, kClean) + Feed{{0.6, 0, 1000, 2500, 20}} + times(2, kClean), 850},
    {"and does not cut again on the overrun's tail in the next",
     times(20, kClean) + Feed{{0.6, 0, 1000, 2500, 20}, {0.5, 0, 400, 900, 20}}, 850, true},
    {"then climbs additively near the rate of the congestion",
     times(20, kClean) + Feed{{0.6, 0, 1000, 2500, 20}} + times(4, kClean), 950},
    {"near it, even steady loss stops the climb",
     times(20, kClean) + Feed{{0.6, 0, 1000, 2500, 20}} + times(4, kClean) + times(2, {0.03}), 950},
    {"and from 5% eases it off, to no less than 85% of that rate",
     times(20, kClean) + Feed{{0.6, 0, 1000, 2500, 20}} + times(4, kClean) + times(3, {0.10}), 850},
    {"short of a full path's loss, half of it off",
     times(20, {0.10}) + Feed{{0.2, 0, 1800, 3000, 20}}, 2700, true},
    {"and if it was a policer's first drops, the next update cuts to what arrived",
     times(20, {0.10}) + Feed{{0.2, 0, 1800, 3000, 20}, {0.5, 0, 1000, 2700, 20}}, 850, true},
    {"but with steady random loss, a chance cut does not become the ceiling",
     times(20, {0.10}) + Feed{{0.3, 0, 2000, 2500, 20}} + times(8, {0.10}), 2000},
    {"capacity step 3 -> 1 -> 3 Mbit/s: additive above the rate of the congestion",
     times(20, kClean) + Feed{{0.66, 0, 1000, 3000, 20}} + times(12, kClean), 1350},
    {"until the path has plainly widened, then probing",
     times(20, kClean) + Feed{{0.66, 0, 1000, 3000, 20}} + times(17, kClean), 1674},
    {"a keyframe's burst (one update of growing delay) does not cut",
     {{0, 8, 900, 1000, 20}},
     1000},
    {"a queue growing over two updates does", {{0, 8, 900, 1000, 20}, {0, 8, 900, 1000, 20}}, 765},
    {"a congested round trip backs off", {{0, 0, 0, 0, 1500}}, 850},
    {"a slow one does not climb", {{0, 0, 0, 0, 600}}, 1000},
    {"nonsense loss is clamped", {{7.0}, {-3.0}}, 500, false},
};

TEST(BitrateEstimator, FollowsThePathFeedback) {
    for (const Row& row : kRows) {
        BitrateEstimator e;
        int kbps = e.kbps();
        for (const PathFeedback& f : row.feed) {
            kbps = e.update(f);
        }
        EXPECT_EQ(kbps, row.expectedKbps) << row.name;
        EXPECT_EQ(e.congested(), row.congested) << row.name;
    }
}

// Encoding time is spent on compression for a minute after the path last pushed back.
TEST(BitrateEstimator, RemembersANarrowPathForAMinute) {
    const PathFeedback heavyLoss{0.5}, randomLoss{0.1}, slow{0, 0, 0, 0, 1500};
    const struct {
        const char* name;
        PathFeedback first;
        int cleanAfter;
        bool narrow;
    } rows[] = {
        {"a clean path is open", kClean, 0, false},
        {"random loss is not the path's limit", randomLoss, 0, false},
        {"heavy loss is", heavyLoss, 0, true},
        {"and a congested round trip", slow, 0, true},
        {"remembered for 59 clean updates", heavyLoss, 59, true},
        {"forgotten at the 60th", heavyLoss, 60, false},
    };
    for (const auto& row : rows) {
        BitrateEstimator e;
        e.update(row.first);
        for (int i = 0; i < row.cleanAfter; ++i) {
            e.update(kClean);
        }
        EXPECT_EQ(e.narrow(), row.narrow) << row.name;
    }
}

// A "get-stats" reply as webrtcbin 1.22 builds it, with what the test gives.
struct Stats {
    GstStructure* s = gst_structure_new_empty("application/x-webrtc-stats");
    ~Stats() { gst_structure_free(s); }
    void add(const char* id, GstStructure* entry) {
        gst_structure_set(s, id, GST_TYPE_STRUCTURE, entry, nullptr);
        gst_structure_free(entry);
    }
    Stats& transport(guint sent, double lossPct, gint64 gradientNs, guint sentBps, guint recvBps) {
        GstStructure* twcc = gst_structure_new(
            "RTPTWCCStats", "packets-sent", G_TYPE_UINT, sent, "packets-recv", G_TYPE_UINT,
            guint(sent * (1 - lossPct / 100)), "bitrate-sent", G_TYPE_UINT, sentBps, "bitrate-recv",
            G_TYPE_UINT, recvBps, "packet-loss-pct", G_TYPE_DOUBLE, lossPct, "avg-delta-of-delta",
            G_TYPE_INT64, gradientNs, nullptr);
        GstStructure* t = gst_structure_new("transport", "type", GST_TYPE_WEBRTC_STATS_TYPE,
                                            GST_WEBRTC_STATS_TRANSPORT, nullptr);
        gst_structure_set(t, "gst-twcc-stats", GST_TYPE_STRUCTURE, twcc, nullptr);
        gst_structure_free(twcc);
        add("ice-candidate-pair_nice0", t);
        return *this;
    }
    Stats& report(guint ssrc, double lost, double rttS, int highestSeq) {
        GstStructure* r = gst_structure_new("remote-inbound", "type", GST_TYPE_WEBRTC_STATS_TYPE,
                                            GST_WEBRTC_STATS_REMOTE_INBOUND_RTP, "ssrc",
                                            G_TYPE_UINT, ssrc, "fraction-lost", G_TYPE_DOUBLE, lost,
                                            "round-trip-time", G_TYPE_DOUBLE, rttS, nullptr);
        if (highestSeq >= 0) {
            GstStructure* source =
                gst_structure_new("application/x-rtp-source-stats", "rb-exthighestseq", G_TYPE_UINT,
                                  guint(highestSeq), nullptr);
            gst_structure_set(r, "gst-rtpsource-stats", GST_TYPE_STRUCTURE, source, nullptr);
            gst_structure_free(source);
        }
        add(("rtp-remote-inbound-stream-stats_" + std::to_string(ssrc)).c_str(), r);
        return *this;
    }
};

TEST(Feedback, ReadsTransportWideFeedbackAndTheVideoReport) {
    gst_init(nullptr, nullptr);
    Stats st;
    st.transport(200, 12.5, 3000000, 1500000, 1200000).report(7, 0.25, 0.04, 70000);
    st.report(8, 0.5, 0.5, 9);
    st.add("garbage", gst_structure_new("x", "type", G_TYPE_STRING, "transport", "fraction-lost",
                                        G_TYPE_STRING, "a lot", nullptr));
    const TransportFeedback t = transportFeedbackOf(st.s);
    EXPECT_TRUE(t.found);
    EXPECT_DOUBLE_EQ(t.lossBeforeRepair, 0.125);
    EXPECT_DOUBLE_EQ(t.delayGradientMs, 3);
    EXPECT_DOUBLE_EQ(t.sentKbps, 1500);
    EXPECT_DOUBLE_EQ(t.receivedKbps, 1200);
    const VideoReceiverReport r = videoReportOf(st.s, 7);
    EXPECT_TRUE(r.found && r.hasHighestSeq) << "the report about the video's own SSRC";
    EXPECT_DOUBLE_EQ(r.fractionLost, 0.25);
    EXPECT_DOUBLE_EQ(r.rttMs, 40);
    EXPECT_EQ(r.highestSeq, 70000u);
    EXPECT_FALSE(videoReportOf(st.s, 9).found) << "no report about that SSRC";

    Stats empty;
    empty.transport(0, 0, 0, 0, 0).report(7, 0.1, 0.01, -1);
    EXPECT_FALSE(transportFeedbackOf(empty.s).found) << "no feedback yet";
    EXPECT_FALSE(videoReportOf(empty.s, 7).hasHighestSeq);
    EXPECT_FALSE(transportFeedbackOf(nullptr).found);
}

// The encoder's target is the estimate less what is not its video (retransmissions, audio, RTCP,
// the data channel, headers), as the transport counted it; VP8's own keyframes after heavy loss
// wait for the path to drain and come no more than once in 2.5 s; without transport-wide
// feedback, each fresh receiver report (a new highest sequence number) counts once.
TEST(RateControl, BudgetsTheEncoderWithinTheEstimate) {
    gst_init(nullptr, nullptr);
    GstElement* vp8 = GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("vp8enc", nullptr)));
    const auto target = [vp8] {
        gint bps = 0;
        g_object_get(vp8, "target-bitrate", &bps, nullptr);
        return bps / 1000;
    };
    {
        RateControl rc;
        rc.attach(vp8, false);
        EXPECT_EQ(target(), 1000) << "the start";
        rc.onStats(Stats().transport(100, 0, 0, 900000, 900000).s, 1000000);
        EXPECT_EQ(target(), 1150) << "probing up; nothing measured yet";
        // One second: 125,000 bytes in 100 packets went out (1022.4 kbit/s with the headers),
        // 87,500 of them the encoder's video (700 kbit/s).
        rc.sentToTransport(125000, 100);
        rc.videoPacket(7, 87500);
        rc.onStats(Stats().transport(110, 0, 0, 900000, 900000).s, 2000000);
        EXPECT_EQ(target(), 955)
            << "the estimate (a quarter above what went out: 1278) less the 322.4 kbit/s not video";

        // Heavy loss in each second's statistics from 3 s, a tick every quarter second; + where
        // a keyframe went.
        std::string keyframes;
        for (int64_t at = 3000000; at <= 6500000; at += 250000) {
            const uint32_t before = rc.ownKeyframeEvent.load();
            if (at % 1000000 == 0) {
                Stats stats;
                stats.transport(unsigned(at / 1000), 50, 0, 1000000, 500000);
                rc.offerStats(gst_structure_copy(stats.s));
            }
            rc.handleStats(at);
            keyframes += rc.ownKeyframeEvent.load() != before ? '+' : '-';
        }
        EXPECT_EQ(keyframes, "--+-----------+") << "half a second after the cut, and 2.5 s apart";
    }
    {
        RateControl rc;
        rc.attach(vp8, false);
        rc.videoPacket(7, 0);
        const int reports[][2] = {{100, 1150}, {100, 1150}, {150, 1323}, {150, 1323}};
        int64_t at = 1000000;
        for (const auto& [seq, kbps] : reports) {
            rc.onStats(Stats().report(7, 0, 0.02, seq).s, at += 1000000);
            EXPECT_EQ(target(), kbps) << "highest sequence number " << seq;
        }
    }
    gst_object_unref(vp8);
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
