// The input channel against a loopback server, injecting into Xvfb.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTest>

#include "GlobalSettings.h"
#include "InputParser.h"
#include "LogCapture.h"
#include "LoopbackServer.h"
#include "ScreenGlobals.h"
#include "WSInput.h"

// Xlib last: its macros (Bool, Status, CursorShape...) break Qt headers.
#include "XReadBack.h"

#include <X11/keysym.h>

namespace {

constexpr int kWaitMs = 5000;
const unsigned kAnyButton = Button1Mask | Button2Mask | Button3Mask;

QString move(int x, int y) {
    return QStringLiteral(R"({"mouseEvent":{"type":"mousemove","x":%1,"y":%2}})").arg(x).arg(y);
}

bool pointerAt(int x, int y) {
    return QTest::qWaitFor(
        [&] {
            const xreadback::Pointer p = xreadback::pointer();
            return p.x == x && p.y == y;
        },
        kWaitMs);
}

bool nothingPressed() {
    return QTest::qWaitFor(
        [] { return xreadback::noKeyDown() && (xreadback::pointer().mask & kAnyButton) == 0; },
        kWaitMs);
}

class InputChannel : public ::testing::Test {
protected:
    void SetUp() override {
        logcapture::path();
        ASSERT_TRUE(xreadback::openSharedDisplay()) << "these tests need an X display (Xvfb)";
        screenSpecs = ScreenSpecs{0, 0, 1920, 1080};
        ConnectionParams& params = GlobalSettings::instance().connectionParams;
        params.serverUrl = server.url().toStdString();
        params.sessionId = "42";
    }
    void TearDown() override { screenSpecs = ScreenSpecs{}; }

    // Connects `input` and returns the server's end once the worker runs.
    QWebSocket* open(WSInput& input) {
        if (!input.webSocket.wsConnect()) {
            return nullptr;
        }
        QWebSocket* peer = server.waitForClient();
        if (peer == nullptr || !QTest::qWaitFor([&] { return input.workerRunning(); }, kWaitMs)) {
            return nullptr;
        }
        return peer;
    }

    LoopbackServer server;
};

TEST_F(InputChannel, WorkerRunsExactlyWhileConnectedAndAgainAfterReconnect) {
    WSInput input;
    EXPECT_FALSE(input.workerRunning());
    for (int round = 0; round < 2; ++round) {
        QWebSocket* peer = open(input);
        ASSERT_NE(peer, nullptr);
        EXPECT_EQ(server.paths.last(), QStringLiteral("/42/ws/input"));
        peer->sendTextMessage(move(300 + round, 400));
        EXPECT_TRUE(pointerAt(300 + round, 400));
        input.webSocket.close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !input.workerRunning(); }, kWaitMs));
    }
}

TEST_F(InputChannel, MessagesAreInjectedInArrivalOrder) {
    Display* o = xreadback::observer();
    XSelectInput(o, DefaultRootWindow(o), PointerMotionMask);
    XSync(o, True);

    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        peer->sendTextMessage(move(100 + i, 500));
    }
    std::vector<int> seen;
    const bool arrived = QTest::qWaitFor(
        [&] {
            while (XPending(o) > 0) {
                XEvent event;
                XNextEvent(o, &event);
                if (event.type == MotionNotify) {
                    seen.push_back(event.xmotion.x_root);
                }
            }
            return !seen.empty() && seen.back() == 100 + kCount - 1;
        },
        kWaitMs);
    XSelectInput(o, DefaultRootWindow(o), NoEventMask);
    XSync(o, True);

    EXPECT_TRUE(arrived);
    ASSERT_EQ(seen.size(), size_t(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(seen[i], 100 + i) << "position " << i;
    }
}

TEST_F(InputChannel, ServerClosingInTheMiddleOfAPressLeavesNothingPressed) {
    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":16,"down":true,"key":"Shift"}})");
    peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":65,"down":true,"key":"A"}})");
    peer->sendTextMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})");
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
            return xreadback::keyDown(XK_A) && xreadback::keyDown(XK_Shift_L) &&
                   (xreadback::pointer().mask & Button1Mask) != 0;
        },
        kWaitMs));

    peer->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !input.workerRunning(); }, kWaitMs));
    EXPECT_TRUE(nothingPressed());
}

TEST_F(InputChannel, AgentClosingInTheMiddleOfAPressLeavesNothingPressed) {
    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":17,"down":true}})");
    peer->sendTextMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"right":true}}})");
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
            return xreadback::keyDown(XK_Control_L) &&
                   (xreadback::pointer().mask & Button3Mask) != 0;
        },
        kWaitMs));

    input.webSocket.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !input.workerRunning(); }, kWaitMs));
    EXPECT_TRUE(nothingPressed());
}

TEST_F(InputChannel, DestroyedWhileConnectedStopsItsWorkerAndReleasesKeys) {
    {
        WSInput input;
        QWebSocket* peer = open(input);
        ASSERT_NE(peer, nullptr);
        peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":18,"down":true}})");
        ASSERT_TRUE(QTest::qWaitFor([] { return xreadback::keyDown(XK_Alt_L); }, kWaitMs));
    }
    EXPECT_TRUE(nothingPressed());
}

TEST_F(InputChannel, EventsLeftAtDisconnectAreNotReplayedIntoTheNextConnection) {
    logcapture::Mark mark;
    WSInput input;
    // As if the connection ended before the worker got to them.
    for (int i = 0; i < 3; ++i) {
        input.inputParser()->pushInQueue(move(5, 5));
    }
    emit input.webSocket.disconnected();
    EXPECT_EQ(input.inputParser()->queue.size(), 0u);
    EXPECT_TRUE(mark.text().contains("Dropped 3 input events of the closed input channel"))
        << mark.text().toStdString();
}

TEST_F(InputChannel, DisconnectWithoutAWorkerDoesNothing) {
    WSInput input;
    emit input.webSocket.disconnected();
    EXPECT_FALSE(input.workerRunning());
}

TEST_F(InputChannel, TypedKeyNeverReachesTheLog) {
    logcapture::Mark mark;
    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":90,"down":true,"key":"z"}})");
    peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":90,"down":false,"key":"z"}})");
    const QString masked =
        R"(Received text data from input channel: {"keyboardEvent":{"down":%1,"key":"*","keyCode":"*"}})";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const QString log = mark.text();
            return log.contains(masked.arg("true")) && log.contains(masked.arg("false"));
        },
        kWaitMs))
        << mark.text().toStdString();
    input.webSocket.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !input.workerRunning(); }, kWaitMs));

    // Only the messages are searched: time stamps and process ids may hold any digits.
    const QRegularExpression prefix(R"(^\[[^\]]*\] \[PID:\d+\] \[[A-Z]+\] )");
    for (QString line : mark.text().split('\n', Qt::SkipEmptyParts)) {
        line.remove(prefix);
        EXPECT_FALSE(line.contains("90")) << line.toStdString();
        EXPECT_FALSE(line.contains(R"("z")")) << line.toStdString();
    }
}

TEST_F(InputChannel, SocketErrorIsLoggedAndNoWorkerStarts) {
    logcapture::Mark mark;
    // A port nobody listens on: take a free one and close it again.
    QString closedUrl;
    {
        LoopbackServer gone;
        closedUrl = gone.url();
    }
    GlobalSettings::instance().connectionParams.serverUrl = closedUrl.toStdString();
    WSInput input;
    ASSERT_TRUE(input.webSocket.wsConnect());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return mark.text().contains("Input web socket connection return error: "); },
        kWaitMs))
        << mark.text().toStdString();
    EXPECT_FALSE(input.workerRunning());
}

}  // namespace
