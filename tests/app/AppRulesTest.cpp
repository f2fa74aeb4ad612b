// The start-up rules on data: command line and environment, validation, the primary monitor and
// the usable audio devices (the start-up tests run the agent itself).
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "AudioSurvey.h"
#include "CmdlineParams.h"
#include "DisplayProbe.h"
#include "LogCapture.h"
#include "TestEnv.h"
#include "Validation.h"

namespace {

const char* const kVariables[] = {"KVNO_SESSION_ID",  "KVNO_VDI_URL",     "KVNO_TIMEOUT",
                                  "KVNO_VIDEO_CODEC", "KVNO_AUDIO_CODEC", "KVNO_STUN_URL",
                                  "KVNO_DEBUG"};
const std::string kLink = "kvlos://h.org/a/ab12";

// One setting after parsing, by its option name.
std::string field(const std::string& name) {
    const GlobalSettings& s = GlobalSettings::instance();
    const ConnectionParams& p = s.connectionParams;
    return std::map<std::string, std::string>{
        {"session-id", p.sessionId},
        {"server-url", p.serverUrl},
        {"timeout", std::to_string(p.timeout)},
        {"video-codec", p.videoCodec},
        {"stun-url", p.stunUrl},
        {"mic-volume", std::to_string(p.micVolume)},
        {"from-link", std::to_string(s.fromLink)},
        {"debug", std::to_string(s.debug)},
        {"configured", s.configuredServerUrl},
    }
        .at(name);
}

TEST(CmdlineParams, EachSourceInItsPlace) {
    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        const char* field;
        std::string expected;
        bool ok = true;
    } rows[] = {
        // Option beats environment beats default, each field with its own idea of "given".
        {{"--session-id=opt"}, {{"KVNO_SESSION_ID", "env"}}, "session-id", "opt"},
        {{}, {{"KVNO_SESSION_ID", ""}}, "session-id", ""},
        {{"--stun-url=stun://o.org"}, {{"KVNO_STUN_URL", "x"}}, "stun-url", "stun://o.org"},
        {{}, {{"KVNO_STUN_URL", ""}}, "stun-url", kDefaultStunUrl},
        {{"--timeout=0"}, {{"KVNO_TIMEOUT", "40"}}, "timeout", "40"},
        {{}, {{"KVNO_TIMEOUT", "forty"}}, "timeout", "60"},
        {{"--mic-volume=-5"}, {}, "mic-volume", "100"},
        {{"--mic-volume", "0"}, {}, "mic-volume", "0"},
        {{}, {{"KVNO_DEBUG", "0"}}, "debug", "1"},
        {{}, {{"KVNO_DEBUG", ""}}, "debug", "0"},
        // A link replaces server and session only; the server it replaced stays known.
        {{"--server-url=https://o.org", kLink}, {}, "server-url", "https://h.org/a"},
        {{"--session-id=opt", kLink}, {}, "session-id", "ab12"},
        {{"--video-codec=h264", kLink}, {}, "video-codec", "h264"},
        {{kLink}, {}, "from-link", "1"},
        {{"--server-url=https://o.org", kLink}, {}, "configured", "https://o.org"},
        // A link splits at its last "/"; kvlo means http; only the first positional counts.
        {{"kvlo://H:8443/a/b/ID", "kvlo://b.org/y/2"}, {}, "server-url", "http://H:8443/a/b"},
        {{"https://h.org/a/"}, {}, "session-id", ""},
        // Bad input: refused, the settings left as a fresh record (or as the options made them).
        // The last row sets no variable: none is left behind.
        {{"--timeout=abc"}, {{"KVNO_SESSION_ID", "env"}}, "session-id", "", false},
        {{"--session-id=opt", "ftp://h.org/a/b"}, {}, "session-id", "opt", false},
    };
    testenv::initGStreamer();
    GlobalSettings& settings = GlobalSettings::instance();
    for (const auto& row : rows) {
        for (const char* name : kVariables) {
            unsetenv(name);
        }
        for (const auto& [name, value] : row.env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        settings.connectionParams = {};
        settings.fromLink = false;
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "kelvano-assistant");
        std::vector<char*> argv;
        std::string what = row.field;
        for (std::string& a : args) {
            argv.push_back(a.data());
            what += " " + a;
        }
        int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        EXPECT_EQ(parseCmdlineParams(argc, argv.data(), settings), row.ok) << what;
        EXPECT_EQ(field(row.field), row.expected) << what;
    }
}

// Each field alone changed from a valid set: the values on both sides of every edge. A final line
// feed must not pass a "$"-anchored pattern.
TEST(Validation, AcceptsAndRejectsAtTheEdges) {
    using P = ConnectionParams;
    const struct {
        std::string P::*text;
        int P::*number;
        std::vector<const char*> valid, invalid;
    } rows[] = {
        {&P::sessionId, nullptr, {"ab12", "a_b-c9"}, {"", "_a", "a b", "a\n", "\xc3\xa9t\xc3\xa9"}},
        {&P::serverUrl,
         nullptr,
         {"wss://a.org", "http://a.io", "http://255.255.255.255", "https://a.org:0",
          "https://a.org:65535", "https://10.0.0.1:8443/assistant"},
         {"ws://a.org", "HTTPS://a.org", "https://localhost", "https://a.abcdef",
          "http://256.0.0.1", "http://10.01.0.1", "https://a.org:65536", "https://a.org:08080",
          "https://a.org/", "https://u@a.org", "https://a.org\n"}},
        {nullptr, &P::timeout, {"0", "255"}, {"256", "-1"}},
        {nullptr, &P::micVolume, {"0", "100"}, {"101", "-1"}},
        {&P::videoCodec, nullptr, {"VP8", "h264"}, {"vp8", "H264"}},
        {&P::audioCodec, nullptr, {"OPUS", "G711"}, {"opus", ""}},
        {&P::stunUrl,
         nullptr,
         {"stun://10.0.0.1", "stun://a.org:19302"},
         {"stun:a.org", "stun://a.org:1/x", "stun://a.org:65536", "stun://a.org\n"}},
    };
    const P valid{"ab12", "https://a.org/assistant", "VP8", "OPUS", "stun://a.org", 60, 100};
    LogCapture::initLogger();  // the refusals are logged there, not on the test's output
    GlobalSettings& settings = GlobalSettings::instance();
    for (const auto& row : rows) {
        for (const bool accepted : {true, false}) {
            for (const char* value : accepted ? row.valid : row.invalid) {
                settings.connectionParams = valid;
                if (row.text) {
                    settings.connectionParams.*row.text = value;
                } else {
                    settings.connectionParams.*row.number = std::atoi(value);
                }
                EXPECT_EQ(validateConnectionParams(settings), accepted) << value;
            }
        }
    }
}

TEST(DisplayProbe, PicksTheLastCrtcWhoseFirstOutputIsPrimary) {
    const unsigned long primary = 0x42, other = 0x43;
    const struct {
        std::vector<CrtcGeometry> crtcs;
        int found;  // index into crtcs; -1: none
    } rows[] = {
        {{{0, 0, 1280, 720, {primary}}, {0, 0, 1920, 1080, {primary}}}, 1},
        {{{0, 0, 1920, 1080, {other, primary}}}, -1},
        {{{0, 0, 0, 0, {}}, {0, 200, 800, 600, {primary}}}, 1},
        {{}, -1},
    };
    for (const auto& row : rows) {
        const std::optional<ScreenSpecs> got = primaryCrtcGeometry(row.crtcs, primary);
        ASSERT_EQ(got.has_value(), row.found >= 0) << &row - rows;
        if (got) {
            const CrtcGeometry& c = row.crtcs[row.found];
            EXPECT_EQ(std::tie(got->x, got->y, got->width, got->height),
                      std::tie(c.x, c.y, c.width, c.height));
        }
    }
}

TEST(AudioDevices, UsableDeviceRule) {
    const std::pair<AudioDeviceInfo, bool> rows[] = {
        {{"Ghost", "", "", ""}, false},
        {{"Speakers", "wasapi", "", ""}, false},
        {{"Mic", "wasapi", "{0.0.1}", ""}, true},
        {{"DS", "directsound", "", ""}, false},
        {{"DS2", "directsound", "", "drv"}, true},
        {{"Pulse", "pulse", "", ""}, true},
    };
    for (const auto& [device, usable] : rows) {
        EXPECT_EQ(isUsableAudioDevice(device), usable) << device.displayName;
    }
    EXPECT_FALSE(reviewAudioDevices({}));
    EXPECT_TRUE(reviewAudioDevices({rows[0].first, rows[5].first}));
}

}  // namespace
