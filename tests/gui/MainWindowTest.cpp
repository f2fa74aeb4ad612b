#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTranslator>

#include "GlobalSettings.h"
#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "MainWindow.h"

namespace {

struct Fixture : ::testing::Test {
    void SetUp() override {
        auto& s = GlobalSettings::instance();
        s.connectionParams = ConnectionParams{};
        s.connectionParams.serverUrl = "https://vdi.example.org/assistant";
        s.connectionParams.sessionId = "42";
        s.serverApiParams = ServerApiParams{};
        s.fromLink = false;
        s.waylandSession = false;
        s.configuredServerUrl = s.connectionParams.serverUrl;
    }
};

template <typename T>
T* child(QWidget& w, const char* name) {
    T* c = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

}  // namespace

using MainWindowForm = Fixture;

TEST_F(MainWindowForm, WidgetsHaveTheirNamesGeometryAndTexts) {
    MainWindow w;
    EXPECT_EQ(w.objectName(), "MainWindow");
    EXPECT_EQ(w.windowTitle(), "Kelvano Assistant");
    EXPECT_EQ(w.minimumSize(), QSize(270, 300));
    EXPECT_EQ(w.maximumSize(), QSize(270, 300));
    EXPECT_FALSE(w.windowIcon().isNull());

    struct Row {
        const char* name;
        QRect geometry;
        QString text;
    };
    const Row labels[] = {
        {"srv_lbl", {10, 20, 241, 16}, "Server URL"},
        {"sesID_lbl", {10, 80, 241, 16}, "Session ID"},
        {"msg_lbl", {10, 140, 241, 61}, ""},
    };
    for (const Row& r : labels) {
        QLabel* l = child<QLabel>(w, r.name);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l->geometry(), r.geometry) << r.name;
        EXPECT_EQ(l->text(), r.text) << r.name;
    }
    EXPECT_TRUE(child<QLabel>(w, "msg_lbl")->wordWrap());

    EXPECT_EQ(child<QLineEdit>(w, "srv_le")->geometry(), QRect(10, 40, 241, 24));
    EXPECT_EQ(child<QLineEdit>(w, "sesID_le")->geometry(), QRect(10, 100, 241, 24));
    // setGUIParams filled the fields from the settings.
    EXPECT_EQ(child<QLineEdit>(w, "srv_le")->text(), "https://vdi.example.org/assistant");
    EXPECT_EQ(child<QLineEdit>(w, "sesID_le")->text(), "42");

    QPushButton* cnt = child<QPushButton>(w, "cnt_pb");
    QPushButton* dcnt = child<QPushButton>(w, "dcnt_pb");
    EXPECT_EQ(cnt->geometry(), QRect(10, 220, 110, 24));
    EXPECT_EQ(dcnt->geometry(), QRect(140, 220, 110, 24));
    EXPECT_EQ(cnt->text(), "Connect");
    EXPECT_EQ(dcnt->text(), "Disconnect");
    EXPECT_TRUE(cnt->autoDefault());
    EXPECT_TRUE(cnt->isEnabled());
    EXPECT_FALSE(dcnt->isEnabled());
    EXPECT_NE(child<QMenuBar>(w, "menubar"), nullptr);
    EXPECT_NE(child<QStatusBar>(w, "statusbar"), nullptr);
}

TEST_F(MainWindowForm, ErrorMessageIsRedAndResetsTheButtons) {
    MainWindow w;
    QPushButton* cnt = child<QPushButton>(w, "cnt_pb");
    QPushButton* dcnt = child<QPushButton>(w, "dcnt_pb");
    cnt->setEnabled(false);
    dcnt->setEnabled(true);

    w.showErrorMessage("Server not found");
    QLabel* msg = child<QLabel>(w, "msg_lbl");
    EXPECT_EQ(msg->text(), "Server not found");
    EXPECT_EQ(msg->styleSheet(), "QLabel {color: red }");
    EXPECT_TRUE(cnt->isEnabled());
    EXPECT_FALSE(dcnt->isEnabled());
}

TEST_F(MainWindowForm, ErrorTextOutlivesTheCallersBuffer) {
    MainWindow w;
    {
        char transient[] = "Data channel error";
        w.showErrorMessage(transient);
        transient[0] = 'X';
    }
    EXPECT_EQ(child<QLabel>(w, "msg_lbl")->text(), "Data channel error");
}

TEST_F(MainWindowForm, LeaveQuestionNoKeepsTheWindow) {
    MainWindow w;
    w.show();
    ASSERT_TRUE(guitest::waitFor([&] { return w.isVisible(); }));
    QString question;
    guitest::onModal("QMessageBox", [&](QWidget* m) {
        auto* box = static_cast<QMessageBox*>(m);
        question = box->text();
        box->button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(w.close());
    EXPECT_EQ(question, "Do you really want to leave?");
    EXPECT_TRUE(w.isVisible());
}

TEST_F(MainWindowForm, LeaveQuestionYesQuitsTheEventLoop) {
    MainWindow w;
    w.show();
    ASSERT_TRUE(guitest::waitFor([&] { return w.isVisible(); }));
    guitest::onModal("QMessageBox", [&](QWidget* m) {
        auto* box = static_cast<QMessageBox*>(m);
        EXPECT_EQ(box->button(QMessageBox::Yes)->text(), "Yes");
        EXPECT_EQ(box->button(QMessageBox::No)->text(), "No");
        box->button(QMessageBox::Yes)->click();
    });
    // The close is asked from inside a running event loop, as in the application.
    QTimer::singleShot(0, &w, [&] { w.close(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(2); });
    guard.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(MainWindowForm, ActivateMessageBringsTheWindowBackAndDoesNothingElse) {
    logcapture::start();
    MainWindow w;
    w.show();
    w.tray().hideMainWindowToTray();
    ASSERT_FALSE(w.isVisible());
    logcapture::mark();
    w.onPeerMessageReceived(QStringLiteral("activate"));
    EXPECT_TRUE(w.isVisible());
    const QString log = logcapture::sinceMark();
    EXPECT_TRUE(log.contains("Message from second instance received: activate"));
    EXPECT_TRUE(
        log.contains("Got activate message from second instance. Showing window from tray"));
    EXPECT_FALSE(log.contains("Connecting to the server"));
    EXPECT_TRUE(child<QPushButton>(w, "cnt_pb")->isEnabled());
}

TEST_F(MainWindowForm, RepeatedDisconnectIsHarmless) {
    logcapture::start();
    MainWindow w;
    w.disconnectServer();
    w.disconnectServer();
    EXPECT_TRUE(child<QPushButton>(w, "cnt_pb")->isEnabled());
    EXPECT_FALSE(child<QPushButton>(w, "dcnt_pb")->isEnabled());
    EXPECT_EQ(w.tray().systemTrayIcon.toolTip(), "Kelvano Assistant");
}
