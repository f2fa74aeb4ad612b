#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

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

// The text is copied: some error texts live only during the signal that carries them.
TEST_F(MainWindowForm, ErrorMessageIsRedAndCopied) {
    MainWindow w;
    {
        char transient[] = "Data channel error";
        w.showErrorMessage(transient);
        transient[0] = 'X';
    }
    QLabel* msg = child<QLabel>(w, "msg_lbl");
    EXPECT_EQ(msg->text(), "Data channel error");
    EXPECT_EQ(msg->styleSheet(), "QLabel {color: red }");
}

// No keeps the window; Yes, asked from inside the running event loop as in the application, ends
// it.
TEST_F(MainWindowForm, LeaveQuestionNoKeepsTheWindowYesQuitsTheEventLoop) {
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

    guitest::onModal("QMessageBox", [&](QWidget* m) {
        static_cast<QMessageBox*>(m)->button(QMessageBox::Yes)->click();
    });
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
