// Playback chains for what the peer sends, built against plain test sources.
#include <gtest/gtest.h>

#include "IncomingMedia.h"

namespace {

struct Fixture {
    Fixture(const char* sourceFactory) {
        gst_init(nullptr, nullptr);
        bin = GST_BIN(gst_object_ref_sink(gst_pipeline_new(nullptr)));
        source = gst_element_factory_make(sourceFactory, nullptr);
        gst_bin_add(bin, source);
        pad = gst_element_get_static_pad(source, "src");
    }
    ~Fixture() {
        gst_element_set_state(GST_ELEMENT(bin), GST_STATE_NULL);
        gst_object_unref(pad);
        gst_object_unref(bin);
    }
    int children() const { return int(GST_BIN_NUMCHILDREN(bin)); }
    GstBin* bin;
    GstElement* source;
    GstPad* pad;
};

TEST(IncomingMedia, ChainsForVideoAndAudio) {
    struct Row {
        const char* source;
        const char* convert;
    };
    for (const Row& r :
         {Row{"videotestsrc", "videoconvert"}, Row{"audiotestsrc", "audioconvert"}}) {
        Fixture f(r.source);
        EXPECT_TRUE(handleMediaStream(f.pad, f.bin, r.convert, "fakesink")) << r.source;
        EXPECT_TRUE(gst_pad_is_linked(f.pad));
        g_object_set(f.source, "num-buffers", 3, nullptr);
        ASSERT_NE(gst_element_set_state(GST_ELEMENT(f.bin), GST_STATE_PLAYING),
                  GST_STATE_CHANGE_FAILURE);
        GstBus* bus = gst_element_get_bus(GST_ELEMENT(f.bin));
        GstMessage* msg = gst_bus_timed_pop_filtered(
            bus, 10 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(GST_MESSAGE_TYPE(msg), GST_MESSAGE_EOS) << r.source;
        gst_message_unref(msg);
        gst_object_unref(bus);
    }
}

// A missing plug-in leaves the stream alone and the pipeline as it was.
TEST(IncomingMedia, MissingPluginLeavesStreamUnhandled) {
    Fixture f("videotestsrc");
    EXPECT_FALSE(handleMediaStream(f.pad, f.bin, "videoconvert", "nosuchsink"));
    EXPECT_FALSE(handleMediaStream(f.pad, f.bin, "nosuchconvert", "fakesink"));
    EXPECT_EQ(f.children(), 1);
    EXPECT_FALSE(gst_pad_is_linked(f.pad));
}

TEST(IncomingMedia, SinkPadsAndPadsWithoutCapsAreIgnored) {
    Fixture f("videotestsrc");
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    gst_bin_add(f.bin, sink);
    GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
    onIncomingStream(f.source, sinkPad, nullptr);
    EXPECT_EQ(f.children(), 2);
    // The source pad has no caps before it runs.
    onIncomingDecodeBinStream(f.source, f.pad, nullptr);
    EXPECT_EQ(f.children(), 2);
    gst_object_unref(sinkPad);
}

}  // namespace
