#include "WebSocketBase.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <memory>

#include "LogCapture.h"
#include "QtPrinters.h"
#include "SignallingRelay.h"
#include "TestCertificate.h"
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
        WebSocketBase ch(QStringLiteral("signalling"));
        QSignalSpy states(&ch, &QWebSocket::stateChanged);
        EXPECT_FALSE(ch.wsConnect()) << qPrintable(url);
        QCoreApplication::processEvents();
        EXPECT_EQ(states.count(), 0);
        EXPECT_EQ(ch.state(), QAbstractSocket::UnconnectedState);
    }
    EXPECT_TRUE(relay.requestUrls.isEmpty());
}

TEST_F(WebSocketBaseTest, BinaryFrameIsIgnored) {
    WebSocketBase ch(QStringLiteral("signalling"));
    QSignalSpy connected(&ch, &QWebSocket::connected);
    QSignalSpy texts(&ch, &QWebSocket::textMessageReceived);
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(connected.wait(5000));
    relay.sendBinaryToAgent(QByteArray("data"));
    relay.sendToAgent(QStringLiteral("after"));
    ASSERT_TRUE(texts.wait(5000));
    EXPECT_EQ(texts.at(0).at(0).toString(), QStringLiteral("after"));
    EXPECT_EQ(ch.state(), QAbstractSocket::ConnectedState);
}

// Messages at the limit pass; one byte more closes the channel with 1009.
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
    ASSERT_TRUE(ch.wsConnect());
    ASSERT_TRUE(waitFor([&] { return disconnected.count() > 0; }, 5000));
}

// The certificate is checked unless "force" was set when the channel was built; a later "force"
// does not loosen it. Accepted errors are logged.
TEST_F(WebSocketBaseTest, SelfSignedCertificateNeedsForceAtConstruction) {
    SignallingRelay tls;
    ASSERT_TRUE(tls.listenSecure(testcert::serverConfiguration()));
    setServerUrl(tls.serverUrl());
    struct Row {
        bool forceAtBuild, forceAfter, connects;
    };
    for (const Row& r :
         {Row{false, false, false}, Row{true, true, true}, Row{false, true, false}}) {
        auto& p = GlobalSettings::instance().connectionParams;
        p.disableSsl = r.forceAtBuild;
        WebSocketBase ch(QStringLiteral("signalling"));
        p.disableSsl = r.forceAfter;
        QSignalSpy errors(&ch, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
        QSignalSpy connected(&ch, &QWebSocket::connected);
        LogCapture log;
        ASSERT_TRUE(ch.wsConnect());
        ASSERT_TRUE(waitFor([&] { return connected.count() + errors.count() > 0; }, 10000));
        EXPECT_EQ(connected.count() > 0, r.connects) << r.forceAtBuild << r.forceAfter;
        EXPECT_EQ(log.contains(QStringLiteral("signalling: SSL error: ")), r.connects);
    }
}

}  // namespace
