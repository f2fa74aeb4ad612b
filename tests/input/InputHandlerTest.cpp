// Decoding of the administrator's messages into injection steps, with the recording injector.
#include <gtest/gtest.h>

#include <QString>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "InputHandler.h"
#include "KeyMaps.h"
#include "RecordingInjector.h"

// Xlib last: its macros break Qt headers.
#include <X11/Xlib.h>

namespace {

using Steps = std::vector<std::string>;

Steps decode(const char* message) {
    RecordingInjector injector;
    InputHandler handler(injector);
    handler.handleMessage(QString::fromUtf8(message));
    return injector.steps;
}

std::string key(const char* keysymName, const char* action) {
    char text[48];
    std::snprintf(text, sizeof text, "key 0x%lx %s", XStringToKeysym(keysymName), action);
    return text;
}

// Browser key code -> X keysym name, as the key table gives them.
std::map<int, std::string> designKeyTable() {
    std::map<int, std::string> table;
    const char* listed =
        "8 BackSpace 9 Tab 13 Return 16 Shift_L 17 Control_L 18 Alt_L 20 Caps_Lock 27 Escape "
        "33 Prior 34 Next 35 End 36 Home 37 Left 38 Up 39 Right 40 Down 45 Insert 46 Delete "
        "106 KP_Multiply 107 KP_Add 109 KP_Subtract 110 KP_Decimal 111 KP_Divide 144 Num_Lock "
        "173 minus 188 comma 190 period 191 slash 192 grave 219 bracketleft 220 backslash "
        "221 bracketright 222 apostrophe";
    int code = 0;
    char name[32];
    int used = 0;
    while (std::sscanf(listed, "%d %31s %n", &code, name, &used) == 2) {
        table[code] = name;
        listed += used;
    }
    for (int n = 0; n < 12; ++n) {
        table[112 + n] = "F" + std::to_string(n + 1);
    }
    for (int n = 0; n < 10; ++n) {
        table[96 + n] = "KP_" + std::to_string(n);
    }
    return table;
}

// Every pair of the key table, and codes outside it going through unchanged.
TEST(InputHandler, EveryKeyCodeGivesItsKeysym) {
    const std::map<int, std::string> table = designKeyTable();
    ASSERT_EQ(table.size(), 55u);
    EXPECT_EQ(key_map.size(), table.size());
    for (const auto& [code, name] : table) {
        const std::string message =
            R"({"keyboardEvent":{"keyCode":)" + std::to_string(code) + R"(,"down":true}})";
        EXPECT_EQ(decode(message.c_str()), (Steps{key(name.c_str(), "down"), "flush"})) << code;
    }
    for (const int code : {65, 48, 32, 186, 187, 189, 91}) {
        const std::string message =
            R"({"keyboardEvent":{"keyCode":)" + std::to_string(code) + R"(,"down":false}})";
        char step[32];
        std::snprintf(step, sizeof step, "key 0x%x up", code);
        EXPECT_EQ(decode(message.c_str()), (Steps{step, "flush"})) << code;
    }
}

// Every shortcut: all keys down in order, one flush, all up in the same order, one flush.
TEST(InputHandler, EveryShortcutPressesAndReleasesItsKeys) {
    std::map<std::string, std::string> table = {{"CTRL_ALT_DELETE", "Delete"}};
    for (int n = 1; n <= 12; ++n) {
        table["CTRL_ALT_F" + std::to_string(n)] = "F" + std::to_string(n);
    }
    EXPECT_EQ(shortcut_map.size(), table.size());
    for (const auto& [name, last] : table) {
        const std::string message = R"({"shortcutEvent":{"key":")" + name + R"("}})";
        EXPECT_EQ(decode(message.c_str()),
                  (Steps{key("Control_L", "down"), key("Alt_L", "down"), key(last.c_str(), "down"),
                         "flush", key("Control_L", "up"), key("Alt_L", "up"),
                         key(last.c_str(), "up"), "flush"}))
            << name;
    }
}

TEST(InputHandler, MessagesAndTheirSteps) {
    const Steps none;
    const struct {
        const char* message;
        Steps steps;
    } rows[] = {
        // clang-format off
        {R"({"keyboardEvent":{"keyCode":112,"down":1}})", {"key 0xffbe up", "flush"}},
        // Key code 0 (a string, a fraction, no object) has no key: dropped, never sent.
        {R"({"keyboardEvent":{"keyCode":"65","down":true}})", none},
        {R"({"keyboardEvent":{"keyCode":65.5,"down":true}})", none},
        {R"({"keyboardEvent":7})", none},
        {R"({"mouseEvent":{"type":"mousemove","x":10,"y":20}})", {"warp 10 20", "flush"}},
        {R"({"mouseEvent":{"type":"mousemove"}})", {"warp 0 0", "flush"}},
        // The X protocol's coordinates are 16 bits: clamped, not wrapped.
        {R"({"mouseEvent":{"type":"mousemove","x":2147483647,"y":-2147483648}})", {"warp 32767 -32768", "flush"}},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"right":true}}})", {"button 3 press", "flush"}},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"middle":true}}})", {"button 2 press", "flush"}},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})", {"button 1 press", "flush"}},
        {R"({"mouseEvent":{"type":"mouseup","buttons":{"middle":true}}})", {"button 2 release", "flush"}},
        {R"({"mouseEvent":{"type":"MouseDown","buttons":{"left":true}}})", {"button 1 release", "flush"}},
        {R"({"mouseEvent":{"buttons":{"right":true}}})", {"button 3 release", "flush"}},
        // No button set is button 0: dropped, never sent.
        {R"({"mouseEvent":{"type":"mousedown","buttons":{}}})", none},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":1}}})", none},
        {R"({"wheelEvent":{"up":-120}})", {"button 4 press", "button 4 release", "flush"}},
        {R"({"wheelEvent":{"up":0}})", {"button 5 press", "button 5 release", "flush"}},
        {R"({"shortcutEvent":{"key":"Ctrl_Alt_Delete"}})", none},
        {R"({"shortcutEvent":{}})", none},
        // One event per message, in the order keyboard, mouse, wheel, shortcut.
        {R"({"mouseEvent":{"type":"mousemove","x":1,"y":2},"keyboardEvent":{"keyCode":65,"down":true}})", {"key 0x41 down", "flush"}},
        {R"({"wheelEvent":{"up":1},"mouseEvent":{"type":"mousemove","x":1,"y":2}})", {"warp 1 2", "flush"}},
        {R"({"shortcutEvent":{"key":"CTRL_ALT_F1"},"wheelEvent":{"up":-1}})", {"button 4 press", "button 4 release", "flush"}},
        {R"({"mouseEvent":{"type":"mousemove")", none},
        {"42", none},
        {R"([{"wheelEvent":{"up":1}}])", none},
        {R"({"touchEvent":{}})", none},
        // clang-format on
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decode(row.message), row.steps) << row.message;
    }
}

}  // namespace
