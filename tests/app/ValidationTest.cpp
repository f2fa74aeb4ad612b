#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Validation.h"

namespace {

ConnectionParams validParams() {
    ConnectionParams p;
    p.sessionId = "ab12";
    p.serverUrl = "https://assistant.example.org/assistant";
    p.timeout = 60;
    p.videoCodec = "VP8";
    p.audioCodec = "OPUS";
    p.stunUrl = "stun://stun.example.org:19302";
    p.micVolume = 100;
    return p;
}

struct Case {
    const char* what;
    std::function<void(ConnectionParams&)> change;
    bool valid;
};

class ValidateConnectionParams : public ::testing::TestWithParam<Case> {};

TEST_P(ValidateConnectionParams, AcceptsAndRejectsAtTheEdges) {
    const Case& c = GetParam();
    GlobalSettings& settings = GlobalSettings::instance();
    settings.connectionParams = validParams();
    c.change(settings.connectionParams);
    const ConnectionParams before = settings.connectionParams;
    EXPECT_EQ(validateConnectionParams(settings), c.valid) << c.what;
    EXPECT_EQ(settings.connectionParams.sessionId, before.sessionId);
    EXPECT_EQ(settings.connectionParams.serverUrl, before.serverUrl);
}

auto sid(const char* v) {
    return [v](ConnectionParams& p) { p.sessionId = v; };
}
auto url(const char* v) {
    return [v](ConnectionParams& p) { p.serverUrl = v; };
}
auto stun(const char* v) {
    return [v](ConnectionParams& p) { p.stunUrl = v; };
}
auto tmo(int v) {
    return [v](ConnectionParams& p) { p.timeout = v; };
}
auto vol(int v) {
    return [v](ConnectionParams& p) { p.micVolume = v; };
}
auto vc(const char* v) {
    return [v](ConnectionParams& p) { p.videoCodec = v; };
}
auto ac(const char* v) {
    return [v](ConnectionParams& p) { p.audioCodec = v; };
}

INSTANTIATE_TEST_SUITE_P(
    SessionId, ValidateConnectionParams,
    ::testing::Values(Case{"the reference set", [](ConnectionParams&) {}, true},
                      Case{"empty", sid(""), false}, Case{"leading underscore", sid("_a"), false},
                      Case{"leading dash", sid("-a"), false},
                      Case{"inner underscore and dash", sid("a_b-c9"), true},
                      Case{"single digit", sid("0"), true}, Case{"blank inside", sid("a b"), false},
                      Case{"trailing line feed", sid("abc\n"), false},
                      Case{"non-ASCII letter", sid("\xc3\xa9t\xc3\xa9"), false}));

INSTANTIATE_TEST_SUITE_P(
    ServerUrl, ValidateConnectionParams,
    ::testing::Values(Case{"wss", url("wss://a.example.org"), true},
                      Case{"http", url("http://a.example.org"), true},
                      Case{"ws", url("ws://a.example.org"), false},
                      Case{"upper-case scheme", url("HTTPS://a.example.org"), false},
                      Case{"single label host", url("https://localhost"), false},
                      Case{"two-letter last label", url("https://a.io"), true},
                      Case{"five-letter last label", url("https://a.local"), true},
                      Case{"six-letter last label", url("https://a.abcdef"), false},
                      Case{"digit in last label", url("https://a.b2"), false},
                      Case{"IPv4", url("http://127.0.0.1"), true},
                      Case{"octet 255", url("http://255.255.255.255"), true},
                      Case{"octet 256", url("http://256.0.0.1"), false},
                      Case{"octet with leading zero", url("http://10.01.0.1"), false},
                      Case{"three octets", url("http://10.0.1"), false},
                      Case{"port 0", url("https://a.example.org:0"), true},
                      Case{"port 65535", url("https://a.example.org:65535"), true},
                      Case{"port 65536", url("https://a.example.org:65536"), false},
                      Case{"port with leading zero", url("https://a.example.org:08080"), false},
                      Case{"empty port", url("https://a.example.org:"), false},
                      Case{"path of one character", url("https://a.example.org/x"), true},
                      Case{"bare trailing slash", url("https://a.example.org/"), false},
                      Case{"port and path", url("https://10.0.0.1:8443/assistant"), true},
                      Case{"user info", url("https://u@a.example.org"), false},
                      Case{"trailing line feed", url("https://a.example.org\n"), false},
                      Case{"empty", url(""), false}));

INSTANTIATE_TEST_SUITE_P(
    Ranges, ValidateConnectionParams,
    ::testing::Values(Case{"timeout 0", tmo(0), true}, Case{"timeout 255", tmo(255), true},
                      Case{"timeout 256", tmo(256), false}, Case{"timeout -1", tmo(-1), false},
                      Case{"volume 0", vol(0), true}, Case{"volume 100", vol(100), true},
                      Case{"volume 101", vol(101), false}, Case{"volume -1", vol(-1), false}));

INSTANTIATE_TEST_SUITE_P(Codecs, ValidateConnectionParams,
                         ::testing::Values(Case{"h264", vc("h264"), true},
                                           Case{"lower-case vp8", vc("vp8"), false},
                                           Case{"upper-case H264", vc("H264"), false},
                                           Case{"G711", ac("G711"), true},
                                           Case{"lower-case opus", ac("opus"), false},
                                           Case{"lower-case g711", ac("g711"), false},
                                           Case{"empty audio codec", ac(""), false}));

INSTANTIATE_TEST_SUITE_P(
    StunUrl, ValidateConnectionParams,
    ::testing::Values(Case{"IPv4 without port", stun("stun://10.0.0.1"), true},
                      Case{"the server's form", stun("stun:stun.example.org:19302"), false},
                      Case{"with a path", stun("stun://stun.example.org:19302/x"), false},
                      Case{"turn scheme", stun("turn://stun.example.org"), false},
                      Case{"port 65536", stun("stun://stun.example.org:65536"), false},
                      Case{"empty", stun(""), false}));

// Only the first failure is reported: later fields are never looked at.
TEST(ValidateConnectionParamsOrder, StopsAtTheFirstBadValue) {
    testing::internal::CaptureStdout();
    GlobalSettings& settings = GlobalSettings::instance();
    settings.connectionParams = validParams();
    settings.connectionParams.timeout = 999;
    settings.connectionParams.videoCodec = "vp9";
    EXPECT_FALSE(validateConnectionParams(settings));
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        out.find("Error: timeout validation failed. The value 999 is not in the range (0 -  255)"),
        std::string::npos)
        << out;
    EXPECT_EQ(out.find("video-codec"), std::string::npos) << out;
}

TEST(ValidateParamRegEx, InvalidPatternNeverMatchesAndIsReported) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(validateParamRegEx("abc", QStringLiteral("probe"), QStringLiteral("(abc")));
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error on regular expression creation, param=probe"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Error: probe validation failed"), std::string::npos) << out;
}

TEST(ValidateParamRegEx, PatternIsSearchedUnlessAnchored) {
    EXPECT_TRUE(validateParamRegEx("xxabcxx", QStringLiteral("p"), QStringLiteral("abc")));
    EXPECT_FALSE(validateParamRegEx("xxabcxx", QStringLiteral("p"), QStringLiteral("^abc$")));
}

}  // namespace
