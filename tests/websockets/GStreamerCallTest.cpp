// Real calls under Xvfb inside the private network: the agent's capture pipeline against an
// in-process answering webrtcbin.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <atomic>

#include "MediaHarness.h"

using namespace media_test;

namespace {

constexpr int kCallMs = 60000;

class MediaCall : public ::testing::Test {
protected:
    void SetUp() override {
        initMedia();
        screen = xScreen();
        if (screen.width == 0) {
            GTEST_SKIP() << "no X display";
        }
    }
    ScreenSpecs screen;
};

bool upnpOff(GstElement* pipeline) {
    GstElement* webrtc = gst_bin_get_by_name(GST_BIN(pipeline), "screenshare");
    GObject* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    GObject* agent = nullptr;
    g_object_get(ice, "agent", &agent, nullptr);
    gboolean upnp = TRUE;
    g_object_get(agent, "upnp", &upnp, nullptr);
    g_object_unref(agent);
    g_object_unref(ice);
    gst_object_unref(webrtc);
    return !upnp;
}

struct CallRow {
    const char* video;
    const char* audio;
    bool enableAudio;
};

class MediaCallCodecs : public MediaCall, public ::testing::WithParamInterface<CallRow> {};

// The whole primary screen reaches the administrator, with the greeting on the data channel.
TEST_P(MediaCallCodecs, ScreenReachesThePeer) {
    const CallRow row = GetParam();
    configure(row.video, row.audio, row.enableAudio, screen);
    Harness h;
    ASSERT_TRUE(h.start());
    EXPECT_TRUE(upnpOff(h.gst.currentPipeline()));

    ASSERT_TRUE(waitFor([&] { return h.state == PEER_CALL_STARTED; }, kCallMs))
        << "state " << h.state;
    ASSERT_TRUE(waitFor([&] { return h.peer.videoFrames() >= 3; }, kCallMs))
        << "frames " << h.peer.videoFrames();
    EXPECT_EQ(h.peer.videoWidth(), screen.width);
    EXPECT_EQ(h.peer.videoHeight(), screen.height);
    if (row.enableAudio) {
        EXPECT_TRUE(waitFor([&] { return h.peer.audioPackets() >= 5; }, kCallMs));
    } else {
        EXPECT_EQ(h.peer.audioPackets(), 0);
    }
    ASSERT_TRUE(waitFor([&] { return h.peer.messages().size() >= 2; }, kCallMs));
    const auto messages = h.peer.messages();
    EXPECT_FALSE(messages[0].binary);
    EXPECT_EQ(messages[0].data, QByteArray("Hi! from the GStreamer client"));
    EXPECT_TRUE(messages[1].binary);
    EXPECT_EQ(messages[1].data, QByteArray("data", 4));
    EXPECT_EQ(h.states.first(), PEER_CALL_NEGOTIATING);
    EXPECT_TRUE(h.terminations.isEmpty()) << h.terminations.join("; ").toStdString();
    EXPECT_EQ(h.peer.offersReceived(), 1);
}

INSTANTIATE_TEST_SUITE_P(Codecs, MediaCallCodecs,
                         ::testing::Values(CallRow{"VP8", "OPUS", true},
                                           CallRow{"VP8", "G711", true},
                                           CallRow{"h264", "OPUS", true},
                                           CallRow{"h264", "G711", false},
                                           CallRow{"VP8", "OPUS", false}));

// x264enc's first pass writes statistics; a read-only working directory must not stop it.
TEST_F(MediaCall, H264WithReadOnlyWorkingDirectory) {
    const QString before = QDir::currentPath();
    ASSERT_EQ(chdir("/proc"), 0);  // not writable, even for root
    configure("h264", "OPUS", false, {0, 0, 320, 240});
    {
        Harness h;
        ASSERT_TRUE(h.start());
        EXPECT_TRUE(waitFor([&] { return h.peer.videoFrames() >= 5; }, kCallMs))
            << "frames " << h.peer.videoFrames();
        EXPECT_TRUE(h.terminations.isEmpty());
    }
    ASSERT_EQ(chdir(before.toUtf8().constData()), 0);
    // The statistics went to a private file, removed with the pipeline.
    const QStringList left =
        QDir(QDir::tempPath())
            .entryList({QStringLiteral("kelvano-x264-%1-*").arg(getpid())}, QDir::Files);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
}

// The offer must not depend on the main thread having echoed the state back first.
TEST_F(MediaCall, OfferIsSentWithoutTheStateRoundTrip) {
    configure("VP8", "OPUS", false, {0, 0, 160, 120});
    Harness h;
    QObject::disconnect(&h.gst, &GStreamer::connStateChanged, nullptr, nullptr);
    std::atomic<int> notified{0};
    QObject::connect(&h.gst, &GStreamer::connStateChanged, &h.ctx,
                     [&](ConnectionState s) { notified += s == PEER_CALL_NEGOTIATING; });
    h.connectPeer = false;
    ASSERT_TRUE(h.start());
    ASSERT_TRUE(waitFor([&] { return h.sdpSent == 1; }, kCallMs));
    EXPECT_EQ(h.gst.currentConnState(), PEER_CALL_NEGOTIATING);
    EXPECT_EQ(notified.load(), 1);
    EXPECT_TRUE(h.terminations.isEmpty()) << h.terminations.join("; ").toStdString();
}

TEST_F(MediaCall, OfferCarriesTheDataChannel) {
    configure("VP8", "G711", true, {0, 0, 160, 120});
    Harness h;
    QString offer;
    QObject::connect(&h.gst, &GStreamer::sendSdpToPeer, &h.ctx,
                     [&](QString text, QString) { offer = text; });
    h.connectPeer = false;
    ASSERT_TRUE(h.start());
    ASSERT_TRUE(waitFor([&] { return !offer.isEmpty(); }, kCallMs));
    EXPECT_TRUE(offer.contains("m=application")) << offer.toStdString();
    EXPECT_TRUE(offer.contains("a=rtpmap:8 PCMA/8000")) << offer.toStdString();
    EXPECT_FALSE(offer.contains("a=rtpmap:97 PCMA")) << offer.toStdString();
    EXPECT_FALSE(offer.contains("stun")) << offer.toStdString();
}

TEST_F(MediaCall, PeerClosingTheChannelEndsTheCall) {
    configure("VP8", "OPUS", false, {0, 0, 160, 120});
    Harness h;
    ASSERT_TRUE(h.start());
    ASSERT_TRUE(waitFor([&] { return h.peer.messages().size() >= 2; }, kCallMs));
    h.peer.sendDataChannelString("hello agent");  // logged, nothing else
    h.peer.closeDataChannel();
    ASSERT_TRUE(waitFor([&] { return !h.terminations.isEmpty(); }, kCallMs));
    EXPECT_EQ(h.terminations, QStringList{"Completed by the opposite side"});
}

TEST_F(MediaCall, UnusableAnswersEndTheCall) {
    configure("VP8", "OPUS", false, {0, 0, 160, 120});
    Harness h;
    h.connectPeer = false;
    ASSERT_TRUE(h.start());
    ASSERT_TRUE(waitFor([&] { return h.sdpSent == 1; }, kCallMs));
    h.gst.onSdpReceived("answer", QString::fromUtf8("\x01\x02 not an sdp \xff"));
    EXPECT_TRUE(waitFor([&] { return !h.terminations.isEmpty(); }, 5000));
    EXPECT_EQ(h.terminations.value(0),
              "ERROR: could not parse the text buffer into an SDP message");
}

TEST_F(MediaCall, RemoteCandidatesOfAnyShapeAreHarmless) {
    configure("VP8", "OPUS", false, {0, 0, 160, 120});
    Harness h;
    // No pipeline yet: only a warning.
    h.gst.screenWebrtcBinEmitSignal("add-ice-candidate", 0,
                                    "candidate:1 1 UDP 1 127.0.0.2 9 typ host");
    ASSERT_TRUE(h.start());
    for (const char* c : {"", "garbage", "candidate:", "candidate:1 1 UDP x y z typ host"}) {
        h.gst.screenWebrtcBinEmitSignal("add-ice-candidate", 0, c);
        h.gst.screenWebrtcBinEmitSignal("add-ice-candidate", 77, c);
    }
    h.gst.screenWebrtcBinEmitSignal("add-ice-candidate", 0, nullptr);
    EXPECT_TRUE(waitFor([&] { return h.state == PEER_CALL_STARTED; }, kCallMs));
    EXPECT_TRUE(waitFor([&] { return h.peer.videoFrames() >= 1; }, kCallMs));
}

TEST_F(MediaCall, BadSettingsLaunchNothing) {
    for (auto codecs : {std::pair{"vp8", "OPUS"}, std::pair{"VP8", "PCMA"}}) {
        configure(codecs.first, codecs.second, false, {0, 0, 160, 120});
        GStreamer g;
        g.screenPipelineStart();
        EXPECT_EQ(g.currentPipeline(), nullptr);
        g.screenPipelineStop(true);
        g.screenPipelineStop(false);
    }
}

// Under Qt the main thread owns the default context, so the loop only has to run, stop on
// request and be restartable for the next session.
TEST(GlibThread, StopsOnRequestAndRestarts) {
    GStreamer g;
    g.stopGlibThread();  // never started: nothing happens
    for (int round = 0; round < 3; ++round) {
        g.startGlibThread();
        EXPECT_TRUE(g.glibThreadRunning());
        // Keeps running: the interruption of the last round was cleared.
        EXPECT_FALSE(waitFor([&] { return !g.glibThreadRunning(); }, 100)) << "round " << round;
        g.stopGlibThread();
        EXPECT_FALSE(g.glibThreadRunning());
        g.stopGlibThread();
    }
}

}  // namespace
