// The whole call path: WSSignalling with its media object against the loopback relay, and the
// in-process administrator peer behind the relay. Runs under Xvfb inside the private network.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "MediaHarness.h"
#include "SignallingRelay.h"
#include "WSSignalling.h"

using namespace media_test;

namespace {

constexpr int kCallMs = 60000;

class MediaSignalling : public ::testing::Test {
protected:
    void SetUp() override {
        initMedia();
        screen = xScreen();
        if (screen.width == 0) {
            GTEST_SKIP() << "no X display";
        }
        ASSERT_TRUE(relay.listen());
        auto& p = GlobalSettings::instance().connectionParams;
        saved = p;
        p.serverUrl = relay.serverUrl().toStdString();
        p.sessionId = "4711";
        p.disableSsl = false;
        relay.acceptedSession = QStringLiteral("4711");

        // The administrator behind the relay.
        relay.attachAdministrator(&peer);
    }

    void TearDown() override { GlobalSettings::instance().connectionParams = saved; }

    // Starts a session as the main window does.
    void connectSession(WSSignalling& sig) {
        ASSERT_TRUE(peer.start());
        sig.setConnState(SERVER_CONNECTING);
        ASSERT_TRUE(sig.webSocket.wsConnect());
        sig.gstreamer.startGlibThread();
    }

    // Ends it as the main window's disconnect does.
    void disconnectSession(WSSignalling& sig) {
        peer.stop();
        sig.gstreamer.screenPipelineStop(true);
        sig.gstreamer.stopGlibThread();
        sig.webSocket.close();
    }

    ScreenSpecs screen;
    SignallingRelay relay;
    WebRtcPeer peer;
    ConnectionParams saved;
};

TEST_F(MediaSignalling, ScreenReachesTheAdministratorThroughTheRelay) {
    configure("VP8", "OPUS", true, screen);
    WSSignalling sig;
    QStringList errors;
    QObject::connect(&sig, &WSSignalling::errorOccured, &sig,
                     [&](const char* msg) { errors << QString::fromUtf8(msg); });
    connectSession(sig);
    ASSERT_TRUE(waitFor([&] { return sig.connectionState() == PEER_CALL_STARTED; }, kCallMs))
        << "state " << sig.connectionState() << " " << errors.join("; ").toStdString();
    ASSERT_TRUE(waitFor([&] { return peer.videoFrames() >= 3; }, kCallMs));
    EXPECT_EQ(peer.videoWidth(), screen.width);
    EXPECT_EQ(peer.videoHeight(), screen.height);
    EXPECT_TRUE(waitFor([&] { return peer.audioPackets() >= 5; }, kCallMs));
    ASSERT_TRUE(waitFor([&] { return peer.messages().size() >= 2; }, kCallMs));
    EXPECT_EQ(peer.messages()[0].data, QByteArray("Hi! from the GStreamer client"));
    EXPECT_EQ(peer.messages()[1].data, QByteArray("data", 4));
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();

    // The administrator hangs up by closing the data channel.
    peer.closeDataChannel();
    ASSERT_TRUE(waitFor([&] { return errors.size() >= 2; }, kCallMs));
    EXPECT_EQ(errors, (QStringList{"Completed by the opposite side",
                                   "Connection with the server is closed"}));
    disconnectSession(sig);
}

// One signalling object carries consecutive sessions, each with a pipeline of its own.
TEST_F(MediaSignalling, ConsecutiveSessionsOnOneChannel) {
    configure("h264", "G711", true, {0, 0, 320, 240});
    WSSignalling sig;
    for (int i = 0; i < 3; ++i) {
        connectSession(sig);
        ASSERT_TRUE(waitFor([&] { return sig.connectionState() == PEER_CALL_STARTED; }, kCallMs))
            << "session " << i << " state " << sig.connectionState();
        ASSERT_TRUE(waitFor([&] { return peer.videoFrames() >= 1; }, kCallMs)) << "session " << i;
        disconnectSession(sig);
        ASSERT_TRUE(waitFor([&] { return sig.connectionState() == SERVER_CLOSED; }, kCallMs));
    }
}

}  // namespace
