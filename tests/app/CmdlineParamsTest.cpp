// Command line, environment and links into the settings: one table of what each source gives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "CmdlineParams.h"
#include "TestEnv.h"

namespace {

const char* const kVariables[] = {"KVNO_SESSION_ID",  "KVNO_VDI_URL",     "KVNO_TIMEOUT",
                                  "KVNO_VIDEO_CODEC", "KVNO_AUDIO_CODEC", "KVNO_STUN_URL",
                                  "KVNO_DEBUG"};

// One setting after parsing, by its option name.
std::string field(const std::string& name) {
    const GlobalSettings& s = GlobalSettings::instance();
    const ConnectionParams& p = s.connectionParams;
    const std::map<std::string, std::string> all = {
        {"session-id", p.sessionId},
        {"server-url", p.serverUrl},
        {"timeout", std::to_string(p.timeout)},
        {"video-codec", p.videoCodec},
        {"audio-codec", p.audioCodec},
        {"stun-url", p.stunUrl},
        {"mic-volume", std::to_string(p.micVolume)},
        {"force", std::to_string(p.disableSsl)},
        {"from-link", std::to_string(s.fromLink)},
        {"debug", std::to_string(s.debug)},
        {"version", std::to_string(s.printVersion)},
        {"configured", s.configuredServerUrl},
    };
    return all.at(name);
}

struct Row {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    const char* field;
    std::string expected;
    bool ok = true;
};

const std::string kDefaultServer = kDefaultServerUrl;
const std::string kDefaultStun = kDefaultStunUrl;
const std::string kLink = "kvlos://host.example.org/assistant/ab12";

// clang-format off
const Row kRows[] = {
    // Option beats environment beats default, each field with its own idea of "given".
    {{"--session-id=opt"}, {{"KVNO_SESSION_ID", "env"}}, "session-id", "opt"},
    {{"--session-id="}, {{"KVNO_SESSION_ID", "env"}}, "session-id", ""},
    {{}, {{"KVNO_SESSION_ID", ""}}, "session-id", ""},
    {{}, {{"KVNO_SESSION_ID", "s\xc3\xa9" "ance"}}, "session-id", "s\xc3\xa9" "ance"},
    {{"--server-url", "https://o.example.org/a"}, {{"KVNO_VDI_URL", "https://e.example.org/a"}}, "server-url", "https://o.example.org/a"},
    {{}, {{"KVNO_VDI_URL", "https://e.example.org/a"}}, "server-url", "https://e.example.org/a"},
    {{"--video-codec=h264"}, {{"KVNO_VIDEO_CODEC", "VP8"}}, "video-codec", "h264"},
    {{}, {{"KVNO_VIDEO_CODEC", "h264"}}, "video-codec", "h264"},
    {{"--audio-codec=G711"}, {{"KVNO_AUDIO_CODEC", "OPUS"}}, "audio-codec", "G711"},
    {{}, {{"KVNO_AUDIO_CODEC", "G711"}}, "audio-codec", "G711"},
    {{"--stun-url=stun://10.0.0.1:3478"}, {{"KVNO_STUN_URL", "stun://e.example.org:1"}}, "stun-url", "stun://10.0.0.1:3478"},
    {{}, {{"KVNO_STUN_URL", "stun://e.example.org:1"}}, "stun-url", "stun://e.example.org:1"},
    {{}, {{"KVNO_STUN_URL", ""}}, "stun-url", kDefaultStun},
    {{"--timeout=30"}, {{"KVNO_TIMEOUT", "40"}}, "timeout", "30"},
    {{"--timeout=0"}, {{"KVNO_TIMEOUT", "40"}}, "timeout", "40"},
    {{"--timeout=0"}, {}, "timeout", "60"},
    {{}, {{"KVNO_TIMEOUT", "forty"}}, "timeout", "60"},
    {{"--timeout=-1"}, {}, "timeout", "-1"},  // left for validation to refuse
    {{"--mic-volume=-5"}, {}, "mic-volume", "100"}, {{"--mic-volume=0"}, {}, "mic-volume", "0"},
    {{"--mic-volume", "55"}, {}, "mic-volume", "55"},
    {{"--force"}, {}, "force", "1"}, {{"-v"}, {}, "version", "1"}, {{"-d"}, {}, "debug", "1"},
    {{}, {{"KVNO_DEBUG", "0"}}, "debug", "1"}, {{}, {{"KVNO_DEBUG", ""}}, "debug", "0"},
    // A link replaces server and session only; the server it replaced stays known.
    {{"--session-id=opt", "--server-url=https://o.example.org/a", kLink}, {}, "server-url", "https://host.example.org/assistant"},
    {{"--session-id=opt", kLink}, {}, "session-id", "ab12"},
    {{"--video-codec=h264", kLink}, {}, "video-codec", "h264"},
    {{kLink}, {{"KVNO_TIMEOUT", "40"}}, "timeout", "40"},
    {{kLink}, {}, "from-link", "1"},
    {{"--server-url=https://o.example.org/a", kLink}, {}, "configured", "https://o.example.org/a"},
    {{}, {{"KVNO_VDI_URL", "https://e.example.org/a"}}, "configured", "https://e.example.org/a"},
    // A link splits at its last "/"; kvlo means http, kvlos https; only the first positional counts.
    {{"kvlo://HOST:8443/a/b/c/ID"}, {}, "server-url", "http://HOST:8443/a/b/c"},
    {{"kvlos://HOST/a/b/c/ID"}, {}, "session-id", "ID"},
    {{"https://HOST/assistant/"}, {}, "session-id", ""},
    {{"ftp://HOST/http/x"}, {}, "server-url", "ftp://HOST/http"},
    {{"--debug", "kvlo://a.example.org/x/1", "kvlo://b.example.org/y/2"}, {}, "server-url", "http://a.example.org/x"},
    // Bad input: refused, the settings left as a fresh record (or as the options made them).
    {{"--timeout=abc"}, {{"KVNO_SESSION_ID", "env"}}, "session-id", "", false},
    {{"--mic-volume=loud"}, {{"KVNO_SESSION_ID", "env"}}, "session-id", "", false},
    {{"--no-such-option"}, {{"KVNO_SESSION_ID", "env"}}, "session-id", "", false},
    {{"--session-id"}, {{"KVNO_SESSION_ID", "env"}}, "session-id", "", false},
    {{"--session-id=opt", "ftp://host.example.org/a/b"}, {}, "session-id", "opt", false},
    {{"ftp://host.example.org/a/b"}, {}, "from-link", "0", false},
    {{"KVLOS://HOST/a/b"}, {}, "server-url", kDefaultServer, false},
};
// clang-format on

TEST(CmdlineParams, EachSourceInItsPlace) {
    testenv::initGStreamer();
    for (const Row& row : kRows) {
        for (const char* name : kVariables) {
            unsetenv(name);
        }
        for (const auto& [name, value] : row.env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        GlobalSettings& settings = GlobalSettings::instance();
        settings.connectionParams = ConnectionParams{};
        settings.fromLink = settings.printVersion = settings.debug = false;
        settings.configuredServerUrl.clear();
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "kelvano-assistant");
        std::vector<char*> argv;
        std::string what = row.field;
        for (std::string& a : args) {
            argv.push_back(a.data());
            what += " " + a;
        }
        argv.push_back(nullptr);
        int argc = static_cast<int>(args.size());
        EXPECT_EQ(parseCmdlineParams(argc, argv.data(), settings), row.ok) << what;
        EXPECT_EQ(field(row.field), row.expected) << what;
    }
    for (const char* name : kVariables) {
        unsetenv(name);
    }
}

}  // namespace
