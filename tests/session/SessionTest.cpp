// The session object against a loopback HTTP API whose signalling stays silent; link trust.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTimer>

#include "GlobalSettings.h"
#include "LinkTrust.h"
#include "Session.h"
#include "SilentServer.h"
#include "WaitFor.h"

namespace {

struct SessionTest : ::testing::Test {
    SilentServer server;
    std::unique_ptr<Session> session;

    void SetUp() override {
        ASSERT_TRUE(server.start());
        server.resetSettings();
        session = std::make_unique<Session>();
        session->connectDelayMs = 200;
    }

    // Runs `act` from the event loop after `ms`, while the caller blocks in a settings request.
    void later(int ms, std::function<void()> act) { QTimer::singleShot(ms, session.get(), act); }
    bool connectingTo(const char* sessionId) {
        return waitFor([&] {
            return session->state() == Session::State::Connecting && server.signalling() == 1 &&
                   session->liveTarget().connection.sessionId == sessionId;
        });
    }
};

}  // namespace

// Disconnect during the settings wait, and while the socket opens: nothing connects afterwards.
TEST_F(SessionTest, DisconnectCancelsTheAttemptAndDropsAnOpeningSocket) {
    server.setSession(1, false, 2000);
    later(300, [this] { session->userDisconnect(); });
    session->userConnect(server.url(), QStringLiteral("1"));
    EXPECT_FALSE(waitFor([&] { return server.signalling() > 0; }, 1500));

    server.setSession(8, false);
    session->userConnect(server.url(), QStringLiteral("8"));
    ASSERT_TRUE(connectingTo("8"));
    session->userDisconnect();
    EXPECT_EQ(session->wsSignalling.webSocket.state(), QAbstractSocket::UnconnectedState);
}

// A link's delayed connect armed before, Enter twice during the wait: one resolution, one
// signalling connection, to the Connect's session.
TEST_F(SessionTest, EnterAndTimerDuringSlowSettingsMakeOneSignallingConnection) {
    server.setSession(2, false);
    session->handOver(server.link(2));
    ASSERT_EQ(session->state(), Session::State::WaitingForConsent);

    server.setSession(1, false, 2000);
    later(300, [this] { session->userConnect(server.url(), QStringLiteral("1")); });
    later(600, [this] { session->userConnect(server.url(), QStringLiteral("1")); });
    session->userConnect(server.url(), QStringLiteral("1"));

    ASSERT_TRUE(connectingTo("1"));
    EXPECT_FALSE(waitFor([&] { return server.signalling() > 1; }, 1000));
    EXPECT_EQ(server.requestCount(QStringLiteral("/assistant/1/settings")), 1);
}

TEST_F(SessionTest, NewerLinkDuringSlowSettingsReplacesItAndConnectsOnce) {
    server.setSession(1, false, 2000);
    server.setSession(2, false);
    later(300, [this] { session->handOver(server.link(2)); });
    session->handOver(server.link(1));

    ASSERT_TRUE(connectingTo("2"));
    EXPECT_FALSE(waitFor([&] { return server.signalling() > 1; }, 1000));
}

// A link to another server while a session runs: nothing of the running session changes until
// the user agrees; a refusal and a stale answer leave it as it was.
TEST_F(SessionTest, HandOverLeavesTheRunningSessionUntilAgreed) {
    server.setSession(1, false);
    session->userConnect(server.url(), QStringLiteral("1"));
    ASSERT_TRUE(connectingTo("1"));

    SilentServer other;
    ASSERT_TRUE(other.start());
    other.setSession(7, false);
    QSignalSpy asked(session.get(), &Session::consentRequested);
    auto expectUntouched = [&] {
        EXPECT_EQ(GlobalSettings::instance().connectionParams.sessionId, "1");
        EXPECT_EQ(session->liveTarget().connection.sessionId, "1");
        EXPECT_EQ(other.signalling(), 0);
    };

    session->handOver(other.link(7));
    ASSERT_EQ(asked.size(), 1);
    const quint64 first = asked.at(0).at(0).toULongLong();
    expectUntouched();
    // Longer than the delayed connect: a request that needs consent never connects by itself.
    EXPECT_FALSE(waitFor([&] { return other.signalling() > 0; }, 1000));
    session->answerConsent(first, false);

    session->handOver(other.link(7));
    ASSERT_EQ(asked.size(), 2);
    session->answerConsent(first, true);  // the refused request's answer comes too late
    expectUntouched();
    session->answerConsent(asked.at(1).at(0).toULongLong(), true);
    ASSERT_TRUE(waitFor([&] { return other.signalling() == 1; }));
    EXPECT_EQ(session->liveTarget().connection.sessionId, "7");
}

TEST_F(SessionTest, StartupLinkAsksUnlessTheConfiguredServerWaivesConsent) {
    struct Row {
        bool configuredHere, serverAsks, asked;
    } const rows[] = {{true, false, false}, {false, false, true}, {true, true, true}};
    for (const Row& r : rows) {
        server.setSession(9, r.serverAsks);
        auto& s = GlobalSettings::instance();
        s.connectionParams.sessionId = "9";
        s.fromLink = true;
        s.configuredServerUrl =
            r.configuredHere ? s.connectionParams.serverUrl : "https://vdi.example.org/assistant";
        Session fresh;
        EXPECT_EQ(fresh.resolveStartupLink(), r.asked) << r.configuredHere << r.serverAsks;
    }
}

// Whether a link names the configured server, and the host the consent dialog names when not.
TEST(LinkTrust, SameServerMeansSameSchemeHostAndPort) {
    const QString configured = QStringLiteral("https://vdi.example.org/assistant");
    const std::pair<const char*, const char*> rows[] = {
        {"https://VDI.Example.ORG/other/path", ""},
        {"https://vdi.example.org:443/assistant", ""},
        {"http://vdi.example.org/assistant", "vdi.example.org"},
        {"https://vdi.example.org:8443/assistant", "vdi.example.org:8443"},
        {"https://vdi.example.org.evil.test/a", "vdi.example.org.evil.test"},
        {"https://vdi.example.org@evil.test/assistant", "evil.test"},
        {"https://аdmin.example.org/a", "xn--dmin-43d.example.org"},  // Cyrillic "а"
        {"vdi.example.org/assistant", "vdi.example.org/assistant"},
    };
    for (const auto& [link, foreignHost] : rows) {
        EXPECT_EQ(foreignServerHost(configured, QString::fromUtf8(link)), foreignHost) << link;
    }
    EXPECT_EQ(foreignServerHost(QString(), configured), "vdi.example.org");
    EXPECT_FALSE(isSameServer(configured, QString()));
}
