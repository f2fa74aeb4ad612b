// Which audio capture devices and source elements GStreamer offers; decides `audioAvailable`.
#pragma once

#include <string>
#include <vector>

#include "GlobalSettings.h"

// A device as the monitor reports it, reduced to what the usable-device rule reads.
struct AudioDeviceInfo {
    std::string displayName;
    std::string api;                // "device.api"
    std::string strid;              // "device.strid" (wasapi)
    std::string directsoundDriver;  // "directsound.device.driver"
};

// A device with an empty API is not a capture device at all; wasapi and directsound devices need
// their identifier; any other API is usable.
bool isUsableAudioDevice(const AudioDeviceInfo& device);

// Logs the listing and returns whether any device is usable (false for an empty list).
bool reviewAudioDevices(const std::vector<AudioDeviceInfo>& devices);

// Element factories of the audio sources, in order of preference, that are installed.
std::vector<std::string> availableAudioSources();

// The whole survey: device monitor, listing, element probe. Needs an initialised GStreamer; may
// clear settings.audioAvailable.
void surveyAudioDevices(GlobalSettings& settings);
