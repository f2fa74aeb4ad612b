// Real calls under Xvfb inside the private network: the agent's capture pipeline against an
// in-process answering webrtcbin.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gst/video/video.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>
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
};

class MediaCallCodecs : public MediaCall, public ::testing::WithParamInterface<CallRow> {};

// The whole primary screen reaches the administrator, with the greeting on the data channel.
TEST_P(MediaCallCodecs, ScreenReachesThePeer) {
    const CallRow row = GetParam();
    configure(row.video, row.audio, true, screen);
    Harness h;
    ASSERT_TRUE(h.start());
    EXPECT_TRUE(upnpOff(h.gst.currentPipeline()));

    ASSERT_TRUE(waitFor([&] { return h.state == PEER_CALL_STARTED; }, kCallMs))
        << "state " << h.state;
    ASSERT_TRUE(waitFor([&] { return h.peer.videoFrames() >= 3; }, kCallMs))
        << "frames " << h.peer.videoFrames();
    EXPECT_EQ(h.peer.videoWidth(), screen.width);
    EXPECT_EQ(h.peer.videoHeight(), screen.height);
    EXPECT_TRUE(waitFor([&] { return h.peer.audioPackets() >= 5; }, kCallMs));
    ASSERT_TRUE(waitFor([&] { return h.peer.messages().size() >= 2; }, kCallMs));
    const auto messages = h.peer.messages();
    EXPECT_FALSE(messages[0].binary);
    EXPECT_EQ(messages[0].data, QByteArray("Hi! from the GStreamer client"));
    EXPECT_TRUE(messages[1].binary);
    EXPECT_EQ(messages[1].data, QByteArray("data", 4));
    EXPECT_EQ(h.states.first(), PEER_CALL_NEGOTIATING);
    EXPECT_TRUE(h.terminations.isEmpty()) << h.terminations.join("; ").toStdString();
    EXPECT_EQ(h.sdpSent, 1);
}

INSTANTIATE_TEST_SUITE_P(Codecs, MediaCallCodecs,
                         ::testing::Values(CallRow{"VP8", "OPUS"}, CallRow{"VP8", "G711"},
                                           CallRow{"h264", "OPUS"}));

// x264enc's first pass writes statistics; a read-only working directory must not stop it, and
// they go to a private directory that is removed with the pipeline.
TEST_F(MediaCall, H264StatisticsInAPrivateDirectory) {
    const QString before = QDir::currentPath();
    ASSERT_EQ(chdir("/proc"), 0);  // not writable, even for root
    configure("h264", "OPUS", false, {0, 0, 320, 240});
    QString dir;
    {
        Harness h;
        ASSERT_TRUE(h.start());
        EXPECT_TRUE(waitFor([&] { return h.peer.videoFrames() >= 5; }, kCallMs))
            << "frames " << h.peer.videoFrames();
        EXPECT_TRUE(h.terminations.isEmpty());
        gchar* file = nullptr;
        g_object_get(findByFactory(h.gst.currentPipeline(), "x264enc"), "multipass-cache-file",
                     &file, nullptr);
        dir = QFileInfo(QString::fromUtf8(file)).absolutePath();
        g_free(file);
        ASSERT_TRUE(dir.startsWith(QDir::tempPath() + "/kelvano-x264-")) << dir.toStdString();
        struct stat st {};
        ASSERT_EQ(stat(dir.toUtf8().constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    ASSERT_EQ(chdir(before.toUtf8().constData()), 0);
    EXPECT_FALSE(QFileInfo::exists(dir));
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

// The offer announces retransmission and the NACK, PLI and FIR feedback for video only.
TEST_F(MediaCall, OfferCarriesLossRecoveryAndTheDataChannel) {
    for (const char* codec : {"VP8", "h264"}) {
        configure(codec, "G711", true, {0, 0, 160, 120});
        Harness h;
        QString offer;
        QObject::connect(&h.gst, &GStreamer::sendSdpToPeer, &h.ctx,
                         [&](QString text, QString) { offer = text; });
        h.connectPeer = false;
        ASSERT_TRUE(h.start());
        ASSERT_TRUE(waitFor([&] { return !offer.isEmpty(); }, kCallMs));
        const QString video = offer.section("m=", 1, 1);
        const QString audio = offer.section("m=", 2, 2);
        for (const char* line : {"a=rtcp-fb:96 nack\r", "a=rtcp-fb:96 nack pli\r",
                                 "a=rtcp-fb:96 ccm fir\r", "apt=96"}) {
            EXPECT_TRUE(video.contains(line)) << codec << " lacks " << line << "\n"
                                              << video.toStdString();
        }
        EXPECT_TRUE(video.contains(QRegularExpression("a=rtpmap:\\d+ rtx/90000"))) << codec;
        EXPECT_FALSE(audio.contains("nack")) << audio.toStdString();
        EXPECT_TRUE(audio.contains("a=rtpmap:8 PCMA/8000")) << audio.toStdString();
        EXPECT_TRUE(offer.contains("m=application")) << offer.toStdString();
        EXPECT_FALSE(offer.contains("stun")) << offer.toStdString();
    }
}

// The peer's keyframe request (PLI) reaches the encoder, and a keyframe follows at once.
TEST_F(MediaCall, KeyframeOnThePeersRequest) {
    for (const char* codec : {"VP8", "h264"}) {
        configure(codec, "OPUS", false, {0, 0, 320, 240});
        Harness h;
        ASSERT_TRUE(h.start());
        ASSERT_TRUE(waitFor([&] { return h.peer.videoFrames() >= 3; }, kCallMs)) << codec;
        GstElement* encoder = findByFactory(h.gst.currentPipeline(),
                                            codec == std::string("VP8") ? "vp8enc" : "x264enc");
        ASSERT_NE(encoder, nullptr);
        struct Counts {
            std::atomic<int> requests{0};
            std::atomic<int> keyframes{0};
        } counts;
        GstPad* src = gst_element_get_static_pad(encoder, "src");
        gst_pad_add_probe(
            src, GstPadProbeType(GST_PAD_PROBE_TYPE_EVENT_UPSTREAM | GST_PAD_PROBE_TYPE_BUFFER),
            [](GstPad*, GstPadProbeInfo* info, gpointer data) {
                auto* c = static_cast<Counts*>(data);
                if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
                    if (!GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info),
                                                GST_BUFFER_FLAG_DELTA_UNIT)) {
                        c->keyframes++;
                    }
                } else if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) {
                    c->requests++;
                }
                return GST_PAD_PROBE_OK;
            },
            &counts, nullptr);
        // Count from a quiet moment: no keyframe for a while.
        const int quiet = counts.keyframes;
        EXPECT_FALSE(waitFor([&] { return counts.keyframes != quiet; }, 500)) << codec;
        h.peer.requestKeyFrame();
        EXPECT_TRUE(waitFor([&] { return counts.requests >= 1; }, 5000)) << codec;
        EXPECT_TRUE(waitFor([&] { return counts.keyframes > quiet; }, 1000)) << codec;
        h.stop();
        gst_object_unref(src);
    }
}

// A broken message on the data channel ends the call with the channel's error.
TEST_F(MediaCall, DataChannelErrorEndsTheCall) {
    configure("VP8", "OPUS", false, {0, 0, 160, 120});
    Harness h;
    ASSERT_TRUE(h.start());
    ASSERT_TRUE(waitFor([&] { return h.peer.messages().size() >= 2; }, kCallMs));
    h.peer.sendDataChannelGarbage();
    ASSERT_TRUE(waitFor([&] { return !h.terminations.isEmpty(); }, 10000));
    EXPECT_EQ(h.terminations.first(), "Data channel error");
}

// The media object's GLib thread must never dispatch what belongs to the GUI thread's context.
TEST_F(MediaCall, GuiTimersFireOnTheGuiThreadDuringACall) {
    configure("VP8", "OPUS", false, {0, 0, 320, 240});
    Harness h;
    std::atomic<int> fired{0};
    std::atomic<int> elsewhere{0};
    QThread* gui = QThread::currentThread();
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        fired++;
        elsewhere += QThread::currentThread() != gui;
    });
    timer.start(1);
    ASSERT_TRUE(h.start());
    // The GUI thread idles between its iterations, as it does while nothing happens.
    QElapsedTimer t;
    t.start();
    while (h.peer.videoFrames() < 20 && t.elapsed() < kCallMs) {
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    EXPECT_GT(fired.load(), 100);
    EXPECT_EQ(elsewhere.load(), 0);
}

TEST_F(MediaCall, RemoteCandidatesOfAnyShapeAreHarmless) {
    configure("VP8", "OPUS", false, {0, 0, 160, 120});
    Harness h;
    ASSERT_TRUE(h.start());
    for (const char* c : {"", "garbage", "candidate:", "candidate:1 1 UDP x y z typ host"}) {
        h.gst.screenWebrtcBinEmitSignal("add-ice-candidate", 0, c);
        h.gst.screenWebrtcBinEmitSignal("add-ice-candidate", 77, c);
    }
    h.gst.screenWebrtcBinEmitSignal("add-ice-candidate", 0, nullptr);
    EXPECT_TRUE(waitFor([&] { return h.state == PEER_CALL_STARTED; }, kCallMs));
    EXPECT_TRUE(waitFor([&] { return h.peer.videoFrames() >= 1; }, kCallMs));
}

}  // namespace
