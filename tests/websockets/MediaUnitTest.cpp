// The media library's parts that need no call: the bitrate estimator and incoming playback.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "BitrateEstimator.h"
#include "IncomingMedia.h"

namespace {

struct Row {
    const char* name;
    std::vector<ReceiverReport> reports;  // {lost, round trip ms, sent kbit/s, asked again}
    int expectedKbps;
};

// Floor 150, start 2500, ceiling 3000 kbit/s.
const Row kRows[] = {
    {"a clean path climbs by 8% a report", {{0, 20}, {0, 20}}, 2916},
    {"and stops at the ceiling", std::vector<ReceiverReport>(10, {0, 20}), 3000},
    {"random loss up to 15% holds", {{0.03, 20}, {0.12, 20}, {0.15, 20}}, 2500},
    {"1% loss is clean", {{0.01, 20}}, 2700},
    {"heavy loss backs off by half of it", {{0.4, 20}}, 2000},
    {"a policed path falls to the floor", std::vector<ReceiverReport>(30, {0.5, 20}), 150},
    {"a slow round trip does not climb", {{0, 600}}, 2500},
    {"a congested round trip backs off", {{0, 1500}}, 2125},
    {"nonsense loss is clamped", {{7.0, 20}, {-3.0, 20}}, 1350},
    {"recovers after congestion", {{0.5, 20}, {0.5, 20}, {0, 20}, {0, 20}}, 1640},
    {"heavy loss falls to 3/4 of what arrived", {{0.2, 20, 3000}}, 1800},
    {"but at most by half a report", {{0.9, 20, 3000}}, 1250},
    {"a path narrowed to 1 Mbit/s is found in two reports",
     {{0.6, 20, 2500}, {0.2, 20, 1250}, {0, 20, 750}},
     810},
    {"packets asked for again are loss the reports hide", {{0, 20, 0, 0.4}}, 2000},
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
    }
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
