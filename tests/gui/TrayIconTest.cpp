// The tray entry of the window, with Debian's trayer as the tray host: Show and Hide, Exit, and
// clicks on the notifications.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "GlobalSettings.h"
#include "GuiTestUtil.h"
#include "LogCapture.h"
#include "MainWindow.h"
#include "SilentServer.h"
#include "TestEnv.h"
#include "TrayIcon.h"

namespace {

// One tray host for the whole suite; the locale child processes use their parent's.
struct TrayEnvironment : ::testing::Environment {
    void SetUp() override {
        if (!qEnvironmentVariableIsEmpty("KELVANO_LOCALE_CHILD")) {
            return;
        }
        // Killed with the test process, even when a time-out ends it: a tray left on the shared
        // display would change what the other suites see.
        trayer.start(QStringLiteral("setpriv"),
                     {"--pdeathsig", "KILL", "trayer", "--edge", "bottom", "--align", "right",
                      "--SetDockType", "false"});
        trayer.waitForStarted(5000);
        waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000);
    }
    void TearDown() override {
        trayer.kill();
        trayer.waitForFinished(5000);
    }
    QProcess trayer;
};
::testing::Environment* const trayEnvironment =
    ::testing::AddGlobalTestEnvironment(new TrayEnvironment);

struct TrayTest : ::testing::Test {
    SilentServer server;

    void SetUp() override {
        ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable()) << "trayer provided no tray";
        testenv::initGStreamer();
        ASSERT_TRUE(server.start());
        server.resetSettings();
        GlobalSettings::instance().configuredServerUrl = "https://vdi.example.org/assistant";
    }
};

QAction* action(TrayIcon& t, const char* text) {
    for (QAction* a : t.systemTrayIcon.contextMenu()->actions()) {
        if (a->text() == QLatin1String(text)) {
            return a;
        }
    }
    return nullptr;
}

// Of Show and Hide, the menu offers only the one that changes something.
QString offered(TrayIcon& t) {
    QStringList texts;
    for (QAction* a : {action(t, "Show"), action(t, "Hide")}) {
        if (a->isVisible() || a->isEnabled()) {
            texts << a->text() + (a->isVisible() && a->isEnabled() ? "" : " (half)");
        }
    }
    return texts.join(',');
}

// Qt draws its own balloon when the tray host has no notification service; a press on it is
// the click, and closes it.
bool clickBalloon() {
    QWidget* balloon = nullptr;
    waitFor(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->inherits("QBalloonTip") && w->isVisible()) {
                    balloon = w;
                }
            }
            return balloon != nullptr;
        },
        5000);
    if (balloon) {
        QTest::mousePress(balloon, Qt::LeftButton);
    }
    return balloon != nullptr;
}

}  // namespace

TEST_F(TrayTest, ShowHideActivateAndExitAnsweredNo) {
    MainWindow w;
    w.show();
    TrayIcon& tray = w.tray();
    EXPECT_EQ(offered(tray), "Hide");
    action(tray, "Hide")->trigger();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(offered(tray), "Show");
    action(tray, "Show")->trigger();
    EXPECT_TRUE(w.isVisible());

    // A second start without a link brings the window back.
    action(tray, "Hide")->trigger();
    w.onPeerMessageReceived(QStringLiteral("activate"));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(offered(tray), "Hide");

    // Exit from the tray asks over the shown window; No hides it again.
    action(tray, "Hide")->trigger();
    bool visibleDuringQuestion = false;
    guitest::onModal("QMessageBox", [&](QWidget* m) {
        visibleDuringQuestion = w.isVisible();
        static_cast<QMessageBox*>(m)->button(QMessageBox::No)->click();
    });
    action(tray, "Exit")->trigger();
    EXPECT_TRUE(visibleDuringQuestion);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(offered(tray), "Show");
}

// A click on the request notification asks the question; one on the connected one does nothing.
TEST_F(TrayTest, RequestNotificationClickOpensTheQuestion) {
    MainWindow w;
    QSignalSpy clicked(&w.tray(), &TrayIcon::trayMessageClicked);
    w.tray().showConnectionMessage();
    ASSERT_TRUE(clickBalloon());
    QCoreApplication::processEvents();
    EXPECT_TRUE(clicked.isEmpty());

    LogCapture log;
    server.setSession(7, false, "Mallory");
    bool asked = false;
    guitest::onModal(
        "PermissionDialog",
        [&](QWidget* d) {
            asked = true;
            d->findChild<QPushButton*>(QStringLiteral("cancel_pb"))->click();
        },
        10000);
    w.onPeerMessageReceived(QStringLiteral("activate:") + server.link(7));
    ASSERT_TRUE(waitFor([&] { return log.contains("showing request tray message"); }, 5000));
    ASSERT_TRUE(clickBalloon());
    EXPECT_TRUE(asked);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(log.contains("refused, nothing changes")) << log.text().toStdString();
    EXPECT_EQ(server.signalling(), 0);
}
