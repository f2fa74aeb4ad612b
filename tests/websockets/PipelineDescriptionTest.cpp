#include <gtest/gtest.h>

#include "PipelineDescription.h"

namespace {

PipelineSettings base() {
    PipelineSettings s;
    s.videoCodec = "VP8";
    s.audioCodec = "OPUS";
    s.stunUrl = "S";
    s.micVolume = 100;
    s.showCursor = true;
    s.enableAudio = true;
    s.audioAvailable = true;
    s.screen = {0, 0, 1920, 1080};
    return s;
}

TEST(PipelineDescription, AudioNeedsBothServerPermissionAndADevice) {
    struct Row {
        bool enable, available, audio;
    };
    for (const Row& r : {Row{true, true, true}, Row{true, false, false}, Row{false, true, false},
                         Row{false, false, false}}) {
        PipelineSettings s = base();
        s.enableAudio = r.enable;
        s.audioAvailable = r.available;
        const std::string d = screenPipelineDescription(s);
        EXPECT_EQ(d.find("audio") != std::string::npos, r.audio) << r.enable << r.available;
        EXPECT_NE(d.find("vp8enc"), std::string::npos);
    }
}

TEST(PipelineDescription, UnknownCodecsGiveNothing) {
    struct Row {
        const char* video;
        const char* audio;
        bool enableAudio;
        PipelineError error;
    };
    const Row rows[] = {
        {"vp8", "OPUS", true, PipelineError::WrongVideoCodec},
        {"H264", "OPUS", true, PipelineError::WrongVideoCodec},
        {"VP8", "opus", true, PipelineError::WrongAudioCodec},
        // The audio codec is checked even when no audio stream would be added.
        {"VP8", "PCMA", false, PipelineError::WrongAudioCodec},
        {"vp8", "PCMA", false, PipelineError::WrongVideoCodec},
    };
    for (const Row& r : rows) {
        PipelineSettings s = base();
        s.videoCodec = r.video;
        s.audioCodec = r.audio;
        s.enableAudio = r.enableAudio;
        PipelineError err = PipelineError::None;
        EXPECT_EQ(screenPipelineDescription(s, &err), "") << r.video << " " << r.audio;
        EXPECT_EQ(err, r.error) << r.video << " " << r.audio;
    }
}

// An empty STUN list must not swallow the next word as the property's value.
TEST(PipelineDescription, EmptyStunLeavesThePropertyOut) {
    PipelineSettings s = base();
    s.stunUrl.clear();
    s.enableAudio = false;
    EXPECT_EQ(screenPipelineDescription(s).rfind("webrtcbin bundle-policy=max-bundle "
                                                 "name=screenshare ximagesrc startx=0 ",
                                                 0),
              0u);
}

}  // namespace
