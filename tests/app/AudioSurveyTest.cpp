// Which capture devices count: the rule on the data the device monitor reports.
#include <gtest/gtest.h>

#include "AudioSurvey.h"

namespace {

TEST(AudioDevices, UsableDeviceRule) {
    const struct {
        AudioDeviceInfo device;
        bool usable;
    } rows[] = {
        {{"Ghost", "", "", ""}, false},
        {{"Speakers", "wasapi", "", ""}, false},
        {{"Mic", "wasapi", "{0.0.1}", ""}, true},
        {{"DS", "directsound", "", ""}, false},
        {{"DS2", "directsound", "", "drv"}, true},
        {{"Pulse", "pulse", "", ""}, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isUsableAudioDevice(row.device), row.usable) << row.device.displayName;
    }
    EXPECT_FALSE(reviewAudioDevices({}));
    EXPECT_TRUE(reviewAudioDevices({rows[0].device, rows[5].device}));
}

}  // namespace
