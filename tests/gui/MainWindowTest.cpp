// What the window adds to the session: its buttons follow the session's state, and only its
// first show releases a start-up link.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "GlobalSettings.h"
#include "GuiTestUtil.h"
#include "MainWindow.h"
#include "SilentServer.h"
#include "TestEnv.h"
#include "WaitFor.h"

namespace {

struct MainWindowTest : ::testing::Test {
    SilentServer server;

    void SetUp() override {
        testenv::initGStreamer();
        ASSERT_TRUE(server.start());
        server.resetSettings();
        GlobalSettings::instance().connectionParams.sessionId = "5";
    }
};

QPushButton* button(MainWindow& w, const char* name) {
    return w.findChild<QPushButton*>(QString::fromLatin1(name));
}
// Connect enabled, Disconnect enabled.
std::pair<bool, bool> buttons(MainWindow& w) {
    return {button(w, "cnt_pb")->isEnabled(), button(w, "dcnt_pb")->isEnabled()};
}
const std::pair<bool, bool> kIdle{true, false}, kBusy{false, true};

}  // namespace

// A failed link's error leaves the buttons of the session that still runs.
TEST_F(MainWindowTest, ButtonsFollowTheSessionThroughErrors) {
    server.setSession(5, false);
    MainWindow w;
    QLabel* message = w.findChild<QLabel*>(QStringLiteral("msg_lbl"));
    server.http.setRoute(QStringLiteral("/assistant/api/discover/"), 500, "{}");
    button(w, "cnt_pb")->click();
    EXPECT_EQ(message->text(), "Server version error");
    EXPECT_EQ(buttons(w), kIdle);

    server.http.setRoute(QStringLiteral("/assistant/api/discover/"), 200,
                         R"({"server": {"version": "0.7.0"}})");
    button(w, "cnt_pb")->click();
    ASSERT_TRUE(waitFor([&] { return server.signalling() == 1; }, 5000));
    EXPECT_EQ(buttons(w), kBusy);
    EXPECT_TRUE(message->text().isEmpty());

    w.onPeerMessageReceived(QStringLiteral("activate:kvlo://127.0.0.1:1/assistant/3"));
    EXPECT_EQ(message->text(), "Server version error");
    EXPECT_EQ(buttons(w), kBusy);

    button(w, "dcnt_pb")->click();
    EXPECT_EQ(buttons(w), kIdle);
}

// Restoring the window from the tray neither drops nor restarts the session.
TEST_F(MainWindowTest, OnlyTheFirstShowConnectsAStartupLink) {
    server.setSession(9, false);
    GlobalSettings::instance().connectionParams.sessionId = "9";
    GlobalSettings::instance().fromLink = true;
    MainWindow w;
    ASSERT_FALSE(w.needsPermission());
    w.session().connectDelayMs = 100;
    w.show();
    ASSERT_TRUE(waitFor([&] { return server.signalling() == 1; }, 5000));
    w.tray().hideMainWindowToTray();
    w.tray().showMainWindowFromTray();
    EXPECT_FALSE(waitFor([&] { return server.signalling() > 1; }, 600));
    EXPECT_EQ(buttons(w), kBusy);
}
