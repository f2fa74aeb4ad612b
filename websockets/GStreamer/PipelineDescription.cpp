#include "PipelineDescription.h"

#include <cstdio>

#include "GlobalSettings.h"

namespace {

constexpr const char* kBinName = "screenshare";

struct CodecFragments {
    const char* encoder;
    const char* rtpCaps;
};

bool videoFragments(const std::string& codec, CodecFragments* out) {
    if (codec == vcVp8) {
        *out = {"vp8enc deadline=1 ! rtpvp8pay ! ",
                "application/x-rtp,media=video,encoding-name=VP8,payload="};
        return true;
    }
    if (codec == vcH264) {
        *out = {"video/x-raw,format=I420 ! x264enc tune=zerolatency pass=17 ! rtph264pay ! ",
                "application/x-rtp,media=video,encoding-name=H264,payload="};
        return true;
    }
    return false;
}

// PCMA has the static payload type 8; browsers refuse it on a dynamic number.
bool audioFragments(const std::string& codec, CodecFragments* out, const char** payload) {
    if (codec == acOpus) {
        *out = {"opusenc ! rtpopuspay ! ",
                "application/x-rtp,media=audio,encoding-name=OPUS,payload="};
        *payload = "97";
        return true;
    }
    if (codec == acG711) {
        *out = {"alawenc ! rtppcmapay ! ",
                "application/x-rtp,media=audio,encoding-name=PCMA,payload="};
        *payload = "8";
        return true;
    }
    return false;
}

}  // namespace

std::string volumeText(int micVolume) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d.%02d", micVolume / 100, micVolume % 100);
    return buf;
}

std::string screenPipelineDescription(const PipelineSettings& s, PipelineError* error) {
    if (error) {
        *error = PipelineError::None;
    }
    CodecFragments video{};
    if (!videoFragments(s.videoCodec, &video)) {
        if (error) {
            *error = PipelineError::WrongVideoCodec;
        }
        return {};
    }
    CodecFragments audio{};
    const char* audioPayload = nullptr;
    if (!audioFragments(s.audioCodec, &audio, &audioPayload)) {
        if (error) {
            *error = PipelineError::WrongAudioCodec;
        }
        return {};
    }

    std::string audioPart;
    if (s.enableAudio && s.audioAvailable) {
        audioPart = std::string("audiotestsrc is-live=TRUE wave=silence ! volume volume=") +
                    volumeText(s.micVolume) + " ! audioconvert ! audioresample ! queue ! " +
                    audio.encoder + "queue ! " + audio.rtpCaps + audioPayload + " ! " + kBinName +
                    ". ";
    }

    std::string d = std::string("webrtcbin bundle-policy=max-bundle name=") + kBinName;
    if (!s.stunUrl.empty()) {
        d += " stun-server=" + s.stunUrl;
    }
    d += " ximagesrc startx=" + std::to_string(s.screen.x) +
         " starty=" + std::to_string(s.screen.y) +
         " endx=" + std::to_string(s.screen.x + s.screen.width - 1) +
         " endy=" + std::to_string(s.screen.y + s.screen.height - 1) +
         " show-pointer=" + (s.showCursor ? "TRUE" : "FALSE") +
         " ! video/x-raw,framerate=" + std::to_string(10) + "/1 ! videoconvert ! queue ! " +
         video.encoder + "queue ! " + video.rtpCaps + std::to_string(kVideoPayloadType) + " ! " +
         kBinName + ". " + audioPart;
    return d;
}
