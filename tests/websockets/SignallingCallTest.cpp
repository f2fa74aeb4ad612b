// Whole sessions under Xvfb inside the private network: the agent's signalling channel and real
// capture pipeline, the loopback relay, and an in-process answering webrtcbin as administrator.
#include <gtest/gtest.h>

#include "MediaHarness.h"
#include "QtPrinters.h"
#include "SignallingRelay.h"
#include "WSSignalling.h"
#include "WaitFor.h"

namespace {

constexpr int kCallMs = 60000;
const QString kClosed = QStringLiteral("Connection with the server is closed");

// Plays the main window: starts a session, and on any error or closure tears it down in the
// order the window does (pipeline, GLib thread, socket).
class Agent {
public:
    Agent() {
        QObject::connect(&sig, &WSSignalling::connStateChanged, &sig, [this](ConnectionState s) {
            states << s;
            last = s;
        });
        QObject::connect(&sig, &WSSignalling::errorOccured, &sig, [this](const char* msg) {
            errors << QString::fromUtf8(msg);
            storedAtError << sig.connectionState();
            disconnect();
        });
        QObject::connect(&sig, &WSSignalling::wsDisconnected, &sig, [this] {
            ++disconnects;
            disconnect();
        });
    }
    ~Agent() { disconnect(); }

    bool start() {
        states.clear();
        errors.clear();
        storedAtError.clear();
        disconnects = 0;
        sig.setConnState(SERVER_CONNECTING);
        if (!sig.webSocket.wsConnect()) {
            return false;
        }
        sig.gstreamer.startGlibThread();
        return true;
    }

    void disconnect() {
        sig.gstreamer.screenPipelineStop(true);
        sig.gstreamer.stopGlibThread();
        if (sig.webSocket.state() == QAbstractSocket::ConnectedState) {
            sig.webSocket.close();
        }
    }

    WSSignalling sig;
    QList<ConnectionState> states;
    ConnectionState last = STATE_UNKNOWN;
    QStringList errors;
    QList<ConnectionState> storedAtError;
    int disconnects = 0;
};

class SignallingCall : public ::testing::Test {
protected:
    void SetUp() override {
        media_test::initMedia();
        if (media_test::xScreen().width == 0) {
            GTEST_SKIP() << "no X display";
        }
        media_test::configure("VP8", "OPUS", false, {0, 0, 320, 240});
        ASSERT_TRUE(relay.listen());
        auto& p = GlobalSettings::instance().connectionParams;
        p.serverUrl = relay.serverUrl().toStdString();
        p.sessionId = "4711";
        p.disableSsl = false;
        relay.acceptedSession = QStringLiteral("4711");
    }

    SignallingRelay relay;
};

TEST_F(SignallingCall, AdministratorClosingTheDataChannelEndsTheSession) {
    WebRtcPeer peer;
    ASSERT_TRUE(peer.start());
    relay.attachAdministrator(&peer);
    Agent agent;
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(waitFor([&] { return peer.messages().size() >= 2; }, kCallMs));
    peer.closeDataChannel();
    ASSERT_TRUE(waitFor([&] { return agent.disconnects > 0; }, kCallMs));
    EXPECT_EQ(agent.errors, (QStringList{"Completed by the opposite side", kClosed}));
    EXPECT_EQ(agent.storedAtError.first(), STATE_UNKNOWN);
    ASSERT_TRUE(waitFor([&] { return !relay.agentCloseCodes.isEmpty(); }));
    EXPECT_EQ(relay.agentCloseCodes.last(), 1000);
}

// Sessions one after another on the same channel, as the window runs them; every other one is
// dropped by the user while the offer is still out. Each ends with the closure text only.
TEST_F(SignallingCall, SessionsDroppedWhileNegotiatingOrInCall) {
    WebRtcPeer peer;
    relay.attachAdministrator(&peer);
    Agent agent;
    for (int round = 0; round < 20; ++round) {
        const bool midNegotiation = round % 2 == 1;
        ASSERT_TRUE(peer.start());
        relay.answerSession = true;
        ASSERT_TRUE(agent.start());
        if (midNegotiation) {
            ASSERT_TRUE(waitFor([&] { return agent.last == PEER_CALL_NEGOTIATING; }, kCallMs))
                << "round " << round;
        } else {
            ASSERT_TRUE(waitFor([&] { return agent.last == PEER_CALL_STARTED; }, kCallMs))
                << "round " << round << " state " << agent.last;
            ASSERT_TRUE(waitFor([&] { return peer.videoFrames() >= 1; }, kCallMs));
        }
        agent.disconnect();
        ASSERT_TRUE(waitFor([&] { return agent.disconnects > 0; }, kCallMs));
        EXPECT_EQ(agent.errors, QStringList{kClosed}) << "round " << round;
        EXPECT_FALSE(agent.sig.gstreamer.glibThreadRunning());
        peer.stop();
    }
}

}  // namespace
