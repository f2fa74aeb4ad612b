// The primary-monitor rule, on data (the start-up tests run the probe on Xvfb).
#include <gtest/gtest.h>

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
        auto text = [](const std::optional<ScreenSpecs>& s) {
            return s ? std::to_string(s->x) + ";" + std::to_string(s->y) + " " +
                           std::to_string(s->width) + "x" + std::to_string(s->height)
                     : std::string("none");
        };
        EXPECT_EQ(text(got), text(row.expected)) << row.what;
    }
}

}  // namespace
