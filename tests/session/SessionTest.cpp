// The session object against a loopback HTTP API whose signalling stays silent; its table of
// states; consent given in the real dialog; link trust.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include "GlobalSettings.h"
#include "LinkTrust.h"
#include "PermissionDialog.h"
#include "Session.h"
#include "SilentServer.h"
#include "WaitFor.h"

namespace {

// The user's answer, clicked in the dialog: the only maker of a grant outside the session.
std::optional<Grant> answer(const ConsentRequest& request, bool give) {
    PermissionDialog dialog(request, nullptr);
    dialog.show();
    if (give) {
        dialog.findChild<QCheckBox*>("checkBox")->click();
    }
    dialog.findChild<QPushButton*>(give ? "give_pb" : "cancel_pb")->click();
    return dialog.grant();
}

struct SessionTest : ::testing::Test {
    SilentServer server;
    SilentServer other;  // not the configured server: its links always ask
    std::unique_ptr<Session> session;

    void SetUp() override {
        ASSERT_TRUE(server.start() && other.start());
        server.resetSettings();
        other.setSession(7, false);
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
    // A grant the user gave for a request that has since been cancelled.
    Grant staleGrant() {
        session->handOver(other.link(7));
        std::optional<Grant> grant = answer(*session->pendingConsent(), true);
        session->userDisconnect();
        return *grant;
    }
};

}  // namespace

// In each state, the events that must do nothing: nothing connects, asks, shows or changes.
TEST_F(SessionTest, EventsOfNoCurrentAttemptChangeNothing) {
    using S = Session::State;
    struct Row {
        const char* what;
        S state;
        std::function<void()> reach;
        std::function<void(const Grant& stale, quint64 oldAttempt)> event;
    };
    server.setSession(1, false);
    server.setSession(2, true);
    const auto idle = [] {};
    const auto asking = [&] { session->handOver(server.link(2)); };
    const auto waiting = [&] {
        session->connectDelayMs = 60000;
        session->handOver(server.link(1));
    };
    const auto connecting = [&] {
        const int before = server.signalling();
        session->userConnect(server.url(), QStringLiteral("1"));
        ASSERT_TRUE(waitFor([&] { return server.signalling() == before + 1; }));
    };
    const auto mediaError = [&](const Grant&, quint64) {
        emit session->wsSignalling.gstreamer.mainLoopTerminate("Completed by the opposite side",
                                                               STATE_ERROR);
        QCoreApplication::processEvents();
    };
    const auto grant = [&](const Grant& stale, quint64) { session->grant(stale); };
    const auto refuse = [&](const Grant&, quint64 old) { session->refuse(old); };
    const auto socketUp = [&](const Grant&, quint64) { emit session->wsSignalling.wsConnected(); };
    const Row rows[] = {
        {"late grant", S::Idle, idle, grant},
        {"Disconnect", S::Idle, idle, [&](auto&, auto) { session->userDisconnect(); }},
        {"socket up", S::Idle, idle, socketUp},
        {"media error", S::Idle, idle, mediaError},
        {"late grant", S::AwaitingConsent, asking, grant},
        {"late refusal", S::AwaitingConsent, asking, refuse},
        {"socket up", S::AwaitingConsent, asking, socketUp},
        {"media error", S::AwaitingConsent, asking, mediaError},
        {"late grant", S::AwaitingDelay, waiting, grant},
        {"refusal", S::AwaitingDelay, waiting,
         [&](auto&, auto) { session->refuse(session->attempt()); }},
        {"late grant", S::Connecting, connecting, grant},
        {"late refusal", S::Connecting, connecting, refuse},
        {"link after exit", S::Closed, [&] { session->shutdown(); },
         [&](auto&, auto) { session->handOver(server.link(1)); }},
        {"Connect after exit", S::Closed, [&] { session->shutdown(); },
         [&](auto&, auto) { session->userConnect(server.url(), QStringLiteral("1")); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        session = std::make_unique<Session>();
        session->connectDelayMs = 200;
        const quint64 old = session->attempt() + 1;
        const Grant stale = staleGrant();
        r.reach();
        ASSERT_EQ(session->state(), r.state);
        int asked = 0;
        QObject::connect(session.get(), &Session::consentRequested, [&] { ++asked; });
        QSignalSpy shown(session.get(), &Session::errorShown);
        const quint64 attempt = session->attempt();
        const int requests = server.requests().size() + other.requests().size();
        const bool input = session->wsInput.webSocket.state() != QAbstractSocket::UnconnectedState;

        r.event(stale, old);

        EXPECT_FALSE(waitFor([&] { return session->state() != r.state; }, 300));
        EXPECT_EQ(session->attempt(), attempt);
        EXPECT_EQ(server.requests().size() + other.requests().size(), requests);
        EXPECT_EQ(asked + shown.size(), 0);
        EXPECT_EQ(session->wsInput.webSocket.state() != QAbstractSocket::UnconnectedState, input);
    }
}

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
    ASSERT_EQ(session->state(), Session::State::AwaitingDelay);

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

    int asked = 0;
    QObject::connect(session.get(), &Session::consentRequested, [&] { ++asked; });
    auto expectUntouched = [&] {
        EXPECT_EQ(GlobalSettings::instance().connectionParams.sessionId, "1");
        EXPECT_EQ(session->liveTarget().connection.sessionId, "1");
        EXPECT_EQ(other.signalling(), 0);
    };

    session->handOver(other.link(7));
    ASSERT_EQ(asked, 1);
    const ConsentRequest first = *session->pendingConsent();
    EXPECT_EQ(first.foreignHost(), QStringLiteral("127.0.0.1:%1").arg(other.port()));
    expectUntouched();
    // Longer than the delayed connect: a request that needs consent never connects by itself.
    EXPECT_FALSE(waitFor([&] { return other.signalling() > 0; }, 1000));
    const std::optional<Grant> late = answer(first, true);
    session->refuse(first.attempt());

    session->handOver(other.link(7));
    ASSERT_EQ(asked, 2);
    session->grant(*late);  // the refused request's grant comes too late
    expectUntouched();
    session->grant(*answer(*session->pendingConsent(), true));
    ASSERT_TRUE(waitFor([&] { return other.signalling() == 1; }));
    EXPECT_EQ(session->liveTarget().connection.sessionId, "7");
}

// A link's server that was down at start-up, up now: Connect asks, with the other-server line,
// and nothing connects before the answer; the configured server's own waiver connects at once.
TEST_F(SessionTest, ConnectAsksUnlessTheConfiguredServerWaivesConsent) {
    int asked = 0;
    QObject::connect(session.get(), &Session::consentRequested, [&] { ++asked; });
    session->userConnect(other.url(), QStringLiteral("7"));
    ASSERT_EQ(asked, 1);
    EXPECT_FALSE(session->pendingConsent()->foreignHost().isEmpty());
    EXPECT_FALSE(waitFor([&] { return other.signalling() > 0; }, 500));

    server.setSession(3, true);
    session->userConnect(server.url(), QStringLiteral("3"));
    ASSERT_EQ(asked, 2);
    EXPECT_TRUE(session->pendingConsent()->foreignHost().isEmpty());

    server.setSession(4, false);
    session->userConnect(server.url(), QStringLiteral("4"));
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(connectingTo("4"));
}

// A server older than 0.7.0 sends no session settings: they are the defaults, not what the
// server before it said.
TEST_F(SessionTest, OlderServerStartsFromDefaultsNotTheLastServer) {
    server.setRoute("/assistant/1/settings", 200,
                    R"({"notifyConnection": false, "displayName": "Alice", "audioEnable": false})");
    session->userConnect(server.url(), QStringLiteral("1"));
    ASSERT_TRUE(connectingTo("1"));
    server.setRoute("/assistant/api/discover/", 200, R"({"server": {"version": "0.6.9"}})");
    server.setRoute("/assistant/api/2/settings", 200, "{}");
    session->userConnect(server.url(), QStringLiteral("2"));
    ASSERT_NE(session->pendingConsent(), nullptr);
    const ServerApiParams& older = session->pendingConsent()->target().serverApi;
    EXPECT_EQ(older.adminName, "");
    EXPECT_TRUE(older.enableAudio && older.notifyConnection);
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
