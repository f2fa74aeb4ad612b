#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "AudioSurvey.h"

namespace {

struct DeviceCase {
    const char* what;
    std::vector<AudioDeviceInfo> devices;
    bool usable;
    std::vector<std::string> listed;
};

class AudioDevices : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(AudioDevices, UsableDeviceRuleAndListing) {
    const DeviceCase& c = GetParam();
    testing::internal::CaptureStdout();
    const bool usable = reviewAudioDevices(c.devices);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(usable, c.usable) << c.what;
    for (const AudioDeviceInfo& device : c.devices) {
        const bool listed =
            std::find(c.listed.begin(), c.listed.end(), device.displayName) != c.listed.end();
        EXPECT_EQ(out.find("\t" + device.displayName + "\n") != std::string::npos, listed)
            << c.what << ": " << device.displayName << "\n"
            << out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AudioDevices,
    ::testing::Values(
        DeviceCase{"no devices", {}, false, {}},
        DeviceCase{"only a device with an empty API: not listed, audio off",
                   {{"Ghost", "", "", ""}},
                   false,
                   {}},
        DeviceCase{"wasapi without strid is listed but does not count",
                   {{"Speakers", "wasapi", "", ""}},
                   false,
                   {"Speakers"}},
        DeviceCase{"wasapi with strid", {{"Mic", "wasapi", "{0.0.1}", ""}}, true, {"Mic"}},
        DeviceCase{"directsound needs its driver",
                   {{"DS", "directsound", "", ""}, {"DS2", "directsound", "", "drv"}},
                   true,
                   {"DS", "DS2"}},
        DeviceCase{
            "any other API is usable, after an unusable one",
            {{"Speakers", "wasapi", "", ""}, {"Ghost", "", "", ""}, {"Pulse", "pulse", "", ""}},
            true,
            {"Speakers", "Pulse"}}));

// A device provider registered in-process stands in for a sound server: the real monitor, the
// real property reading.
struct FakeProvider {
    GstDeviceProvider parent;
};
struct FakeProviderClass {
    GstDeviceProviderClass parent_class;
};

struct FakeDevice {
    GstDevice parent;
};
struct FakeDeviceClass {
    GstDeviceClass parent_class;
};

std::vector<std::pair<std::string, std::string>> fakeDevices;  // display name, device.api

GType fake_device_get_type();
G_DEFINE_TYPE(FakeDevice, fake_device, GST_TYPE_DEVICE)
void fake_device_class_init(FakeDeviceClass*) {}
void fake_device_init(FakeDevice*) {}

GType fake_provider_get_type();
G_DEFINE_TYPE(FakeProvider, fake_provider, GST_TYPE_DEVICE_PROVIDER)

GList* fakeProbe(GstDeviceProvider*) {
    GList* list = nullptr;
    for (const auto& [name, api] : fakeDevices) {
        GstCaps* caps = gst_caps_new_empty_simple("audio/x-raw");
        GstStructure* props = gst_structure_new_empty("properties");
        if (!api.empty()) {
            gst_structure_set(props, "device.api", G_TYPE_STRING, api.c_str(), nullptr);
        }
        GstDevice* device = GST_DEVICE(g_object_new(fake_device_get_type(), "display-name",
                                                    name.c_str(), "caps", caps, "device-class",
                                                    "Source/Audio", "properties", props, nullptr));
        gst_caps_unref(caps);
        gst_structure_free(props);
        list = g_list_append(list, gst_object_ref_sink(device));
    }
    return list;
}

void fake_provider_class_init(FakeProviderClass* klass) {
    GstDeviceProviderClass* provider = GST_DEVICE_PROVIDER_CLASS(klass);
    provider->probe = fakeProbe;
    gst_device_provider_class_set_static_metadata(provider, "Fake audio", "Source/Audio",
                                                  "Test devices", "tests");
}

void fake_provider_init(FakeProvider*) {}

class AudioSurvey : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gst_init(nullptr, nullptr);
        ASSERT_TRUE(gst_device_provider_register(nullptr, "kelvanofakeaudio",
                                                 GST_RANK_PRIMARY + 100, fake_provider_get_type()));
    }
};

TEST_F(AudioSurvey, UsableDeviceKeepsAudioAndListsTheSources) {
    fakeDevices = {{"Fake ghost", ""}, {"Fake microphone", "alsa"}};
    GlobalSettings& settings = GlobalSettings::instance();
    settings.audioAvailable = true;
    testing::internal::CaptureStdout();
    surveyAudioDevices(settings);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(settings.audioAvailable) << out;
    EXPECT_NE(out.find("\tFake microphone\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Fake ghost"), std::string::npos) << out;
    // audiotestsrc is no source device; the probe names only installed capture elements.
    EXPECT_NE(out.find("GStreamer avaliable audio backends : \n"), std::string::npos) << out;
    for (const std::string& name : availableAudioSources()) {
        EXPECT_NE(out.find("\t" + name + "\n"), std::string::npos) << name;
    }
}

TEST_F(AudioSurvey, OnlyUnusableDevicesTurnAudioOff) {
    fakeDevices = {{"Fake ghost", ""}};
    GlobalSettings& settings = GlobalSettings::instance();
    settings.audioAvailable = true;
    testing::internal::CaptureStdout();
    surveyAudioDevices(settings);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(settings.audioAvailable);
    EXPECT_NE(out.find("Output devices not found or they are unavailable. Audio output disabled"),
              std::string::npos)
        << out;
}

}  // namespace
