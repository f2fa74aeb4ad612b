// The textual pipeline of a session as a pure function of the settings.
#pragma once

#include <string>

#include "ScreenGlobals.h"

struct PipelineSettings {
    std::string videoCodec;
    std::string audioCodec;
    std::string stunUrl;
    int micVolume = 100;
    bool showCursor = true;
    bool enableAudio = true;
    bool audioAvailable = true;
    ScreenSpecs screen;
};

enum class PipelineError { None, WrongVideoCodec, WrongAudioCodec };

// The video's RTP payload type; audio shares the bundled session under its own.
constexpr int kVideoPayloadType = 96;

// Empty with an error for an unknown codec (names compared exactly, case-sensitively).
// An empty STUN URL leaves the stun-server property out instead of making the text malformed.
std::string screenPipelineDescription(const PipelineSettings& s, PipelineError* error = nullptr);

// "1.00" for 100, "0.05" for 5.
std::string volumeText(int micVolume);
