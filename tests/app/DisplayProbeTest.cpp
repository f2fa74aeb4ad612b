// The primary-monitor rule on data, and the probe on the test's X server.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "DisplayProbe.h"

namespace {

constexpr unsigned long kPrimary = 0x42;
constexpr unsigned long kOther = 0x43;

TEST(DisplayProbe, PicksTheLastCrtcWhoseFirstOutputIsPrimary) {
    const struct {
        const char* what;
        std::vector<CrtcGeometry> crtcs;
        unsigned long primary;
        std::optional<ScreenSpecs> expected;
    } rows[] = {
        {"right of another monitor",
         {{0, 0, 1920, 1080, {kOther}}, {1920, 0, 2560, 1440, {kPrimary}}},
         kPrimary,
         ScreenSpecs{1920, 0, 2560, 1440}},
        {"two on the primary: the later wins",
         {{0, 0, 1280, 720, {kPrimary}}, {0, 0, 1920, 1080, {kPrimary}}},
         kPrimary,
         ScreenSpecs{0, 0, 1920, 1080}},
        {"primary as a second output", {{0, 0, 1920, 1080, {kOther, kPrimary}}}, kPrimary, {}},
        {"disabled CRTC skipped",
         {{0, 0, 0, 0, {}}, {0, 200, 800, 600, {kPrimary}}},
         kPrimary,
         ScreenSpecs{0, 200, 800, 600}},
        {"no primary set", {{0, 0, 1920, 1080, {kOther}}}, 0, {}},
        {"no CRTCs", {}, kPrimary, {}},
    };
    for (const auto& row : rows) {
        const std::optional<ScreenSpecs> got = primaryCrtcGeometry(row.crtcs, row.primary);
        ASSERT_EQ(got.has_value(), row.expected.has_value()) << row.what;
        if (got) {
            EXPECT_EQ(std::make_tuple(got->x, got->y, got->width, got->height),
                      std::make_tuple(row.expected->x, row.expected->y, row.expected->width,
                                      row.expected->height))
                << row.what;
        }
    }
}

_XDisplay* hooked = nullptr;

// Xvfb sets no primary output: screen 0 is used whole. The hook (where the X error handler goes)
// sees the display before anything queries it.
TEST(DisplayProbe, WithoutAPrimaryOutputScreenZeroIsUsed) {
    setDisplayOpenedHook([](_XDisplay* display) { hooked = display; });
    ASSERT_TRUE(initDisplay());
    setDisplayOpenedHook(nullptr);
    EXPECT_EQ(hooked, d);
    EXPECT_EQ(std::make_tuple(screenSpecs.x, screenSpecs.y, screenSpecs.width, screenSpecs.height),
              std::make_tuple(0, 0, DisplayWidth(d, 0), DisplayHeight(d, 0)));
    XCloseDisplay(d);
    d = nullptr;
}

}  // namespace
