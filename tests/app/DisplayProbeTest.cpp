#include <gtest/gtest.h>

#include <QByteArray>

#include <X11/Xlib.h>

#include "DisplayProbe.h"

namespace {

constexpr unsigned long kPrimary = 0x42;
constexpr unsigned long kOther = 0x43;

struct CrtcCase {
    const char* what;
    std::vector<CrtcGeometry> crtcs;
    unsigned long primary;
    bool found;
    ScreenSpecs expected;
};

class PrimaryCrtc : public ::testing::TestWithParam<CrtcCase> {};

TEST_P(PrimaryCrtc, PicksTheLastCrtcWhoseFirstOutputIsPrimary) {
    const CrtcCase& c = GetParam();
    const std::optional<ScreenSpecs> got = primaryCrtcGeometry(c.crtcs, c.primary);
    ASSERT_EQ(got.has_value(), c.found) << c.what;
    if (got) {
        EXPECT_EQ(got->x, c.expected.x) << c.what;
        EXPECT_EQ(got->y, c.expected.y) << c.what;
        EXPECT_EQ(got->width, c.expected.width) << c.what;
        EXPECT_EQ(got->height, c.expected.height) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PrimaryCrtc,
    ::testing::Values(CrtcCase{"primary to the right of another monitor",
                               {{0, 0, 1920, 1080, {kOther}}, {1920, 0, 2560, 1440, {kPrimary}}},
                               kPrimary,
                               true,
                               {1920, 0, 2560, 1440}},
                      CrtcCase{"two CRTCs on the primary output: the later wins",
                               {{0, 0, 1280, 720, {kPrimary}}, {0, 0, 1920, 1080, {kPrimary}}},
                               kPrimary,
                               true,
                               {0, 0, 1920, 1080}},
                      CrtcCase{"primary only as a second output does not count",
                               {{0, 0, 1920, 1080, {kOther, kPrimary}}},
                               kPrimary,
                               false,
                               {}},
                      CrtcCase{"disabled CRTC without outputs is skipped",
                               {{0, 0, 0, 0, {}}, {0, 200, 800, 600, {kPrimary}}},
                               kPrimary,
                               true,
                               {0, 200, 800, 600}},
                      CrtcCase{
                          "no primary output set", {{0, 0, 1920, 1080, {kOther}}}, 0, false, {}},
                      CrtcCase{"no CRTCs at all", {}, kPrimary, false, {}}));

class RealDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (!canOpenDisplay()) {
            GTEST_SKIP() << "no X display";
        }
    }
    void TearDown() override {
        if (d) {
            XCloseDisplay(d);
        }
        d = nullptr;
        w = 0;
        screenSpecs = ScreenSpecs{};
    }
};

_XDisplay* hookedDisplay = nullptr;

TEST_F(RealDisplay, XvfbHasNoPrimaryOutputSoScreenZeroIsUsed) {
    setDisplayOpenedHook([](_XDisplay* display) { hookedDisplay = display; });
    testing::internal::CaptureStdout();
    ASSERT_TRUE(initDisplay());
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    setDisplayOpenedHook(nullptr);

    ASSERT_NE(d, nullptr);
    EXPECT_EQ(hookedDisplay, d);
    EXPECT_EQ(w, DefaultRootWindow(d));
    const int width = DisplayWidth(d, 0);
    const int height = DisplayHeight(d, 0);
    EXPECT_EQ(screenSpecs.x, 0);
    EXPECT_EQ(screenSpecs.y, 0);
    EXPECT_EQ(screenSpecs.width, width);
    EXPECT_EQ(screenSpecs.height, height);
    const std::string line =
        "Linux: Primary monitor position:0;0, resolution:" + std::to_string(width) + "x" +
        std::to_string(height);
    EXPECT_NE(out.find(line), std::string::npos) << out;
}

TEST_F(RealDisplay, AnUnreachableDisplayFailsWithoutAConnection) {
    const QByteArray saved = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":999");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(canOpenDisplay());
    EXPECT_FALSE(initDisplay());
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    qputenv("DISPLAY", saved);
    EXPECT_EQ(d, nullptr);
    EXPECT_NE(out.find("Linux: initDisplay: XOpenDisplay failed"), std::string::npos) << out;
}

}  // namespace
