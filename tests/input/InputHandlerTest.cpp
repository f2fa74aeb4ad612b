// Decoding of the administrator's messages into injection steps, with the recording injector.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>
#include <cctype>
#include <string>
#include <vector>

#include "InputHandler.h"
#include "LogCapture.h"
#include "RecordingInjector.h"
#include "ScreenGlobals.h"

namespace {

using Steps = std::vector<std::string>;

struct Row {
    const char* what;
    const char* message;
    Steps steps;
    const char* logged = nullptr;  // a text the log must hold afterwards
};

class InputHandlerTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override { screenSpecs = ScreenSpecs{}; }
    void TearDown() override { screenSpecs = ScreenSpecs{}; }
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.what;
}

std::string PrintRow(const ::testing::TestParamInfo<Row>& info) {
    std::string name;
    for (const char* c = info.param.what; *c != '\0'; ++c) {
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    }
    return name;
}

TEST_P(InputHandlerTest, DecodesIntoSteps) {
    const Row& row = GetParam();
    logcapture::Mark mark;
    RecordingInjector injector;
    InputHandler handler(injector);
    handler.handleMessage(QString::fromUtf8(row.message));
    EXPECT_EQ(injector.steps, row.steps) << row.message;
    if (row.logged != nullptr) {
        EXPECT_TRUE(mark.text().contains(QString::fromUtf8(row.logged)))
            << "missing log text: " << row.logged << "\nlog:\n"
            << mark.text().toStdString();
    }
}

const Steps kNothing;

INSTANTIATE_TEST_SUITE_P(
    KeyCodes, InputHandlerTest,
    ::testing::Values(Row{"letter passes unchanged",
                          R"({"keyboardEvent":{"keyCode":65,"down":true,"key":"a"}})",
                          {"key 0x41 down", "flush"}},
                      Row{"F1 release",
                          R"({"keyboardEvent":{"keyCode":112,"down":false}})",
                          {"key 0xffbe up", "flush"}},
                      Row{"F12",
                          R"({"keyboardEvent":{"keyCode":123,"down":true}})",
                          {"key 0xffc9 down", "flush"}},
                      Row{"missing down is a release",
                          R"({"keyboardEvent":{"keyCode":112}})",
                          {"key 0xffbe up", "flush"}},
                      Row{"down given as a number is a release",
                          R"({"keyboardEvent":{"keyCode":112,"down":1}})",
                          {"key 0xffbe up", "flush"}},
                      Row{"keypad 0",
                          R"({"keyboardEvent":{"keyCode":96,"down":true}})",
                          {"key 0xffb0 down", "flush"}},
                      Row{"keypad 9",
                          R"({"keyboardEvent":{"keyCode":105,"down":true}})",
                          {"key 0xffb9 down", "flush"}},
                      Row{"keypad divide",
                          R"({"keyboardEvent":{"keyCode":111,"down":true}})",
                          {"key 0xffaf down", "flush"}},
                      Row{"backspace",
                          R"({"keyboardEvent":{"keyCode":8,"down":true}})",
                          {"key 0xff08 down", "flush"}},
                      Row{"delete",
                          R"({"keyboardEvent":{"keyCode":46,"down":true}})",
                          {"key 0xffff down", "flush"}},
                      Row{"apostrophe",
                          R"({"keyboardEvent":{"keyCode":222,"down":true}})",
                          {"key 0x27 down", "flush"}},
                      Row{"minus of firefox",
                          R"({"keyboardEvent":{"keyCode":173,"down":true}})",
                          {"key 0x2d down", "flush"}},
                      Row{"186 unchanged",
                          R"({"keyboardEvent":{"keyCode":186,"down":true}})",
                          {"key 0xba down", "flush"}},
                      Row{"187 unchanged",
                          R"({"keyboardEvent":{"keyCode":187,"down":true}})",
                          {"key 0xbb down", "flush"}},
                      Row{"189 unchanged",
                          R"({"keyboardEvent":{"keyCode":189,"down":true}})",
                          {"key 0xbd down", "flush"}},
                      Row{"91 unchanged",
                          R"({"keyboardEvent":{"keyCode":91,"down":true}})",
                          {"key 0x5b down", "flush"}},
                      Row{"key code as a string counts as 0 and has no key",
                          R"({"keyboardEvent":{"keyCode":"65","down":true}})", kNothing,
                          "keyboardPress: no key on this keyboard for the key code, event dropped"},
                      Row{"key code not whole counts as 0",
                          R"({"keyboardEvent":{"keyCode":65.5,"down":true}})", kNothing,
                          "keyboardPress: no key on this keyboard"},
                      Row{"keyboardEvent not an object", R"({"keyboardEvent":7})", kNothing,
                          R"({"keyboardEvent":{"key":"*","keyCode":"*"}})"}),
    PrintRow);

INSTANTIATE_TEST_SUITE_P(
    Mouse, InputHandlerTest,
    ::testing::Values(
        Row{"move",
            R"({"mouseEvent":{"type":"mousemove","x":10,"y":20}})",
            {"warp 10 20", "flush"}},
        Row{"move needs no buttons and ignores them",
            R"({"mouseEvent":{"type":"mousemove","x":3,"y":4,"buttons":{"left":true}}})",
            {"warp 3 4", "flush"}},
        Row{"move with missing coordinates",
            R"({"mouseEvent":{"type":"mousemove"}})",
            {"warp 0 0", "flush"}},
        Row{"move is not clamped to the monitor",
            R"({"mouseEvent":{"type":"mousemove","x":5000,"y":-7}})",
            {"warp 5000 -7", "flush"}},
        Row{"coordinates beyond the X range stop at its edge",
            R"({"mouseEvent":{"type":"mousemove","x":2147483647,"y":-2147483648}})",
            {"warp 32767 -32768", "flush"}},
        Row{"right wins over left",
            R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"right":true}}})",
            {"button 3 press", "flush"}},
        Row{"right wins over middle",
            R"({"mouseEvent":{"type":"mousedown","buttons":{"middle":true,"right":true}}})",
            {"button 3 press", "flush"}},
        Row{"middle wins over left",
            R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"middle":true}}})",
            {"button 2 press", "flush"}},
        Row{"left alone",
            R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})",
            {"button 1 press", "flush"}},
        Row{"mouseup releases",
            R"({"mouseEvent":{"type":"mouseup","buttons":{"middle":true}}})",
            {"button 2 release", "flush"}},
        Row{"any other type releases",
            R"({"mouseEvent":{"type":"click","buttons":{"middle":true}}})",
            {"button 2 release", "flush"}},
        Row{"type is case-sensitive",
            R"({"mouseEvent":{"type":"MouseDown","buttons":{"left":true}}})",
            {"button 1 release", "flush"}},
        Row{"missing type releases",
            R"({"mouseEvent":{"buttons":{"right":true}}})",
            {"button 3 release", "flush"}},
        Row{"no button set is dropped", R"({"mouseEvent":{"type":"mousedown","buttons":{}}})",
            kNothing, "mouseClick: no button set in the event, event dropped"},
        Row{"buttons given as numbers count as not set",
            R"({"mouseEvent":{"type":"mousedown","buttons":{"left":1}}})", kNothing,
            "mouseClick: no button set"},
        Row{"wheel up",
            R"({"wheelEvent":{"up":-120}})",
            {"button 4 press", "button 4 release", "flush"}},
        Row{"wheel zero scrolls down",
            R"({"wheelEvent":{"up":0}})",
            {"button 5 press", "button 5 release", "flush"}},
        Row{"wheel down",
            R"({"wheelEvent":{"up":120}})",
            {"button 5 press", "button 5 release", "flush"}},
        Row{"wheel without up scrolls down",
            R"({"wheelEvent":{}})",
            {"button 5 press", "button 5 release", "flush"}}),
    PrintRow);

INSTANTIATE_TEST_SUITE_P(
    Shortcuts, InputHandlerTest,
    ::testing::Values(Row{"ctrl alt F2 pressed and released in the same order",
                          R"({"shortcutEvent":{"key":"CTRL_ALT_F2"}})",
                          {"key 0xffe3 down", "key 0xffe9 down", "key 0xffbf down", "flush",
                           "key 0xffe3 up", "key 0xffe9 up", "key 0xffbf up", "flush"}},
                      Row{"ctrl alt F12",
                          R"({"shortcutEvent":{"key":"CTRL_ALT_F12"}})",
                          {"key 0xffe3 down", "key 0xffe9 down", "key 0xffc9 down", "flush",
                           "key 0xffe3 up", "key 0xffe9 up", "key 0xffc9 up", "flush"}},
                      Row{"ctrl alt delete",
                          R"({"shortcutEvent":{"key":"CTRL_ALT_DELETE"}})",
                          {"key 0xffe3 down", "key 0xffe9 down", "key 0xffff down", "flush",
                           "key 0xffe3 up", "key 0xffe9 up", "key 0xffff up", "flush"}},
                      Row{"names are case-sensitive",
                          R"({"shortcutEvent":{"key":"Ctrl_Alt_Delete"}})", kNothing,
                          "shortcutPress: unrecognized shortcut 'Ctrl_Alt_Delete'"},
                      Row{"F13 does not exist", R"({"shortcutEvent":{"key":"CTRL_ALT_F13"}})",
                          kNothing, "shortcutPress: unrecognized shortcut 'CTRL_ALT_F13'"},
                      Row{"missing name", R"({"shortcutEvent":{}})", kNothing,
                          "shortcutPress: unrecognized shortcut ''"}),
    PrintRow);

INSTANTIATE_TEST_SUITE_P(
    MemberOrder, InputHandlerTest,
    ::testing::Values(
        Row{"keyboard before mouse",
            R"({"mouseEvent":{"type":"mousemove","x":1,"y":2},"keyboardEvent":{"keyCode":65,"down":true}})",
            {"key 0x41 down", "flush"}},
        Row{"mouse before wheel",
            R"({"wheelEvent":{"up":1},"mouseEvent":{"type":"mousemove","x":1,"y":2}})",
            {"warp 1 2", "flush"}},
        Row{"wheel before shortcut",
            R"({"shortcutEvent":{"key":"CTRL_ALT_F1"},"wheelEvent":{"up":-1}})",
            {"button 4 press", "button 4 release", "flush"}},
        Row{"other members are ignored",
            R"({"id":7,"wheelEvent":{"up":-1}})",
            {"button 4 press", "button 4 release", "flush"}}),
    PrintRow);

INSTANTIATE_TEST_SUITE_P(
    Failures, InputHandlerTest,
    ::testing::Values(Row{"truncated object", R"({"mouseEvent":{"type":"mousemove")", kNothing,
                          "Error parsing json: "},
                      Row{"bare scalar", "42", kNothing, "Error parsing json: "},
                      Row{"empty text", "", kNothing, "Error parsing json: "},
                      Row{"array", R"([{"wheelEvent":{"up":1}}])", kNothing,
                          R"(Unknown json message '[{"wheelEvent":{"up":1}}]', ignoring)"},
                      Row{"empty object", "{}", kNothing, "Unknown json message. Skipping"},
                      Row{"unknown object", R"({"touchEvent":{}})", kNothing,
                          "Unknown json message. Skipping"},
                      Row{"raw text of a non-keyboard message is logged",
                          R"({"wheelEvent":{"up":3}})",
                          {"button 5 press", "button 5 release", "flush"},
                          R"(Received text data from input channel: {"wheelEvent":{"up":3}})"}),
    PrintRow);

TEST(InputHandlerOffset, MoveIsRelativeToThePrimaryMonitor) {
    screenSpecs = ScreenSpecs{1920, 0, 1280, 1024};
    RecordingInjector injector;
    InputHandler handler(injector);
    handler.handleMessage(R"({"mouseEvent":{"type":"mousemove","x":10,"y":20}})");
    screenSpecs = ScreenSpecs{100, 50, 800, 600};
    handler.handleMessage(R"({"mouseEvent":{"type":"mousemove","x":0,"y":0}})");
    screenSpecs = ScreenSpecs{};
    EXPECT_EQ(injector.steps, (Steps{"warp 1930 20", "flush", "warp 100 50", "flush"}));
}

struct Failing {
    const char* message;
    int keyResult;
    int buttonResult;
    const char* logged;
    int times;
};

TEST(InputHandlerErrors, FailedCallsAreLoggedAndTheEventGoesOn) {
    const Failing rows[] = {
        {R"({"keyboardEvent":{"keyCode":65,"down":true}})", 0, 1,
         "keyboardPress: error sending key * res = 0", 1},
        {R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})", 1, 0,
         "mouseClick: error sending mouse click 1 res = 0", 1},
        {R"({"wheelEvent":{"up":-1}})", 1, 0, "mouseWheel: error sending mouse wheel res = 0", 1},
        {R"({"shortcutEvent":{"key":"CTRL_ALT_F3"}})", 0, 1,
         "shortcutPress: error sending shortcut res = 0", 6},
    };
    for (const Failing& row : rows) {
        logcapture::Mark mark;
        RecordingInjector injector;
        injector.keyResult = row.keyResult;
        injector.buttonResult = row.buttonResult;
        InputHandler handler(injector);
        handler.handleMessage(QString::fromUtf8(row.message));
        EXPECT_EQ(mark.text().count(QString::fromUtf8(row.logged)), row.times) << row.message;
        // Every step still ran, flushes included.
        EXPECT_EQ(injector.steps.back(), "flush") << row.message;
    }
}

TEST(InputHandlerErrors, ShortcutSkipsAKeyTheKeyboardLacks) {
    RecordingInjector injector;
    injector.unmappedKeysyms = {0xffe9};
    InputHandler handler(injector);
    logcapture::Mark mark;
    handler.handleMessage(R"({"shortcutEvent":{"key":"CTRL_ALT_DELETE"}})");
    EXPECT_EQ(injector.steps, (Steps{"key 0xffe3 down", "key 0xffff down", "flush", "key 0xffe3 up",
                                     "key 0xffff up", "flush"}));
    EXPECT_EQ(mark.text().count("shortcutPress: no key on this keyboard for keysym 0xffe9"), 2);
}

TEST(InputHandlerRelease, ReleasesWhatIsStillHeld) {
    RecordingInjector injector;
    InputHandler handler(injector);
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":16,"down":true}})");
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":65,"down":true}})");
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":65,"down":true}})");  // auto-repeat
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":66,"down":true}})");
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":66,"down":false}})");
    handler.handleMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})");
    handler.handleMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"right":true}}})");
    handler.handleMessage(R"({"mouseEvent":{"type":"mouseup","buttons":{"right":true}}})");
    handler.handleMessage(R"({"wheelEvent":{"up":-1}})");
    handler.handleMessage(R"({"shortcutEvent":{"key":"CTRL_ALT_F1"}})");
    ASSERT_TRUE(handler.anythingPressed());

    injector.steps.clear();
    handler.releaseAll();
    EXPECT_EQ(injector.steps, (Steps{"key 0x41 up", "key 0xffe1 up", "button 1 release", "flush"}));
    EXPECT_FALSE(handler.anythingPressed());

    injector.steps.clear();
    handler.releaseAll();
    EXPECT_TRUE(injector.steps.empty());
}

TEST(InputHandlerRelease, ShortcutReleasesAKeyTheAdministratorHeld) {
    RecordingInjector injector;
    InputHandler handler(injector);
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":17,"down":true}})");
    handler.handleMessage(R"({"shortcutEvent":{"key":"CTRL_ALT_F1"}})");
    EXPECT_FALSE(handler.anythingPressed());
}

TEST(InputHandlerLog, TypedKeysAreMasked) {
    const char* messages[] = {
        R"({"keyboardEvent":{"keyCode":90,"down":true,"key":"secret-z","code":"KeyZ"}})",
        R"({"keyboardEvent":{"keyCode":90,"down":"yes"},"note":{"keyboardEvent":{"keyCode":90,"key":"secret-z"}}})",
        R"([{"keyboardEvent":{"keyCode":90,"down":true,"key":"secret-z"}}])",
    };
    for (const char* message : messages) {
        logcapture::Mark mark;
        RecordingInjector injector;
        InputHandler handler(injector);
        handler.handleMessage(QString::fromUtf8(message));
        const QString log = mark.text();
        EXPECT_FALSE(log.contains("secret-z")) << log.toStdString();
        EXPECT_FALSE(log.contains("KeyZ")) << log.toStdString();
        EXPECT_FALSE(log.contains(QRegularExpression(R"("keyCode":\s*90)"))) << log.toStdString();
        EXPECT_TRUE(log.contains(R"("keyCode":"*")")) << log.toStdString();
    }
}

TEST(InputHandlerLog, MaskedLineKeepsTheRestOfTheMessage) {
    logcapture::Mark mark;
    RecordingInjector injector;
    InputHandler handler(injector);
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":65,"down":true,"key":"a"},"seq":12})");
    EXPECT_TRUE(mark.text().contains(
        R"(Received text data from input channel: {"keyboardEvent":{"down":true,"key":"*","keyCode":"*"},"seq":12})"))
        << mark.text().toStdString();
}

}  // namespace
