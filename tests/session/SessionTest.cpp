// The session object against a loopback management server (HTTP API and signalling relay behind
// one address): what a slow server, a second click, a second link or a late answer may do.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include "GlobalSettings.h"
#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "Session.h"
#include "SessionServer.h"

namespace {

using guitest::waitFor;

struct SessionTest : ::testing::Test {
    SessionServer server;
    std::unique_ptr<Session> session;

    static void SetUpTestSuite() { guitest::initMedia(); }

    void SetUp() override {
        logcapture::start();
        logcapture::mark();
        ASSERT_TRUE(server.start());
        // SESSION is not answered: no pipeline is built, the channels still open.
        server.relay.answerSession = false;
        auto& s = GlobalSettings::instance();
        s.connectionParams = ConnectionParams{};
        s.connectionParams.videoCodec = "VP8";
        s.connectionParams.audioCodec = "OPUS";
        s.connectionParams.stunUrl = "stun://127.0.0.1:3478";
        s.connectionParams.timeout = 60;
        s.connectionParams.micVolume = 100;
        s.serverApiParams = ServerApiParams{};
        s.fromLink = false;
        s.waylandSession = false;
        s.configuredServerUrl = server.serverUrl().toStdString();
        session = std::make_unique<Session>();
        session->connectDelayMs = 200;
    }

    void TearDown() override { session.reset(); }

    void slowSettings(int number, int delayMs) {
        server.setSession(number, false);
        HttpTestServer::Response r;
        r.body = R"({"notifyConnection": false, "displayName": "Slow"})";
        r.delayMs = delayMs;
        server.http.setRoute(QStringLiteral("/assistant/%1/settings").arg(number), r);
    }

    QString link(SessionServer& s, int number) const {
        return QStringLiteral("kvlo://127.0.0.1:%1/assistant/%2")
            .arg(QUrl(s.serverUrl()).port())
            .arg(number);
    }

    static int signallingConnections(SessionServer& s) {
        int n = 0;
        for (const QUrl& url : s.relay.requestUrls) {
            n += url.path().endsWith(QLatin1String("/ws/signalling")) ? 1 : 0;
        }
        return n;
    }

    // Runs `act` from the event loop after `ms`, while the caller blocks in a settings request.
    void later(int ms, std::function<void()> act) { QTimer::singleShot(ms, session.get(), act); }

    bool liveOn(SessionServer& s, const char* sessionLine) {
        return waitFor([&] {
            return session->state() == Session::State::Live &&
                   s.relay.agentMessages.contains(QString::fromLatin1(sessionLine));
        });
    }
};

}  // namespace

TEST_F(SessionTest, DisconnectDuringSlowSettingsCancelsTheAttemptAndNothingConnects) {
    slowSettings(1, 2000);
    later(300, [this] { session->userDisconnect(); });
    session->userConnect(server.serverUrl(), QStringLiteral("1"));

    EXPECT_EQ(server.http.requestCount(QStringLiteral("/assistant/1/settings")), 1);
    EXPECT_EQ(session->state(), Session::State::Idle);
    EXPECT_FALSE(session->busy());
    EXPECT_FALSE(waitFor([&] { return server.front.webSocketConnections() > 0; }, 1500));
    const QString log = logcapture::sinceMark();
    EXPECT_TRUE(log.contains("(settings request) cancelled by Disconnect")) << log.toStdString();
    EXPECT_FALSE(log.contains("Connecting to the server"));
}

// The delayed connect of a link armed before, Enter twice and a Connect during the wait: one
// resolution, one signalling connection, to the Connect's session.
TEST_F(SessionTest, EnterAndTimerDuringSlowSettingsMakeOneSignallingConnection) {
    server.setSession(2, false);
    session->handOver(link(server, 2));
    ASSERT_EQ(session->state(), Session::State::WaitingForConsent);

    slowSettings(1, 2000);
    later(300, [this] { session->userConnect(server.serverUrl(), QStringLiteral("1")); });
    later(600, [this] { session->userConnect(server.serverUrl(), QStringLiteral("1")); });
    session->userConnect(server.serverUrl(), QStringLiteral("1"));

    ASSERT_TRUE(liveOn(server, "SESSION 1"));
    EXPECT_FALSE(waitFor([&] { return signallingConnections(server) > 1; }, 1000));
    EXPECT_EQ(signallingConnections(server), 1);
    EXPECT_FALSE(server.relay.agentMessages.contains("SESSION 2"));
    EXPECT_EQ(server.http.requestCount(QStringLiteral("/assistant/1/settings")), 1);
    const QString log = logcapture::sinceMark();
    EXPECT_TRUE(log.contains("(delayed connect) cancelled by Connect")) << log.toStdString();
    EXPECT_EQ(log.count("Connect ignored"), 2);
}

TEST_F(SessionTest, NewerLinkDuringSlowSettingsReplacesItAndConnectsOnce) {
    slowSettings(1, 2000);
    server.setSession(2, false);
    later(300, [this] { session->handOver(link(server, 2)); });
    session->handOver(link(server, 1));

    ASSERT_TRUE(liveOn(server, "SESSION 2"));
    EXPECT_FALSE(waitFor([&] { return signallingConnections(server) > 1; }, 1000));
    EXPECT_EQ(signallingConnections(server), 1);
    EXPECT_FALSE(server.relay.agentMessages.contains("SESSION 1"));
    EXPECT_TRUE(logcapture::sinceMark().contains("a newer link replaces attempt"));
}

// A link to another server while a session is live: nothing of the live session changes until
// the user agrees; a refusal and a stale answer leave it as it was; a failed fetch keeps the
// buttons busy.
TEST_F(SessionTest, HandOverDuringLiveSessionLeavesItsTargetUntilAgreed) {
    server.setSession(1, false, QStringLiteral("Alice"));
    session->userConnect(server.serverUrl(), QStringLiteral("1"));
    ASSERT_TRUE(liveOn(server, "SESSION 1"));
    ASSERT_TRUE(waitFor([&] { return server.relay.otherSockets.size() == 2; }));
    auto& s = GlobalSettings::instance();
    const std::string liveUrl = s.connectionParams.serverUrl;

    SessionServer other;
    ASSERT_TRUE(other.start());
    other.relay.answerSession = false;
    other.setSession(7, false, QStringLiteral("Mallory"));
    QSignalSpy asked(session.get(), &Session::consentRequested);

    auto expectUntouched = [&] {
        EXPECT_EQ(s.connectionParams.serverUrl, liveUrl);
        EXPECT_EQ(s.connectionParams.sessionId, "1");
        EXPECT_EQ(s.serverApiParams.adminName, "Alice");
        EXPECT_EQ(session->liveTarget().connection.sessionId, "1");
        EXPECT_TRUE(session->busy());
        EXPECT_TRUE(server.relay.agentConnected());
        EXPECT_EQ(server.relay.otherSockets.size(), 2);
        EXPECT_EQ(other.front.webSocketConnections(), 0);
    };

    session->handOver(link(other, 7));
    ASSERT_EQ(asked.size(), 1);
    const quint64 first = asked.at(0).at(0).toULongLong();
    expectUntouched();
    // Longer than the delayed connect: a request that needs consent never connects by itself.
    EXPECT_FALSE(waitFor([&] { return other.front.webSocketConnections() > 0; }, 1000));
    session->answerConsent(first, false);
    expectUntouched();
    EXPECT_EQ(session->state(), Session::State::Live);

    // A fetch that fails leaves the live session's buttons.
    session->handOver(QStringLiteral("kvlo://127.0.0.1:1/assistant/3"));
    EXPECT_EQ(session->state(), Session::State::Live);
    expectUntouched();

    session->handOver(link(other, 7));
    ASSERT_EQ(asked.size(), 2);
    session->answerConsent(first, true);  // the refused request's answer comes too late
    expectUntouched();
    session->answerConsent(asked.at(1).at(0).toULongLong(), true);
    ASSERT_TRUE(liveOn(other, "SESSION 7"));
    EXPECT_FALSE(server.relay.agentConnected());
    EXPECT_EQ(s.connectionParams.sessionId, "7");
    EXPECT_EQ(s.serverApiParams.adminName, "Mallory");
    other.relay.closeAgent();
    ASSERT_TRUE(waitFor([&] { return session->state() == Session::State::Idle; }));
}

TEST_F(SessionTest, DisconnectWhileTheSocketIsOpeningDropsIt) {
    server.front.holdWebSockets = true;
    server.setSession(8, false);
    session->userConnect(server.serverUrl(), QStringLiteral("8"));
    ASSERT_TRUE(waitFor([&] { return server.front.webSocketConnections() == 1; }));
    session->userDisconnect();
    EXPECT_EQ(session->state(), Session::State::Idle);
    // Let the held handshake through: the dropped socket must not come up and register.
    server.front.releaseWebSockets();
    EXPECT_FALSE(waitFor([&] { return !server.relay.agentMessages.isEmpty(); }, 1000));
}

TEST_F(SessionTest, UnparsableLinkChangesNothing) {
    for (const char* url : {"", "ftp-less text"}) {
        logcapture::mark();
        session->handOver(QString::fromLatin1(url));
        EXPECT_TRUE(logcapture::sinceMark().contains("[ERROR] Cannot parse full url")) << url;
        EXPECT_EQ(session->state(), Session::State::Idle);
    }
    EXPECT_EQ(server.front.httpConnections(), 0);
}
