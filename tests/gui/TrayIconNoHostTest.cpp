#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QWidget>

#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "TrayIcon.h"

// No tray host runs in this suite.
TEST(TrayWithoutHost, WarnsOnceAndStillShowsTheWindowAndAsksAtOnce) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    logcapture::start();
    logcapture::mark();
    QWidget window;
    TrayIcon tray(&window);
    tray.makeTrayHandlers();
    EXPECT_EQ(tray.systemTrayIcon.contextMenu(), nullptr);
    EXPECT_FALSE(tray.systemTrayIcon.isVisible());

    // Hide and Show work without a tray entry.
    tray.hideMainWindowToTray();
    tray.showMainWindowFromTray();
    EXPECT_TRUE(guitest::waitFor([&] { return window.isVisible(); }));

    // Qt would accept the message and show nothing: the request must not be lost.
    QSignalSpy clicked(&tray, &TrayIcon::trayMessageClicked);
    tray.showRequestMessage();
    EXPECT_EQ(clicked.count(), 1);
    tray.showConnectionMessage();
    EXPECT_EQ(clicked.count(), 1);

    const QString log = logcapture::sinceMark();
    EXPECT_EQ(log.count("System tray is not available"), 1);
    EXPECT_TRUE(
        log.contains("TrayIcon: show tray message does not supoported on current platform"));
    EXPECT_TRUE(log.contains("TrayIcon: show tray message does not supported on current platform"));
}
