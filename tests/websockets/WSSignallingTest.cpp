// The signalling protocol against the loopback relay. Where a state is reached only through the
// media object (negotiation, answer applied), the test emits the media object's own signals, as
// webrtcbin's callbacks would.
#include "WSSignalling.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <memory>

#include "LogCapture.h"
#include "QtPrinters.h"
#include "SignallingRelay.h"
#include "WaitFor.h"

namespace {

const QString kClosed = QStringLiteral("Connection with the server is closed");

class SignallingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(relay.listen());
        auto& p = GlobalSettings::instance().connectionParams;
        saved = p;
        p.serverUrl = relay.serverUrl().toStdString();
        p.sessionId = "4711";
        p.disableSsl = false;
    }

    void TearDown() override {
        sig.reset();
        GlobalSettings::instance().connectionParams = saved;
    }

    // Builds the channel and records what it tells the outside world, in order. At each error
    // the stored state and the media object's copy are recorded too.
    void build() {
        sig = std::make_unique<WSSignalling>();
        WSSignalling* s = sig.get();
        QObject::connect(s, &WSSignalling::connStateChanged, s, [this](ConnectionState st) {
            events << QStringLiteral("state:%1").arg(int(st));
        });
        QObject::connect(s, &WSSignalling::errorOccured, s, [this, s](const char* msg) {
            errors << QString::fromUtf8(msg);
            events << QStringLiteral("error:%1").arg(QString::fromUtf8(msg));
            storedAtError << s->connectionState();
            mediaAtError << s->gstreamer.currentConnState();
        });
        QObject::connect(s, &WSSignalling::wsConnected, s,
                         [this] { events << QStringLiteral("connected"); });
        QObject::connect(s, &WSSignalling::wsDisconnected, s,
                         [this] { events << QStringLiteral("disconnected"); });
    }

    // Connects as the main window does and waits for the given state.
    void connectUntil(ConnectionState state) {
        if (!sig) {
            build();
        }
        sig->setConnState(SERVER_CONNECTING);
        ASSERT_TRUE(sig->webSocket.wsConnect());
        ASSERT_TRUE(waitFor([&] { return sig->connectionState() == state; }))
            << "stuck in " << int(sig->connectionState());
        QCoreApplication::processEvents();
    }

    // Plays webrtcbin asking for negotiation, from the given state on.
    void negotiate() {
        emit sig->gstreamer.connStateChanged(PEER_CALL_NEGOTIATING);
        ASSERT_EQ(sig->connectionState(), PEER_CALL_NEGOTIATING);
    }

    bool waitDisconnected() {
        return waitFor([&] { return events.contains(QStringLiteral("disconnected")); });
    }

    SignallingRelay relay;
    ConnectionParams saved;
    std::unique_ptr<WSSignalling> sig;
    QStringList events;
    QStringList errors;
    QList<ConnectionState> storedAtError;
    QList<ConnectionState> mediaAtError;
};

TEST_F(SignallingTest, RegistersAndJoinsTheSession) {
    relay.acceptedSession = QStringLiteral("4711");
    connectUntil(PEER_CONNECTED);
    EXPECT_EQ(events, (QStringList{"state:1000", "state:1002", "state:2000", "connected",
                                   "state:2002", "state:3000", "state:3002"}));
    EXPECT_EQ(relay.agentMessages,
              (QStringList{QStringLiteral("HELLO %1").arg(relay.agentPeerId), "SESSION 4711"}));
    EXPECT_EQ(sig->gstreamer.currentConnState(), PEER_CONNECTED);
}

struct Fault {
    const char* name;
    ConnectionState stage;  // where the call is when the fault happens
    const char* message;  // from the server; "media:sdp", "media:ice", "media:fail" from the media
    const char* text;
    ConnectionState stored;
    int notified;  // state notified by the fault itself, or -1
};

class SignallingFaultTest : public SignallingTest, public ::testing::WithParamInterface<Fault> {
protected:
    void inject(const QString& message) {
        if (message == QLatin1String("media:sdp")) {
            emit sig->gstreamer.sendSdpToPeer(QStringLiteral("v=0"), QStringLiteral("offer"));
        } else if (message == QLatin1String("media:ice")) {
            emit sig->gstreamer.IceCandidate(0, QStringLiteral("candidate:1"));
        } else if (message == QLatin1String("media:fail")) {
            emit sig->gstreamer.mainLoopTerminate("Cannot reply on the offer, not in call",
                                                  STATE_ERROR);
        } else {
            relay.sendToAgent(message);
        }
    }
};

// Each fault ends the call: its text, then the closure text, then wsDisconnected; the stored state
// is written silently; the socket is closed with 1000.
TEST_P(SignallingFaultTest, EndsTheCallWithItsTextAndState) {
    const Fault& f = GetParam();
    build();
    if (f.stage == SERVER_REGISTERING) {
        relay.answerHello = false;
    } else {
        relay.answerSession = false;
    }
    connectUntil(f.stage == SERVER_REGISTERING ? SERVER_REGISTERING : PEER_CONNECTING);
    if (f.stage >= PEER_CALL_NEGOTIATING) {
        negotiate();
    }
    if (f.stage == PEER_CALL_STARTED) {
        emit sig->gstreamer.connStateChanged(PEER_CALL_STARTED);
    }
    ASSERT_EQ(sig->connectionState(), f.stage);
    const ConnectionState mediaBefore = sig->gstreamer.currentConnState();
    events.clear();

    inject(QString::fromUtf8(f.message));
    ASSERT_TRUE(waitDisconnected()) << f.name;

    QStringList expected;
    if (f.notified >= 0) {
        expected << QStringLiteral("state:%1").arg(f.notified);
    }
    expected << QStringLiteral("error:%1").arg(QString::fromUtf8(f.text))
             << QStringLiteral("state:2003") << QStringLiteral("error:") + kClosed
             << QStringLiteral("disconnected");
    EXPECT_EQ(events, expected) << f.name;
    ASSERT_FALSE(storedAtError.isEmpty());
    EXPECT_EQ(storedAtError.first(), f.stored) << f.name;
    EXPECT_EQ(mediaAtError.first(), f.notified >= 0 ? ConnectionState(f.notified) : mediaBefore)
        << f.name;
    EXPECT_EQ(sig->connectionState(), SERVER_CLOSED);
    ASSERT_TRUE(waitFor([&] { return !relay.agentCloseCodes.isEmpty(); }));
    EXPECT_EQ(relay.agentCloseCodes.last(), 1000);
}

const char kSdpAnswer[] = R"({"sdp":{"sdp":"v=0\r\n","type":"answer"}})";

INSTANTIATE_TEST_SUITE_P(
    Protocol, SignallingFaultTest,
    ::testing::Values(
        Fault{"HELLO twice", PEER_CONNECTING, "HELLO",
              "ERROR: Received HELLO message in not registering state", STATE_ERROR, -1},
        Fault{"SESSION_OK before HELLO", SERVER_REGISTERING, "SESSION_OK",
              "ERROR: Received SESSION_OK in not PEER_CONNECTING state", PEER_CONNECTION_ERROR, -1},
        Fault{"ERROR while registering", SERVER_REGISTERING, "ERROR peer id taken",
              "ERROR peer id taken", STATE_ERROR, SERVER_REGISTRATION_ERROR},
        Fault{"ERROR prefix of a longer word", PEER_CONNECTING, "ERRORS: session 4711 not found",
              "ERRORS: session 4711 not found", STATE_ERROR, PEER_CONNECTION_ERROR},
        Fault{"ERROR while negotiating", PEER_CALL_NEGOTIATING, "ERROR peer left",
              "ERROR peer left", STATE_ERROR, PEER_CALL_ERROR},
        Fault{"ERROR during the call", PEER_CALL_STARTED, "ERROR kicked", "ERROR kicked",
              STATE_ERROR, STATE_ERROR},
        Fault{"SDP before negotiation", PEER_CONNECTING, kSdpAnswer,
              "ERROR: received SDP message in not PEER_CALL_NEGOTIATING state", STATE_ERROR, -1},
        Fault{"SDP offer during the call", PEER_CALL_STARTED,
              R"({"sdp":{"sdp":"v=0","type":"offer"}})",
              "ERROR: received SDP message in not PEER_CALL_NEGOTIATING state", STATE_ERROR, -1},
        Fault{"SDP without type", PEER_CALL_NEGOTIATING, R"({"sdp":{"sdp":"v=0"}})",
              "ERROR: received SDP message without the type or body", PEER_CALL_ERROR, -1},
        Fault{"SDP without body", PEER_CALL_NEGOTIATING, R"({"sdp":{"type":"answer"}})",
              "ERROR: received SDP message without the type or body", PEER_CALL_ERROR, -1},
        Fault{"SDP body not a string", PEER_CALL_NEGOTIATING,
              R"({"sdp":{"sdp":{"v":0},"type":"answer"}})",
              "ERROR: received SDP message without the type or body", PEER_CALL_ERROR, -1},
        Fault{"unparsable SDP answer", PEER_CALL_NEGOTIATING,
              R"({"sdp":{"sdp":"this is no SDP","type":"answer"}})",
              "ERROR: could not parse the text buffer into an SDP message", STATE_ERROR, -1},
        Fault{"media sends SDP before negotiation", PEER_CONNECTING, "media:sdp",
              "Cannot send SDP to peer, not in call", STATE_ERROR, -1},
        Fault{"media sends ICE before negotiation", PEER_CONNECTING, "media:ice",
              "Cannot send ICE, not in call", STATE_ERROR, -1},
        Fault{"media reports a failure", PEER_CALL_NEGOTIATING, "media:fail",
              "Cannot reply on the offer, not in call", STATE_ERROR, -1}),
    [](const ::testing::TestParamInfo<Fault>& info) {
        QString name = QString::fromLatin1(info.param.name);
        name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")), QStringLiteral("_"));
        return name.toStdString();
    });

TEST_F(SignallingTest, ServerClosingTheSocketEndsTheSession) {
    for (bool abort : {false, true}) {
        relay.answerSession = false;
        connectUntil(PEER_CONNECTING);
        events.clear();
        abort ? relay.abortAgent() : relay.closeAgent();
        ASSERT_TRUE(waitDisconnected());
        QStringList expected{"state:2003", "error:" + kClosed, "disconnected"};
        if (abort) {
            // Without a closing handshake the socket reports its own error first.
            expected.prepend(QStringLiteral("error:") + sig->webSocket.errorString());
        }
        EXPECT_EQ(events, expected) << "abort " << abort;
        EXPECT_EQ(sig->gstreamer.currentConnState(), SERVER_CLOSED);
        events.clear();
    }
}

// Unknown messages, and candidates of any shape before there is a pipeline, are ignored: the
// session goes on and still completes its join.
TEST_F(SignallingTest, UnknownMessagesAndEarlyCandidatesAreIgnored) {
    const char* rows[] = {
        "hello",
        "SESSION_OK ",
        "{\"sdp\":",
        "[]",
        "{}",
        "{\"sdp\":\"v=0\"}",
        "{\"sdp\":null,\"ice\":7}",
        R"({"ice":{"candidate":"candidate:1 1 UDP 2122260223 127.0.0.2 40000 typ host","sdpMLineIndex":0}})",
        R"({"ice":{}})",
        R"({"ice":{"candidate":5,"sdpMLineIndex":"x"}})",
        R"({"ice":{"candidate":"c","sdpMLineIndex":-1}})",
        R"({"ice":{"candidate":"c","sdpMLineIndex":1.5}})",
        R"({"ice":{"candidate":"c","sdpMLineIndex":4294967296}})",
        R"({"ice":{"candidate":"c\u0000d","sdpMLineIndex":4294967295}})",
    };
    relay.answerSession = false;
    connectUntil(PEER_CONNECTING);
    events.clear();
    LogCapture log;
    for (const char* row : rows) {
        relay.sendToAgent(QString::fromUtf8(row));
    }
    ASSERT_TRUE(waitFor([&] { return log.contains(QString::fromUtf8(rows[13])); }));
    EXPECT_TRUE(events.isEmpty());
    relay.sendToAgent(QStringLiteral("SESSION_OK"));
    ASSERT_TRUE(waitFor([&] { return sig->connectionState() == PEER_CONNECTED; }));
}

// Compact JSON, keys in alphabetical order, the index as a JSON integer.
TEST_F(SignallingTest, OutgoingSdpAndIceHaveTheExactShape) {
    relay.answerSession = false;
    connectUntil(PEER_CONNECTING);
    negotiate();
    const QString sdp = QStringLiteral("v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\n");
    emit sig->gstreamer.sendSdpToPeer(sdp, QStringLiteral("offer"));
    emit sig->gstreamer.IceCandidate(
        1, QStringLiteral("candidate:1 1 UDP 2122260223 127.0.0.2 40000 typ host"));
    emit sig->gstreamer.connStateChanged(PEER_CALL_STARTED);
    emit sig->gstreamer.IceCandidate(0, QStringLiteral("candidate:\"q\""));
    emit sig->gstreamer.sendSdpToPeer(QStringLiteral("v=0"), QStringLiteral("answer"));
    ASSERT_TRUE(waitFor([&] { return relay.agentMessages.size() == 6; }));
    EXPECT_EQ(relay.agentMessages[2],
              QStringLiteral(
                  R"({"sdp":{"sdp":"v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\n","type":"offer"}})"));
    EXPECT_EQ(
        relay.agentMessages[3],
        QStringLiteral(
            R"({"ice":{"candidate":"candidate:1 1 UDP 2122260223 127.0.0.2 40000 typ host","sdpMLineIndex":1}})"));
    EXPECT_EQ(relay.agentMessages[4],
              QStringLiteral(R"({"ice":{"candidate":"candidate:\"q\"","sdpMLineIndex":0}})"));
    EXPECT_EQ(relay.agentMessages[5], QStringLiteral(R"({"sdp":{"sdp":"v=0","type":"answer"}})"));
    EXPECT_TRUE(errors.isEmpty());
}

// SDP and ICE that the pipeline produces after its call ended are dropped, not reported: the
// user would otherwise see a misleading second error after the real one.
TEST_F(SignallingTest, LateMediaOutputAfterTheCallEndedIsDropped) {
    relay.answerSession = false;
    connectUntil(PEER_CONNECTING);
    negotiate();
    relay.closeAgent();
    ASSERT_TRUE(waitDisconnected());
    errors.clear();
    emit sig->gstreamer.IceCandidate(0, QStringLiteral("candidate:1"));
    emit sig->gstreamer.sendSdpToPeer(QStringLiteral("v=0"), QStringLiteral("offer"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(SignallingTest, SocketErrorTextReachesTheUserAndKeepsTheState) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();  // nothing listens there now
    GlobalSettings::instance().connectionParams.serverUrl =
        QStringLiteral("http://127.0.0.1:%1").arg(port).toStdString();
    build();
    sig->setConnState(SERVER_CONNECTING);
    ASSERT_TRUE(sig->webSocket.wsConnect());
    ASSERT_TRUE(waitFor([&] { return errors.contains(QStringLiteral("Connection refused")); }));
    // The socket reports the failed opening as a disconnection first; the reason comes last, so
    // that it is what the user is left with. The error itself changes no state.
    EXPECT_EQ(events, (QStringList{"state:1000", "state:2003", "error:" + kClosed, "disconnected",
                                   "error:Connection refused"}));
    EXPECT_EQ(sig->connectionState(), SERVER_CLOSED);
}

}  // namespace
