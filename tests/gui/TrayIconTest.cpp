#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "GlobalSettings.h"
#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "MainWindow.h"
#include "TrayHost.h"
#include "TrayIcon.h"

namespace {

::testing::Environment* const trayEnvironment =
    ::testing::AddGlobalTestEnvironment(new TrayEnvironment);

struct TrayTest : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(TrayEnvironment::available()) << "trayer did not provide a system tray";
        logcapture::start();
        logcapture::mark();
        GlobalSettings::instance().serverApiParams = ServerApiParams{};
    }
};

struct MenuState {
    bool showVisible, showEnabled, hideVisible, hideEnabled;
    bool operator==(const MenuState& o) const {
        return showVisible == o.showVisible && showEnabled == o.showEnabled &&
               hideVisible == o.hideVisible && hideEnabled == o.hideEnabled;
    }
};

QAction* action(TrayIcon& t, const QString& text) {
    for (QAction* a : t.systemTrayIcon.contextMenu()->actions()) {
        if (a->text() == text) {
            return a;
        }
    }
    return nullptr;
}

MenuState menuState(TrayIcon& t) {
    QAction* s = action(t, "Show");
    QAction* h = action(t, "Hide");
    return {s->isVisible(), s->isEnabled(), h->isVisible(), h->isEnabled()};
}

// Qt draws its own balloon when the tray host has no notification service.
QWidget* balloon() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->inherits("QBalloonTip") && w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

void closeBalloons() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->inherits("QBalloonTip")) {
            w->close();
        }
    }
}

}  // namespace

TEST_F(TrayTest, MenuOffersOnlyShowAfterHideAndOnlyHideAfterShow) {
    QWidget window;
    window.show();
    TrayIcon tray(&window);
    tray.makeTrayHandlers();
    ASSERT_NE(tray.systemTrayIcon.contextMenu(), nullptr);
    QStringList texts;
    for (QAction* a : tray.systemTrayIcon.contextMenu()->actions()) {
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    }
    EXPECT_EQ(texts, QStringList({"Show", "Hide", "-", "Exit"}));
    EXPECT_TRUE(tray.systemTrayIcon.isVisible());
    EXPECT_EQ(tray.systemTrayIcon.toolTip(), "Kelvano Assistant");
    EXPECT_EQ(menuState(tray), (MenuState{false, false, true, true}));

    action(tray, "Hide")->trigger();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(menuState(tray), (MenuState{true, true, false, false}));

    action(tray, "Show")->trigger();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(menuState(tray), (MenuState{false, false, true, true}));

    const QString log = logcapture::sinceMark();
    EXPECT_TRUE(log.contains("TrayIcon: hide mainwindow to tray"));
    EXPECT_TRUE(log.contains("TrayIcon: show mainwindow from tray"));
    EXPECT_FALSE(log.contains("System tray is not available"));
}

TEST_F(TrayTest, ClickOnConnectedNotificationDoesNothing) {
    QWidget window;
    TrayIcon tray(&window);
    tray.makeTrayHandlers();
    QSignalSpy clicked(&tray, &TrayIcon::trayMessageClicked);
    GlobalSettings::instance().serverApiParams.adminName = "Boris";

    tray.showConnectionMessage();
    ASSERT_TRUE(guitest::waitFor([] { return balloon() != nullptr; }));
    QTest::mousePress(balloon(), Qt::LeftButton);  // the balloon closes itself on the press
    QCoreApplication::processEvents();
    EXPECT_TRUE(clicked.isEmpty());
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(logcapture::sinceMark().contains("TrayIcon: showing notification tray message"));
    closeBalloons();
}

TEST_F(TrayTest, ExitFromTrayAskedNoPutsTheWindowBack) {
    GlobalSettings::instance().fromLink = false;
    MainWindow window;
    window.show();
    ASSERT_TRUE(guitest::waitFor([&] { return window.isVisible(); }));
    TrayIcon tray(&window);
    tray.makeTrayHandlers();
    action(tray, "Hide")->trigger();
    ASSERT_FALSE(window.isVisible());

    bool visibleDuringQuestion = false;
    guitest::onModal("QMessageBox", [&](QWidget* m) {
        visibleDuringQuestion = window.isVisible();
        static_cast<QMessageBox*>(m)->button(QMessageBox::No)->click();
    });
    action(tray, "Exit")->trigger();
    EXPECT_TRUE(visibleDuringQuestion);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(menuState(tray), (MenuState{true, true, false, false}));
}
