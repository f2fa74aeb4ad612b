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
#include "KeyLookup.h"
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
#include <xkbcommon/xkbcommon.h>

namespace {

using Steps = std::vector<std::string>;

// The messages as taken from the queue at once.
Steps decode(const std::vector<const char*>& messages) {
    RecordingInjector injector;
    InputHandler handler(injector);
    for (const char* message : messages) {
        handler.handleMessage(QString::fromUtf8(message));
    }
    handler.endOfDrain();
    return injector.steps;
}

// On a keymap compiled from the user's layouts: the key, the group to press it in, the modifiers.
TEST(KeyLookup, KeysymsOnTheUsersKeyboard) {
    RecordingInjector keyboard("us,ru");
    xkb_keymap* const map = keyboard.keymap();
    ASSERT_NE(map, nullptr);
    const struct {
        const char* keysym;
        uint32_t activeGroup;
        const char* key;  // nullptr: no key has it
        uint32_t group;
        uint32_t mods;
    } rows[] = {
        {"A", 0, "AC01", 0, ShiftMask},
        {"Cyrillic_ef", 0, "AC01", 1, 0},  // a switch for the press
        {"at", 1, "AE02", 0, ShiftMask},   // not in the Russian group
        {"period", 1, "AB10", 1, 0},       // in both: the active one
        {"Cyrillic_EF", 1, "AC01", 1, ShiftMask},
        {"F4", 1, "FK04", 1, 0},  // one group for all
        {"EuroSign", 0, nullptr, 0, 0},
    };
    for (const auto& row : rows) {
        const auto place =
            findKey(map, XStringToKeysym(row.keysym), row.activeGroup, KeyOrder::ActiveGroupFirst);
        ASSERT_EQ(place.has_value(), row.key != nullptr) << row.keysym;
        if (place) {
            EXPECT_STREQ(xkb_keymap_key_get_name(map, place->keycode), row.key) << row.keysym;
            EXPECT_EQ(place->group, row.group) << row.keysym;
            EXPECT_EQ(place->mods, row.mods) << row.keysym;
        }
    }
    const uint32_t spare = spareKeycode(map, {});
    EXPECT_EQ(xkb_keymap_num_layouts_for_key(map, spare), 0u);
    EXPECT_NE(spareKeycode(map, {spare}), spare);
}

TEST(InputHandler, MessagesAndTheirSteps) {
    const std::pair<std::vector<const char*>, Steps> rows[] = {
        // clang-format off
        // Key code 0 (here a string) has no key: dropped, never sent.
        {{R"({"keyboardEvent":{"keyCode":"65","down":true}})"}, {"flush"}},
        // A dead key makes nothing itself; a release of a key not pressed is not sent.
        {{R"({"keyboardEvent":{"keyCode":219,"down":true,"key":"Dead"}})", R"({"keyboardEvent":{"keyCode":219,"down":false}})"}, {"flush"}},
        // Left and right apart; held keys do not repeat by themselves.
        {{R"({"keyboardEvent":{"keyCode":16,"down":true,"code":"ShiftRight"}})", R"({"keyboardEvent":{"keyCode":16,"down":true,"code":"ShiftLeft"}})",
          R"({"keyboardEvent":{"keyCode":16,"down":false,"code":"ShiftRight"}})", R"({"keyboardEvent":{"keyCode":37,"down":true}})"},
         {"key RTSH down", "key LFSH down", "key RTSH up", "repeat LEFT off", "key LEFT down", "flush"}},
        // The X protocol's coordinates are 16 bits: clamped, not wrapped. A run of moves is one.
        {{R"({"mouseEvent":{"type":"mousemove","x":1,"y":2}})", R"({"mouseEvent":{"type":"mousemove","x":2147483647,"y":-2147483648}})"}, {"warp 32767 -32768", "flush"}},
        {{R"({"mouseEvent":{"type":"mousemove","x":1,"y":2}})", R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"middle":true}}})", R"({"mouseEvent":{"type":"mousemove","x":3,"y":4}})"},
         {"warp 1 2", "button 2 press", "warp 3 4", "flush"}},
        {{R"({"mouseEvent":{"type":"MouseDown","buttons":{"back":true,"forward":true}}})"}, {"button 8 release", "flush"}},
        // No button set is button 0: dropped, never sent.
        {{R"({"mouseEvent":{"type":"mousedown","buttons":{}}})"}, {"flush"}},
        {{R"({"wheelEvent":{"up":-120}})"}, {"button 4 press", "button 4 release", "flush"}},
        // By distance: a touchpad's fractions add up, a turn back starts afresh.
        {{R"({"wheelEvent":{"up":-1,"deltaY":250,"deltaX":-60}})", R"({"wheelEvent":{"deltaY":-40,"deltaX":-60}})"},
         {"button 5 press", "button 5 release", "button 5 press", "button 5 release", "button 6 press", "button 6 release", "flush"}},
        // One event per message, the keyboard's first.
        {{R"({"mouseEvent":{"type":"mousemove","x":1,"y":2},"keyboardEvent":{"keyCode":112,"down":true}})"}, {"repeat FK01 off", "key FK01 down", "flush"}},
        {{R"({"shortcutEvent":{"key":"CTRL_ALT_F2"}})"}, {"key LCTL down", "key LALT down", "key FK02 down", "key LCTL up", "key LALT up", "key FK02 up", "flush"}},
        {{R"({"mouseEvent":{"type":"mousemove")", R"([{"wheelEvent":{"up":1}}])"}, {"flush"}},
        // clang-format on
    };
    for (const auto& [messages, steps] : rows) {
        EXPECT_EQ(decode(messages), steps) << messages.front();
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
// Whether any key carries the keysym, asked afresh.
bool keysymBound(KeySym keysym) {
    int first = 0, last = 0, perKey = 0;
    XDisplayKeycodes(observer, &first, &last);
    KeySym* map = XGetKeyboardMapping(observer, KeyCode(first), last - first + 1, &perKey);
    const bool bound = std::count(map, map + (last - first + 1) * perKey, keysym) > 0;
    XFree(map);
    return bound;
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
        // A character no key has is lent a spare keycode.
        peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":0,"down":true,"key":"\u20ac"}})");
        peer->sendTextMessage(R"({"keyboardEvent":{"keyCode":65,"down":true}})");
        peer->sendTextMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})");
        ASSERT_TRUE(waitFor([] {
            return keyDown(XK_A) && buttons() == Button1Mask && keysymBound(XK_EuroSign);
        })) << end;
        if (end == ends[0]) {
            peer->close();
        } else {
            input.reset();
        }
        EXPECT_TRUE(!input || waitFor([&] { return !input->workerRunning(); }, kWaitMs)) << end;
        EXPECT_TRUE(waitFor(
            [] { return !keyDown() && buttons() == 0 && !keysymBound(XK_EuroSign); }, kWaitMs))
            << end;
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
    handler.endOfDrain();
    EXPECT_TRUE(waitFor([] { return pointer() == std::tuple{77, 88, 0u}; }, kWaitMs));
}

}  // namespace
