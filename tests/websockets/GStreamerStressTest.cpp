// Many sessions in one process: every call comes up, and tearing sessions down at any point of
// the negotiation leaves no crash, no GLib critical (the suite runs with fatal criticals), no
// running thread and no session left alive.
#include <gtest/gtest.h>

#include <QDir>
#include <atomic>

#include "MediaHarness.h"

using namespace media_test;

namespace {

constexpr int kStepMs = 60000;
const ScreenSpecs kRegion{0, 0, 160, 120};

int threadCount() {
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

std::atomic<int> livePipelines{0};

void trackPipeline(GstElement* pipeline) {
    livePipelines++;
    g_object_weak_ref(
        G_OBJECT(pipeline), [](gpointer, GObject*) { livePipelines--; }, nullptr);
}

class MediaStress : public ::testing::Test {
protected:
    void SetUp() override {
        initMedia();
        if (xScreen().width == 0) {
            GTEST_SKIP() << "no X display";
        }
    }
};

enum class Cut { AtOnce, Negotiating, OfferSent, Started, Media, DestroyOnly, kCount };

// Where a session is torn down; the later ones have callbacks and promises in flight.
bool reached(Cut cut, const Harness& h) {
    switch (cut) {
        case Cut::AtOnce:
            return true;
        case Cut::Negotiating:
            return h.gst.currentConnState() == PEER_CALL_NEGOTIATING;
        case Cut::OfferSent:
            return h.sdpSent > 0;
        case Cut::Started:
            return h.state == PEER_CALL_STARTED;
        case Cut::Media:
        case Cut::DestroyOnly:
            return h.peer.videoFrames() > 0 && h.peer.messages().size() >= 2;
        case Cut::kCount:
            break;
    }
    return true;
}

TEST_F(MediaStress, HundredSessionsTornDownAnywhere) {
    const int kinds = int(Cut::kCount);
    int threadsAfterWarmUp = 0;
    for (int i = 0; i < 100; ++i) {
        const Cut cut = Cut(i % kinds);
        // Alternate the codecs so that both encoders and both audio paths are torn down.
        configure(i % 2 ? "h264" : "VP8", i % 3 ? "OPUS" : "G711", i % 4 != 0, kRegion);
        auto* h = new Harness;
        ASSERT_TRUE(h->start()) << "cycle " << i;
        trackPipeline(h->gst.currentPipeline());
        ASSERT_TRUE(waitFor([&] { return reached(cut, *h); }, kStepMs))
            << "cycle " << i << " cut " << int(cut);
        if (cut == Cut::DestroyOnly) {
            // Destruction alone must stop the GLib thread and cut the callbacks off.
            h->peer.stop();
            delete h;
        } else {
            h->stop();
            EXPECT_FALSE(h->gst.glibThreadRunning());
            delete h;
        }
        // Late queued signals of the destroyed objects must be dropped harmlessly.
        QCoreApplication::processEvents();
        if (i == 19) {
            threadsAfterWarmUp = threadCount();
        }
    }
    // Every session's pipeline is finalized: nothing keeps a reference after teardown.
    EXPECT_TRUE(waitFor([] { return livePipelines == 0; }, 5000)) << livePipelines.load();
    // ... and every callback context with it: no promise or handler was left dangling.
    EXPECT_TRUE(waitFor([] { return GStreamer::liveSessions() == 0; }, 15000))
        << GStreamer::liveSessions();
    // GStreamer keeps a few pooled threads; sessions must not leave theirs behind.
    EXPECT_LE(threadCount(), threadsAfterWarmUp + 4);
}

}  // namespace
