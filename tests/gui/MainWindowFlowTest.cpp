#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "GlobalSettings.h"
#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "MainWindow.h"
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

// A start-up link: consent is asked (before the first show, by the start-up code) unless the
// configured server waives it; then the first show connects at once, otherwise after the delay.
TEST_F(FlowTest, StartupLinkAsksUnlessTheConfiguredServerWaivesConsent) {
    struct Row {
        bool configuredHere, serverAsks, asked;
    };
    for (const Row r : {Row{true, false, false}, Row{false, false, true}, Row{true, true, true}}) {
        logcapture::mark();
        server.setSession(9, r.serverAsks);
        linkTo(9, r.configuredHere);
        if (!r.configuredHere) {
            GlobalSettings::instance().configuredServerUrl = kConfigured;
        }
        MainWindow w;
        EXPECT_EQ(w.needsPermission(), r.asked) << r.configuredHere << r.serverAsks;
        EXPECT_EQ(logcapture::sinceMark().contains("is not the configured server"),
                  !r.configuredHere);
        w.session().connectDelayMs = 300;
        w.show();
        EXPECT_EQ(count("Connecting to the server"), r.asked ? 1 : 0);
        ASSERT_TRUE(guitest::waitFor([] { return count("Connecting to the server") == 1; }));
        // Restoring the window from the tray neither drops nor restarts anything.
        w.tray().hideMainWindowToTray();
        w.tray().showMainWindowFromTray();
        EXPECT_FALSE(guitest::waitFor([] { return count("Connecting to the server") > 1; }, 600));
        EXPECT_EQ(count("Disconnecting from the server"), 0);
        EXPECT_FALSE(button(w, "cnt_pb")->isEnabled());
    }
}

TEST_F(FlowTest, UserDisconnectThenServerClosureShowsNoTextAndResetsButtons) {
    server.relay.answerSession = false;
    server.setSession(5, false);
    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = server.serverUrl().toStdString();
    s.connectionParams.sessionId = "5";
    MainWindow w;
    button(w, "cnt_pb")->click();
    ASSERT_TRUE(guitest::waitFor([&] { return server.relay.agentMessages.size() >= 2; }));
    EXPECT_EQ(server.relay.agentMessages.at(1), "SESSION 5");
    EXPECT_FALSE(button(w, "cnt_pb")->isEnabled());
    EXPECT_TRUE(button(w, "dcnt_pb")->isEnabled());

    button(w, "dcnt_pb")->click();
    ASSERT_TRUE(guitest::waitFor([&] { return !server.relay.agentCloseCodes.isEmpty(); }));
    EXPECT_EQ(server.relay.agentCloseCodes.first(), 1000);
    // The closure reaches the session as "Connection with the server is closed": not shown.
    EXPECT_FALSE(guitest::waitFor([&] { return !message(w)->text().isEmpty(); }, 300));
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
    EXPECT_FALSE(button(w, "dcnt_pb")->isEnabled());
    EXPECT_EQ(w.tray().systemTrayIcon.toolTip(), "Kelvano Assistant");
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
    EXPECT_TRUE(button(w, "cnt_pb")->isEnabled());
    EXPECT_FALSE(button(w, "dcnt_pb")->isEnabled());
    EXPECT_EQ(server.front.httpConnections() + server.front.webSocketConnections(), 0);
}
