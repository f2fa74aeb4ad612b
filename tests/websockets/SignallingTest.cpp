// The signalling channel against the loopback relay, and its socket against scripted servers.
// Where a state is reached only through the media object (negotiation), the test emits the media
// object's own signals, as webrtcbin's callbacks would.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <algorithm>
#include <memory>

#include "HttpTestServer.h"
#include "LogCapture.h"
#include "SignallingRelay.h"
#include "WSSignalling.h"
#include "WaitFor.h"

namespace {

const QString kClosed = QStringLiteral("Connection with the server is closed");

void setServerUrl(const QString& url) {
    GlobalSettings::instance().connectionParams.serverUrl = url.toStdString();
}

class SignallingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(relay.listen());
        setServerUrl(relay.serverUrl());
        GlobalSettings::instance().connectionParams.sessionId = "4711";
        GlobalSettings::instance().connectionParams.disableSsl = false;
    }

    // Connects as the main window does and waits for the state; the media object's negotiation
    // and call are announced with its own signal. What the channel tells the outside world is
    // recorded in order, and at each error the stored state and the media object's copy.
    void connectUntil(ConnectionState state) {
        relay.answers = state == SERVER_REGISTERING ? 0 : 1;
        sig = std::make_unique<WSSignalling>();
        WSSignalling* s = sig.get();
        QObject::connect(s, &WSSignalling::connStateChanged, s,
                         [this](ConnectionState st) { events << QString("state:%1").arg(st); });
        QObject::connect(s, &WSSignalling::errorOccured, s, [this, s](const char* msg) {
            events << QStringLiteral("error:") + msg;
            storedAtError << s->connectionState();
            mediaAtError << s->gstreamer.currentConnState();
        });
        QObject::connect(s, &WSSignalling::wsDisconnected, s, [this] { events << "disconnected"; });
        sig->setConnState(SERVER_CONNECTING);
        ASSERT_TRUE(sig->webSocket.wsConnect());
        const ConnectionState before = std::min(state, PEER_CONNECTING);
        ASSERT_TRUE(waitFor([&] { return sig->connectionState() == before; }))
            << "stuck in " << sig->connectionState();
        for (ConnectionState s : {PEER_CALL_NEGOTIATING, PEER_CALL_STARTED}) {
            if (state >= s) {
                emit sig->gstreamer.connStateChanged(s);
            }
        }
        ASSERT_EQ(sig->connectionState(), state);
        QCoreApplication::processEvents();
        events.clear();
    }

    SignallingRelay relay;
    std::unique_ptr<WSSignalling> sig;
    QStringList events;
    QList<ConnectionState> storedAtError;
    QList<ConnectionState> mediaAtError;
};

// Each fault ends the call: its text, then the closure text, then wsDisconnected; the stored state
// is written silently; the socket is closed with 1000. A message "media:..." comes from the media
// object, any other from the server.
TEST_F(SignallingTest, FaultsEndTheCallWithTheirTextAndState) {
    const struct {
        ConnectionState stage;  // where the call is when the fault happens
        const char* message;
        const char* text;
        ConnectionState stored;
        int notified;  // state notified by the fault itself, or -1
    } rows[] = {
        {PEER_CONNECTING, "HELLO", "ERROR: Received HELLO message in not registering state",
         STATE_ERROR, -1},
        {SERVER_REGISTERING, "SESSION_OK",
         "ERROR: Received SESSION_OK in not PEER_CONNECTING state", PEER_CONNECTION_ERROR, -1},
        {SERVER_REGISTERING, "ERROR peer id taken", "ERROR peer id taken", STATE_ERROR,
         SERVER_REGISTRATION_ERROR},
        {PEER_CONNECTING, "ERRORS: no session", "ERRORS: no session", STATE_ERROR,
         PEER_CONNECTION_ERROR},
        {PEER_CALL_STARTED, "ERROR kicked", "ERROR kicked", STATE_ERROR, STATE_ERROR},
        {PEER_CONNECTING, R"({"sdp":{"sdp":"v=0","type":"answer"}})",
         "ERROR: received SDP message in not PEER_CALL_NEGOTIATING state", STATE_ERROR, -1},
        {PEER_CALL_NEGOTIATING, R"({"sdp":{"sdp":"v=0"}})",
         "ERROR: received SDP message without the type or body", PEER_CALL_ERROR, -1},
        {PEER_CALL_NEGOTIATING, R"({"sdp":{"sdp":{"v":0},"type":"answer"}})",
         "ERROR: received SDP message without the type or body", PEER_CALL_ERROR, -1},
        {PEER_CALL_NEGOTIATING, R"({"sdp":{"sdp":"this is no SDP","type":"answer"}})",
         "ERROR: could not parse the text buffer into an SDP message", STATE_ERROR, -1},
        {PEER_CONNECTING, "media:sdp", "Cannot send SDP to peer, not in call", STATE_ERROR, -1},
        {PEER_CONNECTING, "media:ice", "Cannot send ICE, not in call", STATE_ERROR, -1},
        {PEER_CALL_NEGOTIATING, "media:fail", "Cannot reply on the offer, not in call", STATE_ERROR,
         -1},
    };
    for (const auto& f : rows) {
        connectUntil(f.stage);
        const ConnectionState mediaBefore = sig->gstreamer.currentConnState();
        storedAtError.clear();
        mediaAtError.clear();

        const QString message = QString::fromUtf8(f.message);
        if (message == "media:sdp") {
            emit sig->gstreamer.sendSdpToPeer(QStringLiteral("v=0"), QStringLiteral("offer"));
        } else if (message == "media:ice") {
            emit sig->gstreamer.IceCandidate(0, QStringLiteral("candidate:1"));
        } else if (message == "media:fail") {
            emit sig->gstreamer.mainLoopTerminate(f.text, STATE_ERROR);
        } else {
            relay.agent->sendTextMessage(message);
        }
        ASSERT_TRUE(waitFor([&] { return events.contains("disconnected"); })) << f.message;

        QStringList expected;
        if (f.notified >= 0) {
            expected << QString("state:%1").arg(f.notified);
        }
        expected << QStringLiteral("error:") + f.text << "state:2003"
                 << "error:" + kClosed << "disconnected";
        EXPECT_EQ(events, expected) << f.message;
        ASSERT_FALSE(storedAtError.isEmpty());
        EXPECT_EQ(storedAtError.first(), f.stored) << f.message;
        EXPECT_EQ(mediaAtError.first(), f.notified >= 0 ? ConnectionState(f.notified) : mediaBefore)
            << f.message;
        EXPECT_EQ(sig->connectionState(), SERVER_CLOSED);
        ASSERT_TRUE(waitFor([&] { return !relay.agentCloseCodes.isEmpty(); }));
        EXPECT_EQ(relay.agentCloseCodes.takeLast(), 1000) << f.message;
    }
}

// A closing or vanishing server ends the session; SDP and ICE the pipeline produces after that
// are dropped, not reported: the user would otherwise see a misleading second error.
TEST_F(SignallingTest, ServerClosingTheSocketEndsTheSession) {
    for (bool abort : {false, true}) {
        connectUntil(PEER_CALL_NEGOTIATING);
        abort ? relay.agent->abort() : relay.agent->close();
        ASSERT_TRUE(waitFor([&] { return events.contains("disconnected"); }));
        QStringList expected{"state:2003", "error:" + kClosed, "disconnected"};
        if (abort) {
            // Without a closing handshake the socket reports its own error first.
            expected.prepend("error:" + sig->webSocket.errorString());
        }
        emit sig->gstreamer.IceCandidate(0, QStringLiteral("candidate:1"));
        emit sig->gstreamer.sendSdpToPeer(QStringLiteral("v=0"), QStringLiteral("offer"));
        QCoreApplication::processEvents();
        EXPECT_EQ(events, expected) << "abort " << abort;
        EXPECT_EQ(sig->gstreamer.currentConnState(), SERVER_CLOSED);
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
    connectUntil(PEER_CONNECTING);
    LogCapture log;
    for (const char* row : rows) {
        relay.agent->sendTextMessage(QString::fromUtf8(row));
    }
    ASSERT_TRUE(waitFor([&] { return log.contains(QString::fromUtf8(rows[13])); }));
    EXPECT_TRUE(events.isEmpty()) << events.join(", ").toStdString();
    // The join completes; the pipeline that follows is not this test's (without a screen its
    // start fails and ends the call).
    relay.agent->sendTextMessage(QStringLiteral("SESSION_OK"));
    ASSERT_TRUE(waitFor([&] { return events.contains(QString("state:%1").arg(PEER_CONNECTED)); }));
}

class WebSocketBaseTest : public SignallingTest {};

TEST_F(WebSocketBaseTest, UnsupportedSchemeIsRefusedWithoutSocketActivity) {
    const QString hostPort = QUrl(relay.serverUrl()).authority();
    for (const QString& url : {"ftp://" + hostPort, hostPort, QString()}) {
        setServerUrl(url);
        WebSocketBase ch(QStringLiteral("signalling"));
        QSignalSpy states(&ch, &QWebSocket::stateChanged);
        EXPECT_FALSE(ch.wsConnect()) << qPrintable(url);
        QCoreApplication::processEvents();
        EXPECT_EQ(states.count(), 0);
        EXPECT_EQ(ch.state(), QAbstractSocket::UnconnectedState);
    }
    EXPECT_TRUE(relay.requestUrls.isEmpty());
}

// Messages at the limit pass; one byte more closes the channel with 1009.
TEST_F(WebSocketBaseTest, OversizedMessageClosesTheChannel) {
    for (qint64 limit :
         {WebSocketBase::kSignallingMaxMessageSize, WebSocketBase::kDefaultMaxMessageSize}) {
        WebSocketBase ch(QStringLiteral("signalling"));
        if (limit == WebSocketBase::kSignallingMaxMessageSize) {
            ch.setMaxMessageSize(limit);
        }
        QSignalSpy disconnected(&ch, &QWebSocket::disconnected);
        QSignalSpy texts(&ch, &QWebSocket::textMessageReceived);
        ASSERT_TRUE(ch.wsConnect());
        ASSERT_TRUE(waitFor([&] { return ch.state() == QAbstractSocket::ConnectedState; }));
        relay.agent->sendTextMessage(QString(int(limit), QLatin1Char('a')));
        ASSERT_TRUE(texts.wait(5000)) << limit;
        EXPECT_EQ(texts.at(0).at(0).toString().size(), limit);
        relay.agent->sendTextMessage(QString(int(limit) + 1, QLatin1Char('b')));
        ASSERT_TRUE(waitFor([&] { return disconnected.count() > 0; })) << limit;
        EXPECT_EQ(texts.count(), 1);
        EXPECT_EQ(ch.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    }
}

// A server that stops answering is taken as closed once a ping goes unanswered. This one
// completes the opening handshake and then falls silent, like a server or path that died.
TEST_F(WebSocketBaseTest, UnansweredPingClosesTheChannel) {
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    setServerUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()));
    WebSocketBase ch(QStringLiteral("input"));
    ch.setKeepAlive(50, 300);
    QSignalSpy disconnected(&ch, &QWebSocket::disconnected);
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(waitFor([&] { return silent.hasPendingConnections(); }));
    QTcpSocket* socket = silent.nextPendingConnection();
    QByteArray request;
    ASSERT_TRUE(waitFor([&] { return (request += socket->readAll()).endsWith("\r\n\r\n"); }));
    const QString key = QRegularExpression("Sec-WebSocket-Key: (\\S+)").match(request).captured(1);
    const QByteArray accept = QCryptographicHash::hash(
        key.toLatin1() + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1);
    socket->write(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
        "Upgrade\r\nSec-WebSocket-Accept: " +
        accept.toBase64() + "\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return disconnected.count() > 0; }, 5000));
}

// The certificate is checked unless "force" was set when the channel was built; a later "force"
// does not loosen it. Accepted errors are logged.
TEST_F(WebSocketBaseTest, SelfSignedCertificateNeedsForceAtConstruction) {
    HttpTestServer tls(HttpTestServer::Mode::Tls);
    ASSERT_TRUE(tls.start());
    setServerUrl(tls.baseUrl());
    for (bool forceAtBuild : {true, false}) {
        auto& p = GlobalSettings::instance().connectionParams;
        p.disableSsl = forceAtBuild;
        WebSocketBase ch(QStringLiteral("signalling"));
        p.disableSsl = true;
        QSignalSpy errors(&ch, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
        LogCapture log;
        tls.clearRequests();
        ASSERT_TRUE(ch.wsConnect());
        // The server has no WebSocket endpoint: a handshake that passed ends in a refused upgrade.
        ASSERT_TRUE(waitFor([&] { return errors.count() > 0; }, 10000));
        EXPECT_EQ(tls.requestCount("/ws/signalling") > 0, forceAtBuild);
        EXPECT_EQ(log.contains(QStringLiteral("signalling: SSL error: ")), forceAtBuild);
    }
}

}  // namespace
