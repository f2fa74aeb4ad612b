#include "AudioSurvey.h"

#include <gst/gst.h>

#include "LogBridges.h"
#include "logger.h"

namespace {

// A missing or non-string value reads as empty.
std::string stringProperty(const GstStructure* properties, const char* name) {
    return properties ? gvalueToStdString(gst_structure_get_value(properties, name))
                      : std::string();
}

AudioDeviceInfo describe(GstDevice* device) {
    AudioDeviceInfo info;
    gchar* name = gst_device_get_display_name(device);
    info.displayName = name ? name : "";
    g_free(name);
    GstStructure* properties = gst_device_get_properties(device);
    info.api = stringProperty(properties, "device.api");
    info.strid = stringProperty(properties, "device.strid");
    info.directsoundDriver = stringProperty(properties, "directsound.device.driver");
    if (properties) {
        gst_structure_free(properties);
    }
    return info;
}

}  // namespace

bool isUsableAudioDevice(const AudioDeviceInfo& device) {
    if (device.api.empty()) {
        return false;
    }
    if (device.api == "wasapi") {
        return !device.strid.empty();
    }
    if (device.api == "directsound") {
        return !device.directsoundDriver.empty();
    }
    return true;
}

bool reviewAudioDevices(const std::vector<AudioDeviceInfo>& devices) {
    if (devices.empty()) {
        cli_log(LL_WARNING, "GStreamer does not see any audio devices\n");
        return false;
    }
    cli_log(LL_INFO, "GStreamer Audio output devices:\n");
    bool usable = false;
    for (const AudioDeviceInfo& device : devices) {
        if (device.api.empty()) {
            continue;
        }
        usable = isUsableAudioDevice(device) || usable;
        cli_log(LL_INFO, "\t%s\n", device.displayName.c_str());
    }
    return usable;
}

std::vector<std::string> availableAudioSources() {
    std::vector<std::string> found;
    for (const char* name : {"pulsesrc", "alsasrc", "osssrc", "directsoundsrc", "wasapisrc",
                             "osxaudiosrc", "autoaudiosrc"}) {
        if (GstElementFactory* factory = gst_element_factory_find(name)) {
            found.emplace_back(name);
            gst_object_unref(factory);
        }
    }
    return found;
}

void surveyAudioDevices(GlobalSettings& settings) {
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    if (!monitor) {
        return;
    }
    GstCaps* caps = gst_caps_new_empty_simple("audio/x-raw");
    gst_device_monitor_add_filter(monitor, "Source/Audio", caps);
    gst_caps_unref(caps);
    gst_device_monitor_start(monitor);

    GList* list = gst_device_monitor_get_devices(monitor);
    std::vector<AudioDeviceInfo> devices;
    for (GList* item = list; item; item = item->next) {
        devices.push_back(describe(GST_DEVICE(item->data)));
    }
    if (!reviewAudioDevices(devices)) {
        cli_log(LL_WARNING,
                "Output devices not found or they are unavailable. Audio output disabled\n");
        settings.audioAvailable = false;
    }
    g_list_free_full(list, gst_object_unref);
    gst_device_monitor_stop(monitor);
    gst_object_unref(monitor);

    const std::vector<std::string> sources = availableAudioSources();
    if (sources.empty()) {
        cli_log(LL_WARNING, "GStreamer has no avaliable audio backends");
        return;
    }
    cli_log(LL_INFO, "GStreamer avaliable audio backends : \n");
    for (const std::string& name : sources) {
        cli_log(LL_INFO, "\t%s\n", name.c_str());
    }
}
