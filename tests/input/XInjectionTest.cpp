// Real injection into the X server (Xvfb), read back by a second client.
#include <gtest/gtest.h>

#include <QTest>

#include "InputHandler.h"
#include "LogCapture.h"
#include "ScreenGlobals.h"
#include "XTestInjector.h"

// Xlib last: its macros (Bool, Status, CursorShape...) break Qt headers.
#include "XReadBack.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

constexpr int kWaitMs = 5000;

class XInjection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xreadback::openSharedDisplay()) << "these tests need an X display (Xvfb)";
        ASSERT_NE(xreadback::observer(), nullptr);
        screenSpecs = ScreenSpecs{0, 0, 1920, 1080};
    }
    void TearDown() override {
        handler.releaseAll();
        screenSpecs = ScreenSpecs{};
    }

    bool pointerAt(int x, int y) {
        return QTest::qWaitFor(
            [&] {
                const xreadback::Pointer p = xreadback::pointer();
                return p.x == x && p.y == y;
            },
            kWaitMs);
    }

    // The injector is given the display when it is made: open it first.
    static XTestInjector sharedInjector() {
        xreadback::openSharedDisplay();
        return XTestInjector(d, w);
    }
    XTestInjector injector = sharedInjector();
    InputHandler handler{injector};
};

TEST_F(XInjection, MoveLandsAtRootCoordinates) {
    handler.handleMessage(R"({"mouseEvent":{"type":"mousemove","x":10,"y":20}})");
    EXPECT_TRUE(pointerAt(10, 20));
    handler.handleMessage(R"({"mouseEvent":{"type":"mousemove","x":1234,"y":567}})");
    EXPECT_TRUE(pointerAt(1234, 567));
}

TEST_F(XInjection, MoveIsOffsetByThePrimaryMonitorPosition) {
    screenSpecs = ScreenSpecs{1000, 100, 800, 600};
    handler.handleMessage(R"({"mouseEvent":{"type":"mousemove","x":10,"y":20}})");
    EXPECT_TRUE(pointerAt(1010, 120));
}

TEST_F(XInjection, KeyPressAndReleaseReachTheServer) {
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":65,"down":true,"key":"a"}})");
    EXPECT_TRUE(QTest::qWaitFor([] { return xreadback::keyDown(XK_A); }, kWaitMs));
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":65,"down":false,"key":"a"}})");
    EXPECT_TRUE(QTest::qWaitFor([] { return !xreadback::keyDown(XK_A); }, kWaitMs));

    // A translated code: F5 through the key table.
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":116,"down":true}})");
    EXPECT_TRUE(QTest::qWaitFor([] { return xreadback::keyDown(XK_F5); }, kWaitMs));
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":116,"down":false}})");
    EXPECT_TRUE(QTest::qWaitFor([] { return !xreadback::keyDown(XK_F5); }, kWaitMs));
}

TEST_F(XInjection, ButtonPressAndReleaseReachTheServer) {
    handler.handleMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true}}})");
    EXPECT_TRUE(
        QTest::qWaitFor([] { return (xreadback::pointer().mask & Button1Mask) != 0; }, kWaitMs));
    handler.handleMessage(R"({"mouseEvent":{"type":"mouseup","buttons":{"left":true}}})");
    EXPECT_TRUE(
        QTest::qWaitFor([] { return (xreadback::pointer().mask & Button1Mask) == 0; }, kWaitMs));

    handler.handleMessage(
        R"({"mouseEvent":{"type":"mousedown","buttons":{"left":true,"right":true}}})");
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            const unsigned mask = xreadback::pointer().mask;
            return (mask & Button3Mask) != 0 && (mask & Button1Mask) == 0;
        },
        kWaitMs));
}

TEST_F(XInjection, ReleaseAllLeavesNothingPressed) {
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":17,"down":true}})");
    handler.handleMessage(R"({"keyboardEvent":{"keyCode":66,"down":true}})");
    handler.handleMessage(R"({"mouseEvent":{"type":"mousedown","buttons":{"middle":true}}})");
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return xreadback::keyDown(XK_B) && (xreadback::pointer().mask & Button2Mask) != 0; },
        kWaitMs));
    handler.releaseAll();
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            return xreadback::noKeyDown() &&
                   (xreadback::pointer().mask & (Button1Mask | Button2Mask | Button3Mask)) == 0;
        },
        kWaitMs));
}

TEST_F(XInjection, ShortcutLeavesNoKeyDown) {
    // CTRL_ALT_F1 would switch consoles on a real server; Xvfb has none.
    handler.handleMessage(R"({"shortcutEvent":{"key":"CTRL_ALT_F1"}})");
    XSync(d, False);
    EXPECT_TRUE(QTest::qWaitFor([] { return xreadback::noKeyDown(); }, kWaitMs));
}

TEST_F(XInjection, AProtocolErrorIsLoggedAndTheProcessGoesOn) {
    logcapture::Mark mark;
    // Button 0 does not exist: the server answers BadValue, which Xlib's own handler ends the
    // process on.
    XTestFakeButtonEvent(d, 0, True, CurrentTime);
    XSync(d, False);
    EXPECT_TRUE(mark.text().contains("X error: BadValue")) << mark.text().toStdString();

    // The connection still works.
    handler.handleMessage(R"({"mouseEvent":{"type":"mousemove","x":77,"y":88}})");
    EXPECT_TRUE(pointerAt(77, 88));
}

}  // namespace
