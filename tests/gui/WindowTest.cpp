// The window, its permission dialog and tray entry as real widgets under Xvfb, trayer as tray host.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "GlobalSettings.h"
#include "LogCapture.h"
#include "MainWindow.h"
#include "PermissionDialog.h"
#include "SignallingRelay.h"
#include "SilentServer.h"
#include "TrayIcon.h"
#include "WaitFor.h"

namespace {

// Made before main: a runtime directory of its own keeps the single-instance socket away from any
// agent or other suite; the tray host dies with the process, even on a time-out.
struct GuiEnvironment : ::testing::Environment {
    GuiEnvironment() { qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path())); }
    void SetUp() override {
        trayer.start(QStringLiteral("setpriv"),
                     {"--pdeathsig", "KILL", "trayer", "--edge", "bottom", "--align", "right",
                      "--SetDockType", "false"});
        waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
    }
    void TearDown() override {
        trayer.kill();
        trayer.waitForFinished(5000);
    }
    QTemporaryDir runtimeDir;
    QProcess trayer;
};
::testing::Environment* const guiEnvironment =
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

// Calls act(modal) once a modal of that class is up, polled from the event loop (for exec()).
void onModal(const char* className, std::function<void(QWidget*)> act, int triesLeft = 1000) {
    QTimer::singleShot(10, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && modal->inherits(className)) {
            act(modal);
        } else if (triesLeft > 0) {
            onModal(className, act, triesLeft - 1);
        }
    });
}

QPushButton* button(QWidget* w, const char* name) {
    return w->findChild<QPushButton*>(name);
}

struct MainWindowTest : ::testing::Test {
    SilentServer server;

    void SetUp() override {
        gst_init(nullptr, nullptr);
        ASSERT_TRUE(server.start());
        server.resetSettings();
    }
    static std::pair<bool, bool> buttons(MainWindow& w) {
        return {button(&w, "cnt_pb")->isEnabled(), button(&w, "dcnt_pb")->isEnabled()};
    }
    const std::pair<bool, bool> idle{true, false}, busy{false, true};
};

}  // namespace

// A failed link's error leaves the buttons of the session that still runs.
TEST_F(MainWindowTest, ButtonsFollowTheSessionThroughErrors) {
    GlobalSettings::instance().connectionParams.sessionId = "5";
    server.setSession(5, false);
    MainWindow w;
    QLabel* message = w.findChild<QLabel*>("msg_lbl");
    server.setRoute("/assistant/api/discover/", 500, "{}");
    button(&w, "cnt_pb")->click();
    EXPECT_EQ(message->text(), "Server version error");
    EXPECT_EQ(buttons(w), idle);

    server.setRoute("/assistant/api/discover/", 200, R"({"server": {"version": "0.7.0"}})");
    button(&w, "cnt_pb")->click();
    ASSERT_TRUE(waitFor([&] { return server.signalling() == 1; }, 5000));
    EXPECT_EQ(buttons(w), busy);
    EXPECT_TRUE(message->text().isEmpty());

    w.onPeerMessageReceived(QStringLiteral("activate:kvlo://127.0.0.1:1/assistant/3"));
    EXPECT_EQ(message->text(), "Server version error");
    EXPECT_EQ(buttons(w), busy);

    button(&w, "dcnt_pb")->click();
    EXPECT_EQ(buttons(w), idle);
}

// Each reason a call ends with stays on the window's error line: the socket's closure that
// follows never overwrites it, and the window can connect again.
TEST_F(MainWindowTest, EachEndedCallShowsItsOwnReason) {
    SignallingRelay relay;
    ASSERT_TRUE(relay.listen());
    relay.answers = 1;  // no call: the media object is not needed to end one
    HttpTestServer::Response tunnel;
    tunnel.tunnelTo = relay.port();
    server.setRoute("/assistant/ws/signalling", tunnel);
    server.setSession(1, false);
    GlobalSettings::instance().connectionParams.sessionId = "1";
    MainWindow w;
    QLabel* message = w.findChild<QLabel*>("msg_lbl");
    const auto fromServer = [&](const char* text) { relay.agent->sendTextMessage(text); };
    const auto fromMedia = [&](const char* text) {
        emit w.session().wsSignalling.gstreamer.mainLoopTerminate(text, STATE_ERROR);
    };
    const std::pair<const char*, std::function<void(const char*)>> rows[] = {
        {"ERROR administrator left the session", fromServer},
        {"ERROR session 1 not found", fromServer},
        {"The connection with the administrator is lost", fromMedia},
        {"Completed by the opposite side", fromMedia},
    };
    for (const auto& [reason, end] : rows) {
        SCOPED_TRACE(reason);
        button(&w, "cnt_pb")->click();
        ASSERT_TRUE(
            waitFor([&] { return relay.agent && w.session().state() == Session::State::Live; }));
        end(reason);
        ASSERT_TRUE(waitFor([&] { return relay.agent == nullptr; }));
        EXPECT_FALSE(waitFor([&] { return message->text() != reason; }, 300))
            << message->text().toStdString();
        EXPECT_EQ(buttons(w), idle);
    }
}

// At start-up the question comes before the window: showing the window (a second start's
// "activate", a tray click) connects nothing, and the tray's request click does not answer it.
TEST_F(MainWindowTest, ShowingTheWindowWhileStartupAsksConnectsNothing) {
    server.setSession(9, true);
    GlobalSettings::instance().connectionParams.sessionId = "9";
    GlobalSettings::instance().fromLink = true;
    MainWindow w;
    ASSERT_TRUE(w.needsPermission());
    w.onPeerMessageReceived(QStringLiteral("activate"));
    emit w.tray().systemTrayIcon.activated(QSystemTrayIcon::Trigger);
    emit w.tray().trayMessageClicked();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(waitFor([&] { return server.signalling() > 0; }, 1000));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// Exit, answered Yes, while the start-up link's settings are fetched (no event loop runs yet to
// quit): start-up learns of it, and the link never connects.
TEST_F(MainWindowTest, ExitDuringTheStartupFetchIsNotLost) {
    server.setSession(9, false, 1500);
    GlobalSettings::instance().connectionParams.sessionId = "9";
    GlobalSettings::instance().fromLink = true;
    QTimer::singleShot(300, [] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->inherits("MainWindow")) {
                onModal("QMessageBox", [](QWidget* box) {
                    static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
                });
                top->close();
            }
        }
    });
    MainWindow w;
    w.session().connectDelayMs = 0;
    EXPECT_TRUE(w.isLeaving());
    EXPECT_FALSE(waitFor([&] { return server.signalling() > 0; }, 500));
    // The quit stays pending and would end every later modal at once: a loop of its own takes it.
    QTimer::singleShot(0, &QCoreApplication::quit);
    QCoreApplication::exec();
}

TEST_F(MainWindowTest, RequestNotificationClickOpensTheQuestion) {
    GlobalSettings::instance().configuredServerUrl = "https://vdi.example.org/assistant";
    MainWindow w;
    server.setSession(7, false);
    bool asked = false;
    onModal("PermissionDialog", [&](QWidget* d) {
        asked = true;
        button(d, "cancel_pb")->click();
    });
    w.onPeerMessageReceived(QStringLiteral("activate:") + server.link(7));
    // Qt's own balloon (the tray host has no notification service): a press on it is the click.
    ASSERT_TRUE(waitFor([] {
        for (QWidget* balloon : QApplication::topLevelWidgets()) {
            if (balloon->inherits("QBalloonTip") && balloon->isVisible()) {
                QTest::mousePress(balloon, Qt::LeftButton);
                return true;
            }
        }
        return false;
    }));
    EXPECT_TRUE(asked);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(server.signalling(), 0);
}

// Only Give, enabled only while the box is ticked, grants; every other way out refuses. The name
// comes from the server: it may not pass for the question. The server line names a link's server.
TEST_F(MainWindowTest, OnlyGiveWithTheBoxTickedGrantsAndNamesAreShownLiterally) {
    const QString name = QStringLiteral("<b>Click to install updates</b><!--");
    server.setRoute("/assistant/7/settings", 200,
                    R"({"notifyConnection": true, "displayName": ")" + name.toUtf8() + "\"}");
    SilentServer other;
    ASSERT_TRUE(other.start());
    other.setSession(7, false);
    Session session;
    const auto requestFor = [&](const QString& link) {
        session.handOver(link);
        return *session.pendingConsent();
    };
    const ConsentRequest here = requestFor(server.link(7));
    const ConsentRequest there = requestFor(other.link(7));
    const QString question =
        "Give permission for administrator '" + name + "' to share your screen?";
    const QString serverLine = QStringLiteral(
                                   "The request comes from the server 127.0.0.1:%1, which "
                                   "is not your organisation's configured server.")
                                   .arg(other.port());
    const auto tick = [](QWidget* d) { d->findChild<QCheckBox*>("checkBox")->click(); };
    const std::function<void(QWidget*)> ends[] = {
        [&](QWidget* d) {
            EXPECT_FALSE(button(d, "give_pb")->isEnabled());
            tick(d);
            tick(d);
            EXPECT_FALSE(button(d, "give_pb")->isEnabled());
            tick(d);
            QTest::mouseClick(button(d, "give_pb"), Qt::LeftButton);
        },
        [](QWidget* d) { button(d, "cancel_pb")->click(); },
        [](QWidget* d) { d->close(); },
        [](QWidget* d) {
            waitFor([&] { return static_cast<PermissionDialog*>(d)->takesKeys(); });
            QTest::keyClick(d, Qt::Key_Escape);
        },
    };
    for (const auto& end : ends) {
        const bool give = &end == &ends[0];
        onModal("PermissionDialog", [&](QWidget* d) {
            QStringList shown;  // what a user (or a screen reader) gets, markup rendered
            for (const char* label : {"label", "server_lbl"}) {
                QAccessibleInterface* l =
                    QAccessible::queryAccessibleInterface(d->findChild<QLabel*>(label));
                shown << (l->state().invisible ? QString() : l->text(QAccessible::Name));
            }
            EXPECT_EQ(shown, QStringList({give ? question
                                               : QString("Give permission to share your screen?"),
                                          give ? QString() : serverLine}));
            if (!give) {
                tick(d);
            }
            end(d);
        });
        const std::optional<Grant> granted = askPermission(give ? here : there, nullptr);
        EXPECT_EQ(granted.has_value(), give);
        if (granted) {
            EXPECT_EQ(granted->attempt(), here.attempt());
        }
    }
}

// A chat line typed on as the dialog pops up ("ok then " and Enter) grants nothing; later, with
// the box ticked, Enter still does not: no button is the default.
TEST_F(MainWindowTest, KeysTypedAsTheQuestionAppearsGrantNothing) {
    server.setSession(2, true);
    Session session;
    session.handOver(server.link(2));
    PermissionDialog dialog(*session.pendingConsent(), nullptr);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QWidget* focus = dialog.focusWidget() ? dialog.focusWidget() : &dialog;
    QTest::keyClicks(focus, "ok then ");
    QTest::keyClick(focus, Qt::Key_Return);
    auto* box = dialog.findChild<QCheckBox*>("checkBox");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(box->isChecked());

    ASSERT_TRUE(waitFor([&] { return dialog.takesKeys(); }, 5000));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Space);
    ASSERT_TRUE(box->isChecked());
    for (QWidget* target :
         {static_cast<QWidget*>(box), static_cast<QWidget*>(button(&dialog, "give_pb"))}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Return);
    }
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.grant().has_value());
}

// The locale is read once per process: gui_locale_tests runs this suite with a Russian one.
TEST(Locale, RussianSystemLocaleTranslatesTheWindowAndKeepsItsError) {
    if (QLocale::system().name() != "ru_RU") {
        GTEST_SKIP() << "runs in gui_locale_tests";
    }
    LogCapture::initLogger();
    // A start-up link to a server that is not there: the error appears while the window is built.
    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = "http://127.0.0.1:1/assistant";
    s.connectionParams.sessionId = "7";
    s.fromLink = true;
    MainWindow w;
    w.show();
    EXPECT_EQ(button(&w, "cnt_pb")->text(), "Подключиться");
    EXPECT_EQ(w.tray().systemTrayIcon.contextMenu()->actions().value(0)->text(), "Показать");

    // The language change posted by the translator re-applies the form; the error stays.
    QLabel* msg = w.findChild<QLabel*>("msg_lbl");
    EXPECT_TRUE(waitFor([&] { return w.windowTitle() == "Kelvano assistant"; }, 5000));
    EXPECT_EQ(msg->text(), "Ошибка версии сервера");

    // An error text may live only during its signal: the window keeps a copy.
    QByteArray transient("Connection with the server is closed");
    w.showErrorMessage(transient.constData());
    transient[0] = 'X';
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&w, &change);
    EXPECT_EQ(msg->text(), "Соединение с сервером закрыто") << transient.constData();
}
