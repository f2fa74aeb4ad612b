// Calls of the real agent under Xvfb inside the private network: its signalling channel against
// the loopback relay, its capture pipeline wired straight to an in-process webrtcbin, for what a
// browser cannot be made to do. That every codec pair reaches a browser is shown by the e2e suite.
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

#include "ScreenGlobals.h"
#include "SignallingRelay.h"
#include "WSSignalling.h"
#include "WaitFor.h"
#include "WebRtcPeer.h"

namespace {

constexpr int kCallMs = 60000;
const QString kClosed = QStringLiteral("Connection with the server is closed");

// False without an X display to capture.
bool initMedia() {
    gst_init(nullptr, nullptr);
    qRegisterMetaType<ConnectionState>("ConnectionState");
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

void configure(const char* video, const char* audio, bool enableAudio) {
    GlobalSettings& g = GlobalSettings::instance();
    g.connectionParams.videoCodec = video;
    g.connectionParams.audioCodec = audio;
    g.connectionParams.stunUrl.clear();
    g.serverApiParams.enableAudio = enableAudio;
    screenSpecs = {0, 0, 320, 240};
}

// Plays the main window: starts a session, and on any error or closure tears it down in the
// window's order (pipeline, GLib thread, socket).
class Call {
public:
    Call() {
        relay.listen();
        QObject::connect(&sig, &WSSignalling::connStateChanged, &sig,
                         [this](ConnectionState s) { state = s; });
        QObject::connect(&sig.gstreamer, &GStreamer::sendSdpToPeer, &sig,
                         [this](QString text, QString type) {
                             offer = text;
                             peer.onSdp(text, type);
                         });
        QObject::connect(&sig.gstreamer, &GStreamer::IceCandidate, &peer,
                         &WebRtcPeer::addIceCandidate);
        QObject::connect(&peer, &WebRtcPeer::sdpReady, &sig, [this](QString text, QString type) {
            sig.gstreamer.onSdpReceived(type, text);
        });
        QObject::connect(&peer, &WebRtcPeer::iceCandidate, &sig, [this](uint ix, QString c) {
            sig.gstreamer.screenWebrtcBinEmitSignal("add-ice-candidate", ix,
                                                    c.toUtf8().constData());
        });
        QObject::connect(&sig, &WSSignalling::errorOccured, &sig, [this](const char* msg) {
            errors << QString::fromUtf8(msg);
            storedAtError << sig.connectionState();
            stop();
        });
        QObject::connect(&sig, &WSSignalling::wsDisconnected, &sig, [this] {
            ++disconnects;
            stop();
        });
    }
    // The administrator leaves first, so the agent's teardown is the one under test.
    ~Call() {
        peer.stop();
        stop();
    }

    bool start() {
        offer.clear();
        errors.clear();
        storedAtError.clear();
        disconnects = 0;
        GlobalSettings::instance().connectionParams.serverUrl = relay.serverUrl().toStdString();
        sig.setConnState(SERVER_CONNECTING);
        sig.gstreamer.startGlibThread();
        return peer.start() && sig.webSocket.wsConnect();
    }

    void stop() {
        sig.gstreamer.screenPipelineStop(true);
        sig.gstreamer.stopGlibThread();
        if (sig.webSocket.state() == QAbstractSocket::ConnectedState) {
            sig.webSocket.close();
        }
    }

    SignallingRelay relay;
    WebRtcPeer peer;
    WSSignalling sig;
    ConnectionState state = STATE_UNKNOWN;
    QString offer;
    QStringList errors;
    QList<ConnectionState> storedAtError;
    int disconnects = 0;
};

class MediaCall : public ::testing::Test {
protected:
    void SetUp() override {
        if (!initMedia()) {
            GTEST_SKIP() << "no X display";
        }
        configure("VP8", "OPUS", false);
    }
};

// Retransmission and the NACK, PLI and FIR feedback are announced for video only.
TEST_F(MediaCall, OfferCarriesLossRecoveryAndTheDataChannel) {
    for (const char* codec : {"VP8", "h264"}) {
        configure(codec, "G711", true);
        Call c;
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(waitFor([&] { return !c.offer.isEmpty(); }, kCallMs));
        const QString video = c.offer.section("m=", 1, 1);
        const QString audio = c.offer.section("m=", 2, 2);
        for (const char* line : {"a=rtcp-fb:96 nack\r", "a=rtcp-fb:96 nack pli\r",
                                 "a=rtcp-fb:96 ccm fir\r", "apt=96"}) {
            EXPECT_TRUE(video.contains(line)) << codec << " lacks " << line;
        }
        EXPECT_TRUE(video.contains(QRegularExpression("a=rtpmap:\\d+ rtx/90000"))) << codec;
        EXPECT_FALSE(audio.contains("nack")) << audio.toStdString();
        EXPECT_TRUE(c.offer.contains("m=application")) << c.offer.toStdString();
    }
}

// The peer's keyframe request (PLI) reaches the encoder, and a keyframe follows at once. x264enc's
// statistics go to a private directory removed with the pipeline, so a read-only working
// directory does not stop it.
TEST_F(MediaCall, KeyframeOnThePeersRequest) {
    const QString cwd = QDir::currentPath();
    ASSERT_EQ(chdir("/proc"), 0);  // not writable, even for root
    for (const char* codec : {"VP8", "h264"}) {
        configure(codec, "OPUS", false);
        QString statsDir;
        Call c;
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(waitFor([&] { return c.peer.packets() >= 3; }, kCallMs)) << codec;
        GstElement* encoder = findByFactory(c.sig.gstreamer.currentPipeline(),
                                            codec == std::string("VP8") ? "vp8enc" : "x264enc");
        ASSERT_NE(encoder, nullptr);
        if (codec == std::string("h264")) {
            gchar* file = nullptr;
            g_object_get(encoder, "multipass-cache-file", &file, nullptr);
            statsDir = QFileInfo(QString::fromUtf8(file)).absolutePath();
            g_free(file);
            struct stat st {};
            ASSERT_TRUE(statsDir.startsWith(QDir::tempPath() + "/kelvano-x264-"));
            ASSERT_EQ(stat(statsDir.toUtf8().constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
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
                    c->keyframes += !GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info),
                                                            GST_BUFFER_FLAG_DELTA_UNIT);
                } else if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) {
                    c->requests++;
                }
                return GST_PAD_PROBE_OK;
            },
            &counts, nullptr);
        // Count from a quiet moment: no keyframe for a while.
        const int quiet = counts.keyframes;
        EXPECT_FALSE(waitFor([&] { return counts.keyframes != quiet; }, 500)) << codec;
        c.peer.requestKeyFrame();
        EXPECT_TRUE(waitFor([&] { return counts.requests >= 1; }, 5000)) << codec;
        EXPECT_TRUE(waitFor([&] { return counts.keyframes > quiet; }, 1000)) << codec;
        c.stop();
        gst_object_unref(src);
        EXPECT_FALSE(QFileInfo::exists(statsDir)) << codec;
    }
    ASSERT_EQ(chdir(cwd.toUtf8().constData()), 0);
}

// The administrator closing the data channel, or breaking it, ends the call with the channel's
// text and closes the signalling socket normally.
TEST_F(MediaCall, DataChannelEndOrErrorEndsTheCall) {
    for (bool broken : {false, true}) {
        Call c;
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(waitFor([&] { return c.peer.messages() > 0; }, kCallMs));
        broken ? c.peer.sendDataChannelGarbage() : c.peer.closeDataChannel();
        ASSERT_TRUE(waitFor([&] { return c.disconnects > 0; }, kCallMs));
        const QString text = broken ? "Data channel error" : "Completed by the opposite side";
        EXPECT_EQ(c.errors, (QStringList{text, kClosed}));
        EXPECT_EQ(c.storedAtError.first(), STATE_UNKNOWN);
        ASSERT_TRUE(waitFor([&] { return !c.relay.agentCloseCodes.isEmpty(); }));
        EXPECT_EQ(c.relay.agentCloseCodes.last(), 1000);
    }
}

// Sessions one after another on the same channel, as the window runs them; every other one is
// dropped by the user while the offer is still out. Each ends with the closure text only.
TEST_F(MediaCall, SessionsDroppedWhileNegotiatingOrInCall) {
    Call c;
    for (int round = 0; round < 20; ++round) {
        const bool negotiating = round % 2;
        ASSERT_TRUE(c.start());
        if (negotiating) {
            c.peer.stop();  // no answer: the offer stays out
        }
        ASSERT_TRUE(waitFor(
            [&] {
                return negotiating ? !c.offer.isEmpty()
                                   : c.state == PEER_CALL_STARTED && c.peer.packets() > 0;
            },
            kCallMs))
            << "round " << round;
        EXPECT_EQ(c.state, negotiating ? PEER_CALL_NEGOTIATING : PEER_CALL_STARTED);
        c.stop();
        ASSERT_TRUE(waitFor([&] { return c.disconnects > 0; }, kCallMs));
        EXPECT_EQ(c.errors, QStringList{kClosed}) << "round " << round;
        EXPECT_FALSE(c.sig.gstreamer.glibThreadRunning());
    }
}

// Qt's timers and posted events belong to the GUI thread, the once-a-second "get-stats" of a call
// to the media object's GLib thread: neither runs on the other's. The GUI thread spends stretches
// outside its event loop with work due meanwhile, as a window does while it paints.
TEST_F(MediaCall, GuiTimersFireOnTheGuiThreadDuringACall) {
    struct Counts {
        QThread* gui = QThread::currentThread();
        std::atomic<int> guiWork{0}, guiWorkElsewhere{0}, ticks{0}, ticksOnGui{0};
    } n;
    const auto onGui = [&n] {
        n.guiWork++;
        n.guiWorkElsewhere += QThread::currentThread() != n.gui;
    };
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, onGui);
    timer.start(1);
    Call c;
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(waitFor([&] { return c.peer.packets() > 0; }, kCallMs));
    const guint getStats = g_signal_lookup("get-stats", g_type_from_name("GstWebRTCBin"));
    const gulong hook = g_signal_add_emission_hook(
        getStats, 0,
        [](GSignalInvocationHint*, guint, const GValue*, gpointer data) -> gboolean {
            auto* n = static_cast<Counts*>(data);
            n->ticks++;
            n->ticksOnGui += QThread::currentThread() == n->gui;
            return TRUE;
        },
        &n, nullptr);
    QElapsedTimer t;
    t.start();
    while (n.ticks < 3 && t.elapsed() < 10000) {
        QMetaObject::invokeMethod(&timer, onGui, Qt::QueuedConnection);
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 20) {
        }
        QCoreApplication::processEvents();
    }
    g_signal_remove_emission_hook(getStats, hook);
    EXPECT_GE(n.ticks.load(), 3);
    EXPECT_EQ(n.ticksOnGui.load(), 0);
    EXPECT_GT(n.guiWork.load(), 100);
    EXPECT_EQ(n.guiWorkElsewhere.load(), 0);
}

TEST_F(MediaCall, RemoteCandidatesOfAnyShapeAreHarmless) {
    Call c;
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(waitFor([&] { return c.sig.gstreamer.currentPipeline() != nullptr; }, kCallMs));
    for (const char* s : {"", "garbage", "candidate:", "candidate:1 1 UDP x y z typ host"}) {
        c.sig.gstreamer.screenWebrtcBinEmitSignal("add-ice-candidate", 0, s);
        c.sig.gstreamer.screenWebrtcBinEmitSignal("add-ice-candidate", 77, s);
    }
    c.sig.gstreamer.screenWebrtcBinEmitSignal("add-ice-candidate", 0, nullptr);
    EXPECT_TRUE(waitFor([&] { return c.state == PEER_CALL_STARTED; }, kCallMs));
    EXPECT_TRUE(waitFor([&] { return c.peer.packets() >= 1; }, kCallMs));
}

int threadCount() {
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

std::atomic<int> livePipelines{0};

void trackPipeline(GstElement* pipeline) {
    livePipelines++;
    g_object_weak_ref(
        G_OBJECT(pipeline), [](gpointer, GObject*) { livePipelines--; }, nullptr);
}

// Where a session is torn down; the later ones have callbacks and promises in flight.
enum class Cut { AtOnce, Negotiating, OfferSent, Started, Media, DestroyOnly, kCount };

bool reached(Cut cut, const Call& c) {
    switch (cut) {
        case Cut::AtOnce:
            return true;
        case Cut::Negotiating:
            return c.sig.gstreamer.currentConnState() >= PEER_CALL_NEGOTIATING;
        case Cut::OfferSent:
            return !c.offer.isEmpty();
        case Cut::Started:
            return c.state == PEER_CALL_STARTED;
        default:
            return c.peer.packets() > 0 && c.peer.messages() > 0;
    }
}

class MediaStress : public MediaCall {};

// Tearing sessions down at any point of the negotiation leaves no crash, no running thread and
// no session left alive.
TEST_F(MediaStress, HundredSessionsTornDownAnywhere) {
    int threadsAfterWarmUp = 0;
    for (int i = 0; i < 100; ++i) {
        const Cut cut = Cut(i % int(Cut::kCount));
        // Alternate the codecs so that both encoders and both audio paths are torn down.
        configure(i % 2 ? "h264" : "VP8", i % 3 ? "OPUS" : "G711", i % 4 != 0);
        auto c = std::make_unique<Call>();
        ASSERT_TRUE(c->start()) << "cycle " << i;
        ASSERT_TRUE(waitFor([&] { return c->sig.gstreamer.currentPipeline(); }, kCallMs));
        trackPipeline(c->sig.gstreamer.currentPipeline());
        ASSERT_TRUE(waitFor([&] { return reached(cut, *c); }, kCallMs))
            << "cycle " << i << " cut " << int(cut);
        // Otherwise destruction alone must stop the GLib thread and cut the callbacks off.
        if (cut != Cut::DestroyOnly) {
            c->peer.stop();
            c->stop();
            EXPECT_FALSE(c->sig.gstreamer.glibThreadRunning());
        }
        c.reset();
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
