// Calls of the real agent under Xvfb inside the private network: its signalling channel against
// the loopback relay, its capture pipeline wired straight to an in-process webrtcbin, for what a
// browser cannot be made to do. That every codec pair reaches a browser is shown by the e2e suite.
#include <gtest/gtest.h>
#include <unistd.h>

#define GST_USE_UNSTABLE_API
#include <gst/rtp/rtp.h>
#include <gst/sctp/sctpsendmeta.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>
#include <atomic>

#include "LogCapture.h"
#include "ScreenGlobals.h"
#include "SignallingRelay.h"
#include "WSSignalling.h"
#include "WaitFor.h"

namespace {

constexpr int kCallMs = 60000;
const QString kClosed = QStringLiteral("Connection with the server is closed");

void configure(const char* video, const char* audio, bool enableAudio) {
    GlobalSettings& g = GlobalSettings::instance();
    g.connectionParams.videoCodec = video;
    g.connectionParams.audioCodec = audio;
    g.connectionParams.stunUrl.clear();
    g.serverApiParams.enableAudio = enableAudio;
    screenSpecs = {0, 0, 320, 240};
}

// What the administrator's webrtcbin callbacks share with the test; webrtcbin owns it, so it
// outlives them.
struct PeerCore {
    std::atomic<GObject*> channel{nullptr};  // the agent's data channel, while webrtcbin has it
    std::atomic<int> packets{0};             // RTP packets of the agent's streams
    std::atomic<int> messages{0};            // text messages on the data channel
};

// Plays the main window and the administrator. The administrator is a second webrtcbin that
// answers the agent's offer; its own candidates the agent learns from its connectivity checks. On
// any error or closure the session is torn down in the window's order (pipeline, GLib thread,
// socket).
class Call {
public:
    Call() {
        relay.listen();
        QObject::connect(&sig, &WSSignalling::connStateChanged, &sig,
                         [this](ConnectionState s) { state = s; });
        QObject::connect(&sig.gstreamer, &GStreamer::sendSdpToPeer, &sig, [this](QString text) {
            offer = text;
            if (webrtc) {
                answer(text);
            }
        });
        QObject::connect(
            &sig.gstreamer, &GStreamer::IceCandidate, &sig, [this](uint ix, QString c) {
                if (webrtc) {
                    g_signal_emit_by_name(webrtc, "add-ice-candidate", ix, c.toUtf8().constData());
                }
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
        stopPeer();
        stop();
    }

    bool start() {
        offer.clear();
        errors.clear();
        disconnects = 0;
        GlobalSettings::instance().connectionParams.serverUrl = relay.serverUrl().toStdString();
        sig.setConnState(SERVER_CONNECTING);
        sig.gstreamer.startGlibThread();
        return startPeer() && sig.webSocket.wsConnect();
    }

    void stop() {
        sig.gstreamer.screenPipelineStop(true);
        sig.gstreamer.stopGlibThread();
        if (sig.webSocket.state() == QAbstractSocket::ConnectedState) {
            sig.webSocket.close();
        }
    }

    // A fresh receive-only webrtcbin, started and torn down hundreds of times.
    bool startPeer() {
        stopPeer();
        webrtc = gst_element_factory_make("webrtcbin", nullptr);
        core = new PeerCore;
        g_object_set_data_full(G_OBJECT(webrtc), "peer-core", core,
                               [](gpointer data) { delete static_cast<PeerCore*>(data); });
        gst_util_set_object_arg(G_OBJECT(webrtc), "bundle-policy", "max-bundle");
        pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
        gst_bin_add(GST_BIN(pipeline), webrtc);
        GObject* ice = nullptr;
        GObject* agent = nullptr;
        g_object_get(webrtc, "ice-agent", &ice, nullptr);
        g_object_get(ice, "agent", &agent, nullptr);
        g_object_set(agent, "upnp", FALSE, nullptr);
        g_object_unref(agent);
        g_object_unref(ice);
        // Every stream of the agent ends in a fakesink that counts its packets.
        g_signal_connect(webrtc, "pad-added",
                         G_CALLBACK(+[](GstElement* webrtc, GstPad* pad, PeerCore* core) {
                             GstElement* sink = gst_element_factory_make("fakesink", nullptr);
                             g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
                             gst_bin_add(GST_BIN(GST_ELEMENT_PARENT(webrtc)), sink);
                             gst_element_sync_state_with_parent(sink);
                             gst_element_link_pads(webrtc, GST_PAD_NAME(pad), sink, "sink");
                             gst_pad_add_probe(
                                 pad, GST_PAD_PROBE_TYPE_BUFFER,
                                 [](GstPad*, GstPadProbeInfo*, gpointer core) {
                                     static_cast<PeerCore*>(core)->packets++;
                                     return GST_PAD_PROBE_OK;
                                 },
                                 core, nullptr);
                         }),
                         core);
        g_signal_connect(webrtc, "on-data-channel",
                         G_CALLBACK(+[](GstElement*, GObject* channel, PeerCore* core) {
                             g_signal_connect_swapped(
                                 channel, "on-message-string",
                                 G_CALLBACK(+[](PeerCore* core) { core->messages++; }), core);
                             core->channel = channel;
                         }),
                         core);
        // Without retransmission requests from this side: rtpsession releases its lock to
        // announce NACKs in the middle of walking its sources, and a source added meanwhile trips
        // a GLib critical in GStreamer 1.22 that has nothing to do with the agent.
        g_signal_connect(webrtc, "on-new-transceiver",
                         G_CALLBACK(+[](GstElement*, GObject* transceiver) {
                             g_object_set(transceiver, "do-nack", FALSE, nullptr);
                         }),
                         nullptr);
        return gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    }

    void stopPeer() {
        if (!pipeline) {
            return;
        }
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        pipeline = webrtc = nullptr;
        core = nullptr;
    }

    // Made on the spot: webrtcbin runs its operations on its own thread, which never waits for
    // this one.
    void answer(const QString& offerText) {
        GstSDPMessage* sdp = nullptr;
        gst_sdp_message_new_from_text(offerText.toUtf8().constData(), &sdp);
        GstWebRTCSessionDescription* desc =
            gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
        g_signal_emit_by_name(webrtc, "set-remote-description", desc, nullptr);
        gst_webrtc_session_description_free(desc);
        GstPromise* promise = gst_promise_new();
        g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise);
        desc = nullptr;
        if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
            gst_structure_get(gst_promise_get_reply(promise), "answer",
                              GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
        }
        gst_promise_unref(promise);
        if (desc) {
            g_signal_emit_by_name(webrtc, "set-local-description", desc, nullptr);
            gchar* text = gst_sdp_message_as_text(desc->sdp);
            const QString answer = QString::fromUtf8(text);
            sig.gstreamer.onSdpReceived(QStringLiteral("answer"),
                                        editAnswer ? editAnswer(answer) : answer);
            g_free(text);
            gst_webrtc_session_description_free(desc);
        }
    }

    SignallingRelay relay;
    WSSignalling sig;
    GstElement* pipeline = nullptr;  // the administrator's
    GstElement* webrtc = nullptr;
    PeerCore* core = nullptr;
    ConnectionState state = STATE_UNKNOWN;
    QString offer;
    QString (*editAnswer)(QString) = nullptr;  // what the administrator's side does to its answer
    QStringList errors;
    QList<ConnectionState> storedAtError;
    int disconnects = 0;
};

class MediaCall : public ::testing::Test {
protected:
    void SetUp() override {
        gst_init(nullptr, nullptr);
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            GTEST_SKIP() << "no X display";
        }
        configure("VP8", "OPUS", false);
    }
};

// Retransmission, the NACK, PLI and FIR feedback and transport-wide congestion control are
// announced for video. The peer's keyframe request (PLI) reaches the encoder, and a keyframe
// follows at once; packets sent before it are no longer retransmitted, those after it still are.
// x264enc's statistics go to a private directory removed with the pipeline, so a read-only working
// directory does not stop it.
TEST_F(MediaCall, OfferCarriesLossRecoveryAndKeyframesFollowRequests) {
    const QString cwd = QDir::currentPath();
    ASSERT_EQ(chdir("/proc"), 0);  // not writable, even for root
    for (const char* codec : {"VP8", "h264"}) {
        const bool h264 = codec == std::string("h264");
        configure(codec, "G711", true);
        Call c;
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(waitFor([&] { return c.core->packets >= 3; }, kCallMs)) << codec;
        const QString video = c.offer.section("m=", 1, 1);
        for (const char* line :
             {"a=rtcp-fb:96 nack\r", "a=rtcp-fb:96 nack pli\r", "a=rtcp-fb:96 ccm fir\r", "apt=96",
              "a=rtcp-fb:96 transport-cc\r",
              "a=extmap:1 "
              "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01"}) {
            EXPECT_TRUE(video.contains(line)) << codec << " lacks " << line;
        }
        EXPECT_FALSE(c.offer.section("m=", 2, 2).contains("nack")) << c.offer.toStdString();
        EXPECT_TRUE(c.offer.contains("m=application")) << c.offer.toStdString();

        GstElement* encoder =
            findByFactory(c.sig.gstreamer.currentPipeline(), h264 ? "x264enc" : "vp8enc");
        ASSERT_NE(encoder, nullptr);
        QString statsDir;
        if (h264) {
            gchar* file = nullptr;
            g_object_get(encoder, "multipass-cache-file", &file, nullptr);
            statsDir = QFileInfo(QString::fromUtf8(file)).absolutePath();
            g_free(file);
            ASSERT_TRUE(statsDir.startsWith(QDir::tempPath() + "/kelvano-x264-"));
            // rwx for its owner, this process, and no one else
            EXPECT_EQ(QFileInfo(statsDir).permissions(), QFile::Permissions(0x7700));
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
        // Retransmission requests sent into the retransmitter, as the transport hands them on.
        // A probe added after the agent's sees only those it lets through.
        GstElement* pipeline = c.sig.gstreamer.currentPipeline();
        GstElement* payloader = findByFactory(pipeline, h264 ? "rtph264pay" : "rtpvp8pay");
        GstElement* rtx = findByFactory(pipeline, "rtprtxsend");
        ASSERT_TRUE(payloader && rtx);
        const auto lastSent = [payloader] {
            guint seqnum = 0;
            g_object_get(payloader, "seqnum", &seqnum, nullptr);
            return seqnum;
        };
        // Every video packet asks the browser to show its frame without delay: extension 2,
        // both limits zero.
        std::atomic<int> withoutDelay{0};
        GstPad* paySrc = gst_element_get_static_pad(payloader, "src");
        gst_pad_add_probe(
            paySrc, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
            [](GstPad*, GstPadProbeInfo* info, gpointer count) {
                GstBuffer* packet =
                    info->type & GST_PAD_PROBE_TYPE_BUFFER
                        ? GST_PAD_PROBE_INFO_BUFFER(info)
                        : gst_buffer_list_get(GST_PAD_PROBE_INFO_BUFFER_LIST(info), 0);
                GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
                if (packet && gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp)) {
                    gpointer data = nullptr;
                    guint size = 0;
                    if (gst_rtp_buffer_get_extension_onebyte_header(&rtp, 2, 0, &data, &size) &&
                        size == 3 && !memcmp(data, "\0\0\0", 3)) {
                        ++*static_cast<std::atomic<int>*>(count);
                    }
                    gst_rtp_buffer_unmap(&rtp);
                }
                return GST_PAD_PROBE_OK;
            },
            &withoutDelay, nullptr);
        EXPECT_TRUE(waitFor([&] { return withoutDelay > 0; }, kCallMs)) << codec;
        GstPad* rtxSrc = gst_element_get_static_pad(rtx, "src");
        std::atomic<int> passed{0};
        gst_pad_add_probe(
            rtxSrc, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
            [](GstPad*, GstPadProbeInfo* info, gpointer passed) {
                if (gst_event_has_name(GST_PAD_PROBE_INFO_EVENT(info),
                                       "GstRTPRetransmissionRequest")) {
                    ++*static_cast<std::atomic<int>*>(passed);
                }
                return GST_PAD_PROBE_OK;
            },
            &passed, nullptr);
        const auto served = [rtxSrc, &passed](guint seqnum) {
            const int before = passed;
            gst_pad_send_event(
                rtxSrc,
                gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM,
                                     gst_structure_new("GstRTPRetransmissionRequest", "seqnum",
                                                       G_TYPE_UINT, seqnum, nullptr)));
            return passed > before;
        };
        // Count from a quiet moment: no keyframe for a while.
        const int quiet = counts.keyframes;
        EXPECT_FALSE(waitFor([&] { return counts.keyframes != quiet; }, 500)) << codec;
        const guint beforeKeyframe = lastSent();
        EXPECT_TRUE(served(beforeKeyframe)) << codec;
        // Upstream through each of the peer's source pads, the way a decoder asks after a loss.
        gst_element_foreach_src_pad(
            c.webrtc,
            [](GstElement*, GstPad* pad, gpointer) -> gboolean {
                gst_pad_send_event(
                    pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
                return TRUE;
            },
            nullptr);
        EXPECT_TRUE(waitFor([&] { return counts.requests >= 1; }, 5000)) << codec;
        EXPECT_TRUE(waitFor([&] { return counts.keyframes > quiet; }, 1000)) << codec;
        // The picture starts again from the keyframe: once it is out (frames encoded before the
        // request may still go first), what came before is not sent again.
        EXPECT_TRUE(waitFor([&] { return !served(beforeKeyframe); }, 2000)) << codec;
        EXPECT_TRUE(served(lastSent())) << codec;
        c.stop();
        gst_object_unref(rtxSrc);
        gst_object_unref(paySrc);
        gst_object_unref(src);
        EXPECT_FALSE(QFileInfo::exists(statsDir)) << codec;
    }
    ASSERT_EQ(chdir(cwd.toUtf8().constData()), 0);
}

// The administrator closing the data channel, or breaking it, ends the call with the channel's
// text; the stored call state is left at 0.
TEST_F(MediaCall, DataChannelEndOrErrorEndsTheCall) {
    for (bool broken : {false, true}) {
        Call c;
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(waitFor([&] { return c.core->messages > 0; }, kCallMs));
        GObject* channel = c.core->channel;
        if (broken) {
            // The next message gets an SCTP payload protocol id no data channel knows.
            GstElement* sctpenc = findByFactory(c.pipeline, "sctpenc");
            gst_pad_add_probe(
                GST_PAD(sctpenc->sinkpads->data), GST_PAD_PROBE_TYPE_BUFFER,
                [](GstPad*, GstPadProbeInfo* info, gpointer) {
                    GstMeta* meta = gst_buffer_get_meta(GST_PAD_PROBE_INFO_BUFFER(info),
                                                        gst_sctp_send_meta_api_get_type());
                    if (!meta) {
                        return GST_PAD_PROBE_OK;
                    }
                    reinterpret_cast<GstSctpSendMeta*>(meta)->ppid = 4242;
                    return GST_PAD_PROBE_REMOVE;
                },
                nullptr, nullptr);
            g_signal_emit_by_name(channel, "send-string", "garbage");
        } else {
            g_signal_emit_by_name(channel, "close");
        }
        ASSERT_TRUE(waitFor([&] { return c.disconnects > 0; }, kCallMs));
        const QString text = broken ? "Data channel error" : "Completed by the opposite side";
        EXPECT_EQ(c.errors, (QStringList{text, kClosed}));
        EXPECT_EQ(c.storedAtError.first(), STATE_UNKNOWN);
    }
}

// Failures after the start end the call with their own text instead of leaving it started: an
// answer that refuses the video, an answer webrtcbin cannot apply, an element's error mid-call.
TEST_F(MediaCall, FailuresAfterTheStartEndTheCallWithTheirText) {
    const struct {
        const char* name;
        QString (*editAnswer)(QString);
        const char* text;
    } rows[] = {
        {"video refused",
         [](QString a) { return a.replace(QRegularExpression("m=video \\d+"), "m=video 0"); },
         GStreamer::kErrVideoRefused},
        {"answer refused",
         [](QString a) { return a.remove(QRegularExpression("a=fingerprint:[^\r\n]*\r\n")); },
         GStreamer::kErrAnswerRefused},
        {"pipeline error", nullptr, GStreamer::kErrPipeline},
    };
    for (const auto& row : rows) {
        Call c;
        c.editAnswer = row.editAnswer;
        ASSERT_TRUE(c.start());
        if (!row.editAnswer) {
            ASSERT_TRUE(waitFor([&] { return c.core->packets > 0; }, kCallMs));
            GstElement* encoder = findByFactory(c.sig.gstreamer.currentPipeline(), "vp8enc");
            GError* error = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_ENCODE, "test");
            gst_element_post_message(encoder,
                                     gst_message_new_error(GST_OBJECT(encoder), error, "test"));
            g_error_free(error);
        }
        ASSERT_TRUE(waitFor([&] { return c.disconnects > 0; }, kCallMs)) << row.name;
        EXPECT_EQ(c.errors, (QStringList{row.text, kClosed})) << row.name;
        if (row.editAnswer) {
            EXPECT_NE(c.state, PEER_CALL_STARTED) << row.name;
        }
    }
}

// An error the previous call's pipeline queued just before the user dropped it neither shows up
// afterwards nor ends the next call.
TEST_F(MediaCall, AQueuedErrorOfTheLastCallIsDropped) {
    Call c;
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(waitFor([&] { return c.core->packets > 0; }, kCallMs));
    GstElement* pipeline = c.sig.gstreamer.currentPipeline();
    GError* error = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, "late");
    LogCapture log;
    gst_element_post_message(pipeline, gst_message_new_error(GST_OBJECT(pipeline), error, ""));
    g_error_free(error);
    // The media object's thread has queued the error (its log line follows), and this thread,
    // outside its event loop, drops the call first.
    QElapsedTimer queued;
    queued.start();
    while (!log.contains("GStreamer error from") && queued.elapsed() < 5000) {
        QThread::yieldCurrentThread();
    }
    ASSERT_TRUE(log.contains("GStreamer error from"));
    c.stop();
    ASSERT_TRUE(waitFor([&] { return c.disconnects > 0; }, kCallMs));
    EXPECT_EQ(c.errors, QStringList{kClosed});
    ASSERT_TRUE(c.start());
    EXPECT_TRUE(
        waitFor([&] { return c.state == PEER_CALL_STARTED && c.core->packets > 0; }, kCallMs));
    EXPECT_TRUE(c.errors.isEmpty());
}

// Sessions one after another on the same channel, as the window runs them; every other one is
// dropped by the user while the offer is still out. Each ends with the closure text only.
TEST_F(MediaCall, SessionsDroppedWhileNegotiatingOrInCall) {
    Call c;
    for (int round = 0; round < 20; ++round) {
        const bool negotiating = round % 2;
        ASSERT_TRUE(c.start());
        if (negotiating) {
            c.stopPeer();  // no answer: the offer stays out
        }
        ASSERT_TRUE(waitFor(
            [&] {
                return negotiating ? !c.offer.isEmpty()
                                   : c.state == PEER_CALL_STARTED && c.core->packets > 0;
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
    ASSERT_TRUE(waitFor([&] { return c.core->packets > 0; }, kCallMs));
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
    EXPECT_TRUE(waitFor([&] { return c.core->packets >= 1; }, kCallMs));
}

int threadCount() {
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

std::atomic<int> livePipelines{0};

// Where a session is torn down; the later ones have callbacks and promises in flight. The last
// is left to destruction alone.
bool (*const kCuts[])(const Call&) = {
    [](const Call&) { return true; },
    [](const Call& c) { return c.sig.gstreamer.currentConnState() >= PEER_CALL_NEGOTIATING; },
    [](const Call& c) { return !c.offer.isEmpty(); },
    [](const Call& c) { return c.state == PEER_CALL_STARTED; },
    [](const Call& c) { return c.core->packets > 0 && c.core->messages > 0; },
    [](const Call& c) { return c.core->packets > 0 && c.core->messages > 0; },
};
constexpr int kCutCount = int(std::size(kCuts));

class MediaStress : public MediaCall {};

// Tearing sessions down at any point of the negotiation leaves no crash, no running thread and
// no session left alive.
TEST_F(MediaStress, HundredSessionsTornDownAnywhere) {
    int threadsAfterWarmUp = 0;
    for (int i = 0; i < 100; ++i) {
        const int cut = i % kCutCount;
        // Alternate the codecs so that both encoders and both audio paths are torn down.
        configure(i % 2 ? "h264" : "VP8", i % 3 ? "OPUS" : "G711", i % 4 != 0);
        auto c = std::make_unique<Call>();
        ASSERT_TRUE(c->start()) << "cycle " << i;
        ASSERT_TRUE(waitFor([&] { return c->sig.gstreamer.currentPipeline(); }, kCallMs));
        livePipelines++;
        g_object_weak_ref(
            G_OBJECT(c->sig.gstreamer.currentPipeline()),
            [](gpointer, GObject*) { livePipelines--; }, nullptr);
        ASSERT_TRUE(waitFor([&] { return kCuts[cut](*c); }, kCallMs))
            << "cycle " << i << " cut " << cut;
        // Otherwise destruction alone must stop the GLib thread and cut the callbacks off.
        if (cut != kCutCount - 1) {
            c->stopPeer();
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
