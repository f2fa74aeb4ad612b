#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "CmdlineParams.h"

namespace {

const char* const kVariables[] = {"KVNO_SESSION_ID",  "KVNO_VDI_URL",     "KVNO_TIMEOUT",
                                  "KVNO_VIDEO_CODEC", "KVNO_AUDIO_CODEC", "KVNO_STUN_URL",
                                  "KVNO_DEBUG"};

struct Outcome {
    bool ok = true;
    ConnectionParams params;
    bool fromLink = false;
    bool printVersion = false;
    bool debug = false;
    std::vector<std::string> remaining;
};

// Runs the parser on a fresh record with exactly the given environment variables.
Outcome run(std::vector<std::string> args, const std::map<std::string, std::string>& env = {}) {
    for (const char* name : kVariables) {
        unsetenv(name);
    }
    for (const auto& [name, value] : env) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    GlobalSettings& settings = GlobalSettings::instance();
    settings.connectionParams = ConnectionParams{};
    settings.fromLink = settings.printVersion = settings.debug = false;
    settings.configuredServerUrl.clear();

    args.insert(args.begin(), "kelvano-assistant");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());

    Outcome out;
    out.ok = parseCmdlineParams(argc, argv.data(), settings);
    out.params = settings.connectionParams;
    out.fromLink = settings.fromLink;
    out.printVersion = settings.printVersion;
    out.debug = settings.debug;
    for (int i = 0; i < argc; ++i) {
        out.remaining.emplace_back(argv[static_cast<size_t>(i)]);
    }
    for (const char* name : kVariables) {
        unsetenv(name);
    }
    return out;
}

class CmdlineParamsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

TEST_F(CmdlineParamsTest, DefaultsWhenNothingIsGiven) {
    const Outcome o = run({});
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.params.sessionId, "0");
    EXPECT_EQ(o.params.serverUrl, kDefaultServerUrl);
    EXPECT_EQ(o.params.timeout, 60);
    EXPECT_EQ(o.params.videoCodec, "VP8");
    EXPECT_EQ(o.params.audioCodec, "OPUS");
    EXPECT_EQ(o.params.stunUrl, kDefaultStunUrl);
    EXPECT_EQ(o.params.micVolume, 100);
    EXPECT_FALSE(o.params.disableSsl);
    EXPECT_FALSE(o.fromLink);
    EXPECT_FALSE(o.printVersion);
    EXPECT_FALSE(o.debug);
    EXPECT_EQ(GlobalSettings::instance().configuredServerUrl, kDefaultServerUrl);
}

// One string field: option beats environment beats default, with the field's own idea of "given".
struct StringCase {
    const char* what;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string ConnectionParams::*field;
    std::string expected;
};

class StringPrecedence : public CmdlineParamsTest,
                         public ::testing::WithParamInterface<StringCase> {};

TEST_P(StringPrecedence, OptionThenEnvironmentThenDefault) {
    const StringCase& c = GetParam();
    const Outcome o = run(c.args, c.env);
    ASSERT_TRUE(o.ok) << c.what;
    EXPECT_EQ(o.params.*(c.field), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, StringPrecedence,
    ::testing::Values(StringCase{"session option beats variable",
                                 {"--session-id=opt"},
                                 {{"KVNO_SESSION_ID", "env"}},
                                 &ConnectionParams::sessionId,
                                 "opt"},
                      StringCase{"empty session option still counts as given",
                                 {"--session-id="},
                                 {{"KVNO_SESSION_ID", "env"}},
                                 &ConnectionParams::sessionId,
                                 ""},
                      StringCase{"session variable",
                                 {},
                                 {{"KVNO_SESSION_ID", "env"}},
                                 &ConnectionParams::sessionId,
                                 "env"},
                      StringCase{"empty session variable is taken",
                                 {},
                                 {{"KVNO_SESSION_ID", ""}},
                                 &ConnectionParams::sessionId,
                                 ""},
                      StringCase{"server option beats variable",
                                 {"--server-url", "https://opt.example.org/a"},
                                 {{"KVNO_VDI_URL", "https://env.example.org/a"}},
                                 &ConnectionParams::serverUrl,
                                 "https://opt.example.org/a"},
                      StringCase{"server variable",
                                 {},
                                 {{"KVNO_VDI_URL", "https://env.example.org/a"}},
                                 &ConnectionParams::serverUrl,
                                 "https://env.example.org/a"},
                      StringCase{"video option",
                                 {"--video-codec=h264"},
                                 {{"KVNO_VIDEO_CODEC", "VP8"}},
                                 &ConnectionParams::videoCodec,
                                 "h264"},
                      StringCase{"video variable",
                                 {},
                                 {{"KVNO_VIDEO_CODEC", "h264"}},
                                 &ConnectionParams::videoCodec,
                                 "h264"},
                      StringCase{"audio option",
                                 {"--audio-codec=G711"},
                                 {{"KVNO_AUDIO_CODEC", "OPUS"}},
                                 &ConnectionParams::audioCodec,
                                 "G711"},
                      StringCase{"audio variable",
                                 {},
                                 {{"KVNO_AUDIO_CODEC", "G711"}},
                                 &ConnectionParams::audioCodec,
                                 "G711"},
                      StringCase{"stun option",
                                 {"--stun-url=stun://10.0.0.1:3478"},
                                 {{"KVNO_STUN_URL", "stun://e.example.org:1"}},
                                 &ConnectionParams::stunUrl,
                                 "stun://10.0.0.1:3478"},
                      StringCase{"stun variable",
                                 {},
                                 {{"KVNO_STUN_URL", "stun://e.example.org:1"}},
                                 &ConnectionParams::stunUrl,
                                 "stun://e.example.org:1"},
                      StringCase{"empty stun variable gives the default",
                                 {},
                                 {{"KVNO_STUN_URL", ""}},
                                 &ConnectionParams::stunUrl,
                                 kDefaultStunUrl},
                      StringCase{"UTF-8 from the environment is kept",
                                 {},
                                 {{"KVNO_SESSION_ID",
                                   "s\xc3\xa9"
                                   "ance"}},
                                 &ConnectionParams::sessionId,
                                 "s\xc3\xa9"
                                 "ance"}));

struct NumberCase {
    const char* what;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int timeout;
    int micVolume;
};

class NumberPrecedence : public CmdlineParamsTest,
                         public ::testing::WithParamInterface<NumberCase> {};

TEST_P(NumberPrecedence, TimeoutAndVolume) {
    const NumberCase& c = GetParam();
    const Outcome o = run(c.args, c.env);
    ASSERT_TRUE(o.ok) << c.what;
    EXPECT_EQ(o.params.timeout, c.timeout) << c.what;
    EXPECT_EQ(o.params.micVolume, c.micVolume) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, NumberPrecedence,
    ::testing::Values(
        NumberCase{
            "timeout option beats variable", {"--timeout=30"}, {{"KVNO_TIMEOUT", "40"}}, 30, 100},
        NumberCase{"timeout 0 falls through to the variable",
                   {"--timeout=0"},
                   {{"KVNO_TIMEOUT", "40"}},
                   40,
                   100},
        NumberCase{"timeout 0 and no variable gives 60", {"--timeout=0"}, {}, 60, 100},
        NumberCase{"non-numeric variable gives 60", {}, {{"KVNO_TIMEOUT", "forty"}}, 60, 100},
        NumberCase{"negative timeout option is kept for validation", {"--timeout=-1"}, {}, -1, 100},
        NumberCase{"negative volume gives 100", {"--mic-volume=-5"}, {}, 60, 100},
        NumberCase{"volume 0 is taken", {"--mic-volume=0"}, {}, 60, 0},
        NumberCase{"volume option", {"--mic-volume", "55"}, {}, 60, 55}));

TEST_F(CmdlineParamsTest, FlagsFromOptionsAndDebugFromAnyNonEmptyVariable) {
    Outcome o = run({"--force", "-v", "-d"});
    ASSERT_TRUE(o.ok);
    EXPECT_TRUE(o.params.disableSsl);
    EXPECT_TRUE(o.printVersion);
    EXPECT_TRUE(o.debug);

    EXPECT_TRUE(run({}, {{"KVNO_DEBUG", "0"}}).debug);
    EXPECT_FALSE(run({}, {{"KVNO_DEBUG", ""}}).debug);
    // A previous run's flag does not linger.
    GlobalSettings::instance().debug = true;
    EXPECT_FALSE(run({}).debug);
}

TEST_F(CmdlineParamsTest, OptionErrorsFailWithoutTouchingTheSettings) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--timeout=abc"},
                                                 {"--mic-volume=loud"},
                                                 {"--no-such-option"},
                                                 {"--session-id"}}) {
        const Outcome o = run(args, {{"KVNO_SESSION_ID", "env"}});
        EXPECT_FALSE(o.ok) << args[0];
        EXPECT_EQ(o.params.sessionId, "") << args[0];
    }
}

TEST_F(CmdlineParamsTest, LinkOverridesServerAndSessionButNotTheRest) {
    const Outcome o =
        run({"--session-id=opt", "--server-url=https://opt.example.org/a", "--video-codec=h264",
             "--timeout=30", "--force", "kvlos://host.example.org/assistant/ab12"},
            {{"KVNO_STUN_URL", "stun://e.example.org:1"}});
    ASSERT_TRUE(o.ok);
    EXPECT_TRUE(o.fromLink);
    EXPECT_EQ(o.params.serverUrl, "https://host.example.org/assistant");
    EXPECT_EQ(o.params.sessionId, "ab12");
    EXPECT_EQ(o.params.videoCodec, "h264");
    EXPECT_EQ(o.params.timeout, 30);
    EXPECT_EQ(o.params.stunUrl, "stun://e.example.org:1");
    EXPECT_TRUE(o.params.disableSsl);
    // The server chosen before the link stays known, to judge the link by.
    EXPECT_EQ(GlobalSettings::instance().configuredServerUrl, "https://opt.example.org/a");
}

TEST_F(CmdlineParamsTest, OptionsAreRemovedAndOnlyTheFirstPositionalIsALink) {
    const Outcome o = run({"--debug", "kvlo://a.example.org/x/1", "kvlo://b.example.org/y/2"});
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.params.serverUrl, "http://a.example.org/x");
    EXPECT_EQ(o.params.sessionId, "1");
    EXPECT_EQ(o.remaining,
              (std::vector<std::string>{"kelvano-assistant", "kvlo://a.example.org/x/1",
                                        "kvlo://b.example.org/y/2"}));
}

TEST_F(CmdlineParamsTest, UnknownSchemeFailsAndKeepsWhatOptionsGave) {
    const Outcome o = run({"--session-id=opt", "ftp://host.example.org/a/b"});
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.fromLink);
    EXPECT_EQ(o.params.sessionId, "opt");
    EXPECT_EQ(o.params.serverUrl, kDefaultServerUrl);
}

struct UrlCase {
    const char* url;
    bool ok;
    const char* serverUrl;
    const char* sessionId;
};

class FullUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(FullUrl, SplitsAtTheLastSlash) {
    const UrlCase& c = GetParam();
    GlobalSettings& settings = GlobalSettings::instance();
    settings.connectionParams.serverUrl = "before";
    settings.connectionParams.sessionId = "before";
    EXPECT_EQ(parseFullUrl(c.url, settings), c.ok) << c.url;
    EXPECT_EQ(settings.connectionParams.serverUrl, c.serverUrl) << c.url;
    EXPECT_EQ(settings.connectionParams.sessionId, c.sessionId) << c.url;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FullUrl,
    ::testing::Values(
        UrlCase{"kvlos://HOST/assistant/ab12", true, "https://HOST/assistant", "ab12"},
        UrlCase{"kvlo://HOST/assistant/ab12", true, "http://HOST/assistant", "ab12"},
        UrlCase{"https://HOST/assistant/ab12", true, "https://HOST/assistant", "ab12"},
        UrlCase{"http://HOST/assistant/", true, "http://HOST/assistant", ""},
        UrlCase{"kvlos://HOST:8443/a/b/c/ID", true, "https://HOST:8443/a/b/c", "ID"},
        UrlCase{"ftp://HOST/http/x", true, "ftp://HOST/http", "x"},
        UrlCase{"kvlos:HOST", true, "kvlos:HOST", "kvlos:HOST"},
        UrlCase{"httpHOST", true, "httpHOST", "httpHOST"},
        UrlCase{"ftp://HOST/a/b", false, "before", "before"},
        UrlCase{"", false, "before", "before"},
        UrlCase{"KVLOS://HOST/a/b", false, "before", "before"}));

}  // namespace
