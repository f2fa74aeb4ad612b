// The administrator's input: decoded into injection steps, and through the input channel into
// Xvfb, read back through a second X client.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QWebSocket>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "GlobalSettings.h"
#include "InputHandler.h"
#include "InputParser.h"
#include "KeyMaps.h"
#include "LogCapture.h"
#include "RecordingInjector.h"
#include "ScreenGlobals.h"
#include "SignallingRelay.h"
#include "WSInput.h"
#include "WaitFor.h"
#include "XTestInjector.h"

// Xlib last: its macros (Bool, Status, CursorShape...) break Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

using Steps = std::vector<std::string>;

Steps decode(const std::string& message) {
    RecordingInjector injector;
    InputHandler handler(injector);
    handler.handleMessage(QString::fromStdString(message));
    return injector.steps;
}

std::string key(const std::string& keysymName, const char* action) {
    return QString::asprintf("key 0x%lx %s", XStringToKeysym(keysymName.c_str()), action)
        .toStdString();
}

// Every pair of the key table (browser key code -> X keysym name); every shortcut: all keys
// down in order, one flush, all up in the same order, one flush.
TEST(InputHandler, EveryKeyCodeAndShortcutGivesItsKeys) {
    std::map<int, std::string> table = {
        {8, "BackSpace"},     {9, "Tab"},           {13, "Return"},       {16, "Shift_L"},
        {17, "Control_L"},    {18, "Alt_L"},        {20, "Caps_Lock"},    {27, "Escape"},
        {33, "Prior"},        {34, "Next"},         {35, "End"},          {36, "Home"},
        {37, "Left"},         {38, "Up"},           {39, "Right"},        {40, "Down"},
        {45, "Insert"},       {46, "Delete"},       {106, "KP_Multiply"}, {107, "KP_Add"},
        {109, "KP_Subtract"}, {110, "KP_Decimal"},  {111, "KP_Divide"},   {144, "Num_Lock"},
        {173, "minus"},       {188, "comma"},       {190, "period"},      {191, "slash"},
        {192, "grave"},       {219, "bracketleft"}, {220, "backslash"},   {221, "bracketright"},
        {222, "apostrophe"}};
    for (int n = 0; n < 12; ++n) {
        table[112 + n] = "F" + std::to_string(n + 1);
    }
    for (int n = 0; n < 10; ++n) {
        table[96 + n] = "KP_" + std::to_string(n);
    }
    EXPECT_EQ(key_map.size(), table.size());
    for (const auto& [code, name] : table) {
        const std::string message =
            R"({"keyboardEvent":{"keyCode":)" + std::to_string(code) + R"(,"down":true}})";
        EXPECT_EQ(decode(message), (Steps{key(name, "down"), "flush"})) << code;
    }

    std::map<std::string, std::string> shortcuts = {{"CTRL_ALT_DELETE", "Delete"}};
    for (int n = 1; n <= 12; ++n) {
        shortcuts["CTRL_ALT_F" + std::to_string(n)] = "F" + std::to_string(n);
    }
    EXPECT_EQ(shortcut_map.size(), shortcuts.size());
    for (const auto& [name, last] : shortcuts) {
        EXPECT_EQ(decode(R"({"shortcutEvent":{"key":")" + name + R"("}})"),
                  (Steps{key("Control_L", "down"), key("Alt_L", "down"), key(last, "down"), "flush",
                         key("Control_L", "up"), key("Alt_L", "up"), key(last, "up"), "flush"}))
            << name;
    }
}

TEST(InputHandler, MessagesAndTheirSteps) {
    const std::pair<const char*, Steps> rows[] = {
        // clang-format off
        {R"({"keyboardEvent":{"keyCode":112,"down":1}})", {"key 0xffbe up", "flush"}},
        // Key code 0 (here a string) has no key: dropped, never sent.
        {R"({"keyboardEvent":{"keyCode":"65","down":true}})", {}},
        // The X protocol's coordinates are 16 bits: clamped, not wrapped.
        {R"({"mouseEvent":{"type":"mousemove","x":2147483647,"y":-2147483648}})", {"warp 32767 -32768", "flush"}},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"middle":true}}})", {"button 2 press", "flush"}},
        {R"({"mouseEvent":{"type":"MouseDown","buttons":{"left":true}}})", {"button 1 release", "flush"}},
        // No button set is button 0: dropped, never sent.
        {R"({"mouseEvent":{"type":"mousedown","buttons":{}}})", {}},
        {R"({"wheelEvent":{"up":-120}})", {"button 4 press", "button 4 release", "flush"}},
        {R"({"wheelEvent":{"up":0}})", {"button 5 press", "button 5 release", "flush"}},
        // One event per message, the keyboard's first.
        {R"({"mouseEvent":{"type":"mousemove","x":1,"y":2},"keyboardEvent":{"keyCode":65,"down":true}})", {"key 0x41 down", "flush"}},
        {R"({"mouseEvent":{"type":"mousemove")", {}},
        {R"([{"wheelEvent":{"up":1}}])", {}},
        // clang-format on
    };
    for (const auto& [message, steps] : rows) {
        EXPECT_EQ(decode(message), steps) << message;
    }
}

// The X server as a second client sees it.
Display* const observer = XOpenDisplay(nullptr);
// The pointer's position and its buttons held (of the first three).
std::tuple<int, int, unsigned> pointer() {
    Window root = 0, child = 0;
    int x = -1, y = -1, winX = 0, winY = 0;
    unsigned mask = 0;
    XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &x, &y, &winX, &winY,
                  &mask);
    return {x, y, mask & (Button1Mask | Button2Mask | Button3Mask)};
}
// Whether the key is down; with no keysym, whether any key is.
bool keyDown(KeySym keysym = NoSymbol) {
    char keys[32] = {0};
    XQueryKeymap(observer, keys);
    if (keysym == NoSymbol) {
        return std::any_of(std::begin(keys), std::end(keys), [](char byte) { return byte != 0; });
    }
    const KeyCode code = XKeysymToKeycode(observer, keysym);
    return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
}
unsigned buttons() {
    return std::get<2>(pointer());
}

constexpr int kWaitMs = 5000;

struct InputChannel : ::testing::Test {
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

    // Connects the channel and returns the server's end once its worker runs.
    QWebSocket* open(WSInput& channel) {
        const int before = server.requestUrls.size();
        if (!channel.webSocket.wsConnect() ||
            !waitFor([&] { return server.requestUrls.size() > before && channel.workerRunning(); },
                     kWaitMs)) {
            return nullptr;
        }
        return server.otherSockets.isEmpty() ? nullptr : server.otherSockets.last();
    }

    SignallingRelay server;  // its paths other than signalling stand for input
};

// Moves land at the primary monitor's offset.
TEST_F(InputChannel, EveryKindOfEventReachesTheXServer) {
    screenSpecs = ScreenSpecs{1000, 100, 800, 600};
    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(server.requestUrls.last().path(), "/42/ws/input");
    const std::pair<const char*, std::function<bool()>> rows[] = {
        {R"({"mouseEvent":{"type":"mousemove","x":10,"y":20}})",
         [] { return pointer() == std::make_tuple(1010, 120, 0u); }},
        {R"({"keyboardEvent":{"keyCode":116,"down":true}})", [] { return keyDown(XK_F5); }},
        {R"({"keyboardEvent":{"keyCode":116,"down":false}})", [] { return !keyDown(XK_F5); }},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"right":true}}})",
         [] { return buttons() == Button3Mask; }},
        {R"({"mouseEvent":{"type":"mouseup","buttons":{"right":true}}})",
         [] { return buttons() == 0; }},
        // Would switch consoles on a real server; Xvfb has none.
        {R"({"shortcutEvent":{"key":"CTRL_ALT_F1"}})", [] { return !keyDown(); }},
    };
    for (const auto& [message, seen] : rows) {
        peer->sendTextMessage(message);
        EXPECT_TRUE(waitFor(seen, kWaitMs)) << message;
    }
}

// Closed or destroyed with a key and a button held: all released, the worker stopped.
TEST_F(InputChannel, HeldKeysAndButtonsAreReleasedWhenTheChannelEnds) {
    auto input = std::make_unique<WSInput>();
    const char* const ends[] = {"closed", "destroyed"};
    for (const char* end : ends) {
        QWebSocket* peer = open(*input);
        ASSERT_NE(peer, nullptr) << end;
        peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":65,"down":true,"key":"A"}})");
        peer->sendTextMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})");
        ASSERT_TRUE(waitFor([] { return keyDown(XK_A) && buttons() == Button1Mask; })) << end;
        if (end == ends[0]) {
            peer->close();
        } else {
            input.reset();
        }
        EXPECT_TRUE(!input || waitFor([&] { return !input->workerRunning(); }, kWaitMs)) << end;
        EXPECT_TRUE(waitFor([] { return !keyDown() && buttons() == 0; }, kWaitMs)) << end;
    }
}

TEST_F(InputChannel, EventsLeftAtDisconnectAreNotReplayedIntoTheNextSession) {
    WSInput input;
    input.inputParser()->pushInQueue(R"({"mouseEvent":{"type":"mousemove","x":5,"y":5}})");
    emit input.webSocket.disconnected();
    EXPECT_EQ(input.inputParser()->queue.size(), 0u);
}

TEST_F(InputChannel, TypedKeyNeverReachesTheLog) {
    LogCapture log;
    WSInput input;
    QWebSocket* peer = open(input);
    ASSERT_NE(peer, nullptr);
    peer->sendTextMessage(
        R"({"keyboardEvent":{"keyCode":90,"down":true,"key":"z","code":"KeyZ"}})");
    peer->sendTextMessage(
        R"({"keyboardEvent":{"keyCode":90,"down":"yes"},"note":{"keyboardEvent":{"keyCode":90,"key":"z"}}})");
    peer->sendTextMessage(R"([{"keyboardEvent":{"keyCode":90,"down":true,"key":"z"}}])");
    EXPECT_TRUE(waitFor([&] { return log.text().count(R"("keyCode":"*")") >= 4; }, kWaitMs))
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
    handler.handleMessage(R"({"mouseEvent":{"type":"mousemove","x":77,"y":88}})");
    EXPECT_TRUE(waitFor([] { return pointer() == std::tuple{77, 88, 0u}; }, kWaitMs));
}

}  // namespace
