#include "WebSocketBase.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <memory>

#include "LogCapture.h"
#include "QtPrinters.h"
#include "SignallingRelay.h"
#include "WaitFor.h"

namespace {

class WebSocketBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(relay.listen());
        auto& p = GlobalSettings::instance().connectionParams;
        saved = p;
        p.serverUrl = relay.serverUrl().toStdString();
        p.sessionId = "4711";
        p.disableSsl = false;
    }
    void TearDown() override { GlobalSettings::instance().connectionParams = saved; }

    static void setServerUrl(const QString& url) {
        GlobalSettings::instance().connectionParams.serverUrl = url.toStdString();
    }

    SignallingRelay relay;
    ConnectionParams saved;
};

TEST_F(WebSocketBaseTest, EndpointPathsReachTheServerUnnormalised) {
    struct Row {
        const char* suffix;
        const char* channel;
        bool sessionInPath;
        const char* path;
    } rows[] = {
        {"", "signalling", false, "/ws/signalling"},
        {"/P", "signalling", false, "/P/ws/signalling"},
        {"/P/", "signalling", false, "/P//ws/signalling"},
        {"/P", "input", true, "/P/4711/ws/input"},
        {"", "cursor", true, "/4711/ws/cursor"},
    };
    for (const Row& r : rows) {
        setServerUrl(relay.serverUrl() + QString::fromLatin1(r.suffix));
        WebSocketBase ch(QString::fromLatin1(r.channel));
        ch.sessionInPath = r.sessionInPath;
        QSignalSpy connected(&ch, &QWebSocket::connected);
        ASSERT_TRUE(ch.wsConnect());
        ASSERT_TRUE(connected.wait(5000)) << r.path;
        ASSERT_FALSE(relay.requestUrls.isEmpty());
        EXPECT_EQ(relay.requestUrls.last().path(), QString::fromLatin1(r.path));
        EXPECT_EQ(relay.requestUrls.last().scheme(), QStringLiteral("ws"));
    }
}

TEST_F(WebSocketBaseTest, UnsupportedSchemeIsRefusedWithoutSocketActivity) {
    const QString port = QString::number(relay.port());
    for (const QString& url : {QStringLiteral("ftp://127.0.0.1:") + port,
                               QStringLiteral("127.0.0.1:") + port, QString()}) {
        setServerUrl(url);
        LogCapture log;
        WebSocketBase ch(QStringLiteral("signalling"));
        QSignalSpy states(&ch, &QWebSocket::stateChanged);
        EXPECT_FALSE(ch.wsConnect()) << qPrintable(url);
        QCoreApplication::processEvents();
        EXPECT_EQ(states.count(), 0);
        EXPECT_EQ(ch.state(), QAbstractSocket::UnconnectedState);
        EXPECT_EQ(log.count(QStringLiteral("Url have unsupported scheme\n")), 1);
    }
    EXPECT_TRUE(relay.requestUrls.isEmpty());
}

TEST_F(WebSocketBaseTest, BinaryFrameIsLoggedAndIgnored) {
    WebSocketBase ch(QStringLiteral("signalling"));
    QSignalSpy connected(&ch, &QWebSocket::connected);
    QSignalSpy texts(&ch, &QWebSocket::textMessageReceived);
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(connected.wait(5000));
    LogCapture log;
    relay.sendBinaryToAgent(QByteArray("data"));
    relay.sendToAgent(QStringLiteral("after"));
    ASSERT_TRUE(texts.wait(5000));
    EXPECT_EQ(texts.at(0).at(0).toString(), QStringLiteral("after"));
    EXPECT_EQ(ch.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(log.count(QStringLiteral(
                  "Received unknown binary message to signalling endpoint, ignoring\n")),
              1);
}

TEST_F(WebSocketBaseTest, DestroyingAConnectedChannelClosesWithCode1000) {
    QSignalSpy gone(&relay, &SignallingRelay::agentDisconnected);
    {
        WebSocketBase ch(QStringLiteral("signalling"));
        QSignalSpy connected(&ch, &QWebSocket::connected);
        ASSERT_TRUE(ch.wsConnect());
        ASSERT_TRUE(connected.wait(5000));
    }
    ASSERT_TRUE(gone.wait(5000));
    EXPECT_EQ(gone.at(0).at(0).toInt(), 1000);
}

// Messages at the limit pass; one byte more closes the channel with 1009 and a log line.
TEST_F(WebSocketBaseTest, OversizedMessageClosesTheChannel) {
    struct Row {
        const char* channel;
        qint64 limit;
        bool set;  // false: the channel's default
    } rows[] = {
        {"signalling", WebSocketBase::kSignallingMaxMessageSize, true},
        {"input", WebSocketBase::kDefaultMaxMessageSize, false},
        {"cursor", 1000, true},
    };
    for (const Row& r : rows) {
        WebSocketBase ch(QString::fromLatin1(r.channel));
        if (r.set) {
            ch.setMaxMessageSize(r.limit);
        }
        QSignalSpy connected(&ch, &QWebSocket::connected);
        QSignalSpy disconnected(&ch, &QWebSocket::disconnected);
        QSignalSpy texts(&ch, &QWebSocket::textMessageReceived);
        ASSERT_TRUE(ch.wsConnect());
        ASSERT_TRUE(connected.wait(5000));
        LogCapture log;
        const auto send = [&](const QString& text) {
            ch.channelName == QLatin1String("signalling") ? relay.sendToAgent(text)
                                                          : relay.sendToOthers(text);
        };
        send(QString(int(r.limit), QLatin1Char('a')));
        ASSERT_TRUE(texts.wait(5000)) << r.channel;
        EXPECT_EQ(texts.at(0).at(0).toString().size(), r.limit);
        send(QString(int(r.limit) + 1, QLatin1Char('b')));
        ASSERT_TRUE(waitFor([&] { return disconnected.count() > 0; })) << r.channel;
        EXPECT_EQ(texts.count(), 1);
        EXPECT_EQ(ch.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
        EXPECT_TRUE(log.contains(QStringLiteral("%1: incoming message larger than %2 bytes")
                                     .arg(QString::fromLatin1(r.channel))
                                     .arg(r.limit)))
            << qPrintable(log.text());
    }
}

// A server that completes the opening handshake and then falls silent, like a server or path
// that died: no frames, no pongs.
class SilentServer : public QObject {
public:
    SilentServer() {
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                request += socket->readAll();
                if (!request.contains("\r\n\r\n")) {
                    return;
                }
                QByteArray key;
                for (const QByteArray& line : request.split('\n')) {
                    if (line.toLower().startsWith("sec-websocket-key:")) {
                        key = line.mid(18).trimmed();
                    }
                }
                socket->write(
                    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                    QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                             QCryptographicHash::Sha1)
                        .toBase64() +
                    "\r\n\r\n");
                socket->disconnect(this);
            });
        });
        server.listen(QHostAddress::LocalHost, 0);
    }
    QTcpServer server;
    QByteArray request;
};

// A server that stops answering is taken as closed once a ping goes unanswered.
TEST_F(WebSocketBaseTest, UnansweredPingClosesTheChannel) {
    SilentServer silent;
    setServerUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.server.serverPort()));
    WebSocketBase ch(QStringLiteral("input"));
    ch.setKeepAlive(50, 300);
    QSignalSpy disconnected(&ch, &QWebSocket::disconnected);
    LogCapture log;
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(waitFor([&] { return disconnected.count() > 0; }, 5000));
    EXPECT_TRUE(log.contains(QStringLiteral("input: no answer to a ping within 300 ms")));
}

class WebSocketBaseTlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QSslConfiguration config;
        QString error;
        ASSERT_TRUE(SignallingRelay::makeSelfSignedConfig(dir.path(), &config, &error))
            << qPrintable(error);
        ASSERT_TRUE(relay.listenSecure(config));
        auto& p = GlobalSettings::instance().connectionParams;
        saved = p;
        p.serverUrl = relay.serverUrl().toStdString();
    }
    void TearDown() override { GlobalSettings::instance().connectionParams = saved; }

    QTemporaryDir dir;
    SignallingRelay relay;
    ConnectionParams saved;
};

TEST_F(WebSocketBaseTlsTest, SelfSignedCertificateIsRefusedWithoutForce) {
    GlobalSettings::instance().connectionParams.disableSsl = false;
    WebSocketBase ch(QStringLiteral("signalling"));
    QSignalSpy errors(&ch, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    QSignalSpy connected(&ch, &QWebSocket::connected);
    LogCapture log;
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(errors.wait(10000));
    EXPECT_EQ(connected.count(), 0);
    EXPECT_FALSE(ch.errorString().isEmpty());
    EXPECT_FALSE(log.contains(QStringLiteral("SSL error")));
    EXPECT_FALSE(relay.agentConnected());
}

TEST_F(WebSocketBaseTlsTest, SelfSignedCertificateIsAcceptedWithForceAndLogged) {
    GlobalSettings::instance().connectionParams.disableSsl = true;
    WebSocketBase ch(QStringLiteral("signalling"));
    QSignalSpy connected(&ch, &QWebSocket::connected);
    LogCapture log;
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(connected.wait(10000));
    EXPECT_EQ(relay.requestUrls.last().scheme(), QStringLiteral("wss"));
    EXPECT_TRUE(log.contains(QStringLiteral("signalling: SSL error: ")));
}

// The decision is taken when the channel is built: a later "force" does not loosen it.
TEST_F(WebSocketBaseTlsTest, ForceSetAfterConstructionHasNoEffect) {
    GlobalSettings::instance().connectionParams.disableSsl = false;
    WebSocketBase ch(QStringLiteral("signalling"));
    GlobalSettings::instance().connectionParams.disableSsl = true;
    QSignalSpy errors(&ch, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(errors.wait(10000));
    EXPECT_NE(ch.state(), QAbstractSocket::ConnectedState);
}

}  // namespace
