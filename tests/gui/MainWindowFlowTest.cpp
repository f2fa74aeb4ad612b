#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "GlobalSettings.h"
#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "MainWindow.h"
#include "PermissionDialog.h"
#include "SessionServer.h"

namespace {

constexpr const char* kConfigured = "https://vdi.example.org/assistant";

struct FlowTest : ::testing::Test {
    SessionServer server;

    static void SetUpTestSuite() { guitest::initMedia(); }

    void SetUp() override {
        logcapture::start();
        logcapture::mark();
        ASSERT_TRUE(server.start());
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
        s.configuredServerUrl = kConfigured;
    }

    // As the URL parser leaves the settings after a link to this server.
    void linkTo(int session, bool configuredHere) {
        auto& s = GlobalSettings::instance();
        s.connectionParams.serverUrl = server.serverUrl().toStdString();
        s.connectionParams.sessionId = std::to_string(session);
        s.fromLink = true;
        if (configuredHere) {
            s.configuredServerUrl = s.connectionParams.serverUrl;
        }
    }

    static int count(const QString& text) { return logcapture::sinceMark().count(text); }
};

QPushButton* button(MainWindow& w, const char* name) {
    return w.findChild<QPushButton*>(QString::fromLatin1(name));
}
QLabel* message(MainWindow& w) {
    return w.findChild<QLabel*>(QStringLiteral("msg_lbl"));
}

}  // namespace

TEST_F(FlowTest, ServerErrorIsShownInRedAndTheWindowIsIdleAgain) {
    server.http.setRoute(QStringLiteral("/assistant/api/discover/"), 500, "{}");
    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = server.serverUrl().toStdString();
    s.connectionParams.sessionId = "7";
    MainWindow w;
    button(w, "cnt_pb")->click();
    EXPECT_EQ(message(w)->text(), "Server version error");
    EXPECT_EQ(message(w)->styleSheet(), "QLabel {color: red }");
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
    EXPECT_FALSE(button(w, "dcnt_pb")->isEnabled());
    EXPECT_EQ(server.front.webSocketConnections(), 0);
    EXPECT_EQ(count("Connecting to the server"), 0);
}

TEST_F(FlowTest, LinkToConfiguredServerWithoutConsentConnectsFiveSecondsAfterTheFirstShowOnly) {
    server.setSession(7, false, QStringLiteral("Ada"));
    linkTo(7, true);
    MainWindow w;
    EXPECT_FALSE(w.needsPermission());
    w.show();
    QElapsedTimer shown;
    shown.start();
    ASSERT_TRUE(guitest::waitFor([] { return count("Connecting to the server") == 1; }, 8000));
    EXPECT_GE(shown.elapsed(), 4900);
    EXPECT_TRUE(logcapture::sinceMark().contains("sessionID 7 and admin Ada"));

    // Restoring the window from the tray neither drops nor restarts anything.
    w.tray().hideMainWindowToTray();
    w.tray().showMainWindowFromTray();
    w.hide();
    w.show();
    QTest::qWait(5500);
    EXPECT_EQ(count("Connecting to the server"), 1);
    EXPECT_EQ(count("Disconnecting from the server"), 0);
    EXPECT_FALSE(button(w, "cnt_pb")->isEnabled());
}

TEST_F(FlowTest, LinkToAnotherServerAsksEvenWhenThatServerWaivesConsent) {
    server.setSession(9, false);
    linkTo(9, false);
    MainWindow w;
    EXPECT_TRUE(w.needsPermission());
    const QString log = logcapture::sinceMark();
    EXPECT_TRUE(log.contains("[WARNING]")) << log.toStdString();
    EXPECT_TRUE(log.contains("is not the configured server " + QString(kConfigured)));

    // Consent was asked before the first show, so the show connects at once.
    w.show();
    EXPECT_EQ(count("Connecting to the server"), 1);
}

TEST_F(FlowTest, LinkToConfiguredServerFollowsTheServersConsentFlag) {
    server.setSession(3, true);
    linkTo(3, true);
    MainWindow w;
    EXPECT_TRUE(w.needsPermission());
    EXPECT_FALSE(logcapture::sinceMark().contains("is not the configured server"));
    w.show();
    EXPECT_EQ(count("Connecting to the server"), 1);
    EXPECT_TRUE(logcapture::sinceMark().contains("admin 'NONE'"));
}

namespace {

// A window connected to the loopback server with a registered signalling session.
struct ConnectedWindow {
    explicit ConnectedWindow(SessionServer& server, int session) {
        server.setSession(session, false);
        auto& s = GlobalSettings::instance();
        s.connectionParams.serverUrl = server.serverUrl().toStdString();
        s.connectionParams.sessionId = std::to_string(session);
        window.reset(new MainWindow);
    }
    std::unique_ptr<MainWindow> window;
};

}  // namespace

TEST_F(FlowTest, UserDisconnectThenServerClosureShowsNoTextAndResetsButtons) {
    server.relay.answerSession = false;
    ConnectedWindow c(server, 5);
    MainWindow& w = *c.window;
    button(w, "cnt_pb")->click();
    ASSERT_TRUE(guitest::waitFor([&] { return server.relay.agentMessages.size() >= 2; }));
    EXPECT_EQ(server.relay.agentMessages.at(1), "SESSION 5");
    EXPECT_FALSE(button(w, "cnt_pb")->isEnabled());
    EXPECT_TRUE(button(w, "dcnt_pb")->isEnabled());

    button(w, "dcnt_pb")->click();
    ASSERT_TRUE(guitest::waitFor([&] { return !server.relay.agentCloseCodes.isEmpty(); }));
    EXPECT_EQ(server.relay.agentCloseCodes.first(), 1000);
    // The closure reaches the window as "Connection with the server is closed": not shown.
    QTest::qWait(300);
    EXPECT_TRUE(message(w)->text().isEmpty());
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
    EXPECT_FALSE(button(w, "dcnt_pb")->isEnabled());
    EXPECT_EQ(w.tray().systemTrayIcon.toolTip(), "Kelvano Assistant");

    // A second disconnect for the same connection changes nothing.
    w.disconnectServer();
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
    EXPECT_TRUE(message(w)->text().isEmpty());
}

TEST_F(FlowTest, ServerClosureIsShownAndTheWindowIsIdle) {
    server.relay.answerSession = false;
    ConnectedWindow c(server, 6);
    MainWindow& w = *c.window;
    button(w, "cnt_pb")->click();
    ASSERT_TRUE(guitest::waitFor([&] { return server.relay.agentMessages.size() >= 2; }));
    server.relay.closeAgent();
    ASSERT_TRUE(guitest::waitFor([&] { return button(w, "cnt_pb")->isEnabled(); }));
    EXPECT_EQ(message(w)->text(), "Connection with the server is closed");
    EXPECT_FALSE(button(w, "dcnt_pb")->isEnabled());
    EXPECT_TRUE(logcapture::sinceMark().contains(
        "Terminate. Reason: Connection with the server is closed"));
}

TEST_F(FlowTest, DisconnectWhileTheSocketIsOpeningDropsIt) {
    server.front.holdWebSockets = true;
    ConnectedWindow c(server, 8);
    MainWindow& w = *c.window;
    button(w, "cnt_pb")->click();
    ASSERT_TRUE(guitest::waitFor([&] { return server.front.webSocketConnections() == 1; }));
    button(w, "dcnt_pb")->click();
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
    // Let the held handshake through: the dropped socket must not come up and register.
    server.front.releaseWebSockets();
    QTest::qWait(1000);
    EXPECT_TRUE(server.relay.agentMessages.isEmpty())
        << server.relay.agentMessages.join(',').toStdString();
    EXPECT_EQ(count("Connecting to the server"), 1);
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
}

TEST_F(FlowTest, InvalidFieldsAreRefusedBeforeAnyServerIsAsked) {
    server.setSession(4, false);
    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = server.serverUrl().toStdString();
    s.connectionParams.sessionId = "4";
    MainWindow w;
    w.findChild<QLineEdit*>(QStringLiteral("srv_le"))->setText(QStringLiteral("not a server"));
    button(w, "cnt_pb")->click();
    EXPECT_EQ(message(w)->text(), "Cannot validate parameters");
    EXPECT_EQ(message(w)->styleSheet(), "QLabel {color: red }");
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
    EXPECT_FALSE(button(w, "dcnt_pb")->isEnabled());
    QTest::qWait(200);
    EXPECT_EQ(server.front.httpConnections() + server.front.webSocketConnections(), 0);
    EXPECT_TRUE(server.http.requests().isEmpty());
}

TEST_F(FlowTest, StartFromLinkWithConsentSharesTheScreenAndSurvivesARestore) {
    WebRtcPeer peer;
    ASSERT_TRUE(peer.start());
    server.attachAdministrator(peer);
    server.setSession(12, true, QStringLiteral("Ada"));
    linkTo(12, true);

    // As start-up does it: consent before the window is shown.
    MainWindow w;
    ASSERT_TRUE(w.needsPermission());
    EXPECT_FALSE(w.isVisible());
    guitest::onModal("PermissionDialog", [](QWidget* d) {
        d->findChild<QCheckBox*>(QStringLiteral("checkBox"))->click();
        d->findChild<QPushButton*>(QStringLiteral("give_pb"))->click();
    });
    ASSERT_TRUE(askPermission(QStringLiteral("Ada"), QString(), nullptr));
    w.show();
    EXPECT_EQ(count("Connecting to the server"), 1);

    ASSERT_TRUE(guitest::waitFor([&] { return peer.videoFrames() >= 3; }, 30000));
    EXPECT_EQ(peer.videoWidth(), 1920);
    EXPECT_EQ(peer.videoHeight(), 1080);
    EXPECT_EQ(w.tray().systemTrayIcon.toolTip(), "'Ada' has connected to your desktop");

    w.tray().hideMainWindowToTray();
    w.tray().showMainWindowFromTray();
    const int frames = peer.videoFrames();
    ASSERT_TRUE(guitest::waitFor([&] { return peer.videoFrames() >= frames + 5; }, 20000));
    EXPECT_EQ(count("Connecting to the server"), 1);
    EXPECT_EQ(count("Disconnecting from the server"), 0);
    EXPECT_EQ(server.relay.agentCloseCodes.size(), 0);
    w.disconnectServer();
    peer.stop();
}

TEST_F(FlowTest, HandedOverLinkWithoutConsentConnectsFiveSecondsLater) {
    server.relay.answerSession = false;
    server.setSession(21, false);
    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = "https://vdi.example.org/assistant";
    s.connectionParams.sessionId = "1";
    s.configuredServerUrl = server.serverUrl().toStdString();
    MainWindow w;
    w.show();
    QElapsedTimer handed;
    handed.start();
    w.onPeerMessageReceived("activate:" + server.serverUrl().replace("http://", "kvlo://") + "/21");
    EXPECT_EQ(s.connectionParams.sessionId, "21");
    ASSERT_TRUE(guitest::waitFor([&] { return server.relay.agentMessages.size() >= 2; }, 8000));
    EXPECT_GE(handed.elapsed(), 4900);
    EXPECT_EQ(server.relay.agentMessages.at(1), "SESSION 21");
    EXPECT_EQ(w.findChild<QLineEdit*>(QStringLiteral("sesID_le"))->text(), "21");
    EXPECT_FALSE(logcapture::sinceMark().contains("PermissionDialog"));
}

TEST_F(FlowTest, UnparsableHandedOverLinkIsOnlyLogged) {
    MainWindow w;
    for (const char* m : {"activate:", "activate:ftp-less text", "xxactivate:nothing here"}) {
        logcapture::mark();
        w.onPeerMessageReceived(QString::fromLatin1(m));
        EXPECT_TRUE(logcapture::sinceMark().contains("[ERROR] Cannot parse full url")) << m;
        EXPECT_TRUE(message(w)->text().isEmpty()) << m;
    }
    EXPECT_EQ(server.front.httpConnections(), 0);
}
