// The input and cursor channels against the loopback relay, injecting into Xvfb and reading the
// pointer and keyboard back through a second X client.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QWebSocket>
#include <algorithm>
#include <functional>
#include <memory>
#include <numeric>

#include "GlobalSettings.h"
#include "InputHandler.h"
#include "InputParser.h"
#include "LogCapture.h"
#include "ScreenGlobals.h"
#include "SignallingRelay.h"
#include "WSCursor.h"
#include "WSInput.h"
#include "WaitFor.h"
#include "XTestInjector.h"

// Xlib last: its macros (Bool, Status, CursorShape...) break Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

// The X server as a second client sees it: pointer and keyboard state.
namespace xreadback {
Display* observer() {
    static Display* display = XOpenDisplay(nullptr);
    return display;
}
struct Pointer {
    int x = -1, y = -1;
    unsigned mask = 0;
};
Pointer pointer() {
    Pointer p;
    Window root = 0, child = 0;
    int winX = 0, winY = 0;
    XQueryPointer(observer(), DefaultRootWindow(observer()), &root, &child, &p.x, &p.y, &winX,
                  &winY, &p.mask);
    return p;
}
bool keyDown(KeySym keysym) {
    char keys[32] = {0};
    XQueryKeymap(observer(), keys);
    const KeyCode code = XKeysymToKeycode(observer(), keysym);
    return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
}
bool noKeyDown() {
    char keys[32] = {0};
    XQueryKeymap(observer(), keys);
    return std::all_of(std::begin(keys), std::end(keys), [](char byte) { return byte == 0; });
}
}  // namespace xreadback

constexpr int kWaitMs = 5000;
const unsigned kAnyButton = Button1Mask | Button2Mask | Button3Mask;

QString move(int x, int y) {
    return QStringLiteral(R"({"mouseEvent":{"type":"mousemove","x":%1,"y":%2}})").arg(x).arg(y);
}

class InputChannel : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::initLogger();
        if (d == nullptr) {  // opened once per process, as the display probe does at start-up
            d = XOpenDisplay(nullptr);
            w = d ? DefaultRootWindow(d) : 0;
        }
        ASSERT_NE(d, nullptr) << "these tests need an X display (Xvfb)";
        screenSpecs = ScreenSpecs{0, 0, 1920, 1080};
        ASSERT_TRUE(server.listen());
        ConnectionParams& params = GlobalSettings::instance().connectionParams;
        params.serverUrl = server.serverUrl().toStdString();
        params.sessionId = "42";
    }
    void TearDown() override { screenSpecs = ScreenSpecs{}; }

    // Connects the channel and returns the server's end once its worker runs.
    template <typename Channel>
    QWebSocket* open(Channel& channel) {
        const int before = server.requestUrls.size();
        if (!channel.webSocket.wsConnect() ||
            !waitFor([&] { return server.requestUrls.size() > before && channel.workerRunning(); },
                     kWaitMs)) {
            return nullptr;
        }
        return server.otherSockets.isEmpty() ? nullptr : server.otherSockets.last();
    }

    SignallingRelay server;  // its paths other than signalling stand for input and cursor
};

// Each kind of event reaches the X server, moves at the primary monitor's offset.
TEST_F(InputChannel, EveryKindOfEventReachesTheXServer) {
    screenSpecs = ScreenSpecs{1000, 100, 800, 600};
    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(server.requestUrls.last().path(), "/42/ws/input");
    const struct {
        const char* message;
        std::function<bool()> seen;
    } rows[] = {
        {R"({"mouseEvent":{"type":"mousemove","x":10,"y":20}})",
         [] { return xreadback::pointer().x == 1010 && xreadback::pointer().y == 120; }},
        {R"({"keyboardEvent":{"keyCode":116,"down":true}})",
         [] { return xreadback::keyDown(XK_F5); }},
        {R"({"keyboardEvent":{"keyCode":116,"down":false}})",
         [] { return !xreadback::keyDown(XK_F5); }},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"right":true}}})",
         [] { return (xreadback::pointer().mask & kAnyButton) == Button3Mask; }},
        {R"({"mouseEvent":{"type":"mouseup","buttons":{"right":true}}})",
         [] { return (xreadback::pointer().mask & kAnyButton) == 0; }},
        // Would switch consoles on a real server; Xvfb has none.
        {R"({"shortcutEvent":{"key":"CTRL_ALT_F1"}})", [] { return xreadback::noKeyDown(); }},
    };
    for (const auto& row : rows) {
        peer->sendTextMessage(row.message);
        EXPECT_TRUE(waitFor(row.seen, kWaitMs)) << row.message;
    }
}

TEST_F(InputChannel, MovesAreInjectedInArrivalOrder) {
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
    waitFor(
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
    std::vector<int> expected(kCount);
    std::iota(expected.begin(), expected.end(), 100);
    EXPECT_EQ(seen, expected);
}

// Whichever way the channel ends in the middle of a key press and a button press, nothing stays
// pressed, and the worker has stopped; the same channel connects again afterwards.
TEST_F(InputChannel, HeldKeysAndButtonsAreReleasedWhenTheChannelEnds) {
    auto input = std::make_unique<WSInput>();
    const char* const ends[] = {"server closes", "agent closes", "agent destroys the channel"};
    for (const char* end : ends) {
        QWebSocket* peer = open(*input);
        ASSERT_NE(peer, nullptr) << end;
        peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":16,"down":true,"key":"Shift"}})");
        peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":65,"down":true,"key":"A"}})");
        peer->sendTextMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})");
        ASSERT_TRUE(waitFor(
            [] {
                return xreadback::keyDown(XK_A) && xreadback::keyDown(XK_Shift_L) &&
                       (xreadback::pointer().mask & Button1Mask) != 0;
            },
            kWaitMs))
            << end;
        if (end == ends[0]) {
            peer->close();
        } else if (end == ends[1]) {
            input->webSocket.close();
        } else {
            input.reset();
        }
        EXPECT_TRUE(!input || waitFor([&] { return !input->workerRunning(); }, kWaitMs)) << end;
        EXPECT_TRUE(waitFor(
            [] { return xreadback::noKeyDown() && (xreadback::pointer().mask & kAnyButton) == 0; },
            kWaitMs))
            << end;
    }
}

TEST_F(InputChannel, EventsLeftAtDisconnectAreNotReplayedIntoTheNextSession) {
    LogCapture log;
    WSInput input;
    for (int i = 0; i < 3; ++i) {
        input.inputParser()->pushInQueue(move(5, 5));
    }
    emit input.webSocket.disconnected();
    EXPECT_EQ(input.inputParser()->queue.size(), 0u);
    EXPECT_TRUE(log.contains("Dropped 3 input events")) << log.text().toStdString();
}

// Neither the typed key nor its code reaches the log, whatever shape carries them.
TEST_F(InputChannel, TypedKeyNeverReachesTheLog) {
    LogCapture log;
    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    const char* const messages[] = {
        R"({"keyboardEvent":{"keyCode":90,"down":true,"key":"z","code":"KeyZ"}})",
        R"({"keyboardEvent":{"keyCode":90,"down":false,"key":"z"}})",
        R"({"keyboardEvent":{"keyCode":90,"down":"yes"},"note":{"keyboardEvent":{"keyCode":90,"key":"z"}}})",
        R"([{"keyboardEvent":{"keyCode":90,"down":true,"key":"z"}}])",
    };
    for (const char* message : messages) {
        peer->sendTextMessage(message);
    }
    EXPECT_TRUE(waitFor([&] { return log.count(R"("keyCode":"*")") >= 5; }, kWaitMs))
        << log.text().toStdString();
    input.webSocket.close();
    ASSERT_TRUE(waitFor([&] { return !input.workerRunning(); }, kWaitMs));
    // Only the messages: time stamps and process ids may hold any digits.
    const QRegularExpression prefix(R"(^\[[^\]]*\] \[PID:\d+\] \[[A-Z]+\] )");
    for (QString line : log.text().split('\n', Qt::SkipEmptyParts)) {
        line.remove(prefix);
        EXPECT_FALSE(line.contains("90") || line.contains(R"("z")") || line.contains("KeyZ"))
            << line.toStdString();
    }
}

// Xlib's own handler would end the process on a protocol error.
TEST_F(InputChannel, XErrorIsLoggedAndTheConnectionGoesOn) {
    LogCapture log;
    XTestInjector injector;  // installs the handler on the shared display
    XTestFakeButtonEvent(d, 0, True, CurrentTime);
    XSync(d, False);
    EXPECT_TRUE(log.contains("X error: BadValue")) << log.text().toStdString();
    InputHandler handler(injector);
    handler.handleMessage(move(77, 88));
    EXPECT_TRUE(waitFor([] { return xreadback::pointer().x == 77 && xreadback::pointer().y == 88; },
                        kWaitMs));
}

// The cursor channel opens and closes with each session (its thread started and joined each
// time) and sends nothing.
TEST_F(InputChannel, CursorChannelSendsNothing) {
    WSCursor cursor;
    for (int round = 0; round < 2; ++round) {
        QWebSocket* peer = open(cursor);
        ASSERT_NE(peer, nullptr);
        EXPECT_EQ(server.requestUrls.last().path(), "/42/ws/cursor");
        (round == 0 ? cursor.webSocket.close() : peer->close());
        EXPECT_TRUE(waitFor([&] { return !cursor.workerRunning(); }, kWaitMs));
    }
    EXPECT_TRUE(server.otherMessages.isEmpty()) << server.otherMessages.join('\n').toStdString();
}

}  // namespace
