// The validation of the connection parameters before a connection attempt.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "LogCapture.h"
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

void set(ConnectionParams& p, const std::string& field, const std::string& value) {
    const std::map<std::string, std::string*> text = {{"session-id", &p.sessionId},
                                                      {"server-url", &p.serverUrl},
                                                      {"video-codec", &p.videoCodec},
                                                      {"audio-codec", &p.audioCodec},
                                                      {"stun-url", &p.stunUrl}};
    if (text.count(field) != 0) {
        *text.at(field) = value;
    } else {
        (field == "timeout" ? p.timeout : p.micVolume) = std::stoi(value);
    }
}

// Each field alone changed from a valid set: the values on both sides of every edge. A final line
// feed must not pass a "$"-anchored pattern.
TEST(Validation, AcceptsAndRejectsAtTheEdges) {
    const struct {
        const char* field;
        std::vector<const char*> valid;
        std::vector<const char*> invalid;
    } rows[] = {
        {"session-id",
         {"ab12", "a_b-c9", "0"},
         {"", "_a", "-a", "a b", "abc\n", "\xc3\xa9t\xc3\xa9"}},
        {"server-url",
         {"wss://a.example.org", "http://a.example.org", "https://a.io", "https://a.local",
          "http://255.255.255.255", "https://a.example.org:0", "https://a.example.org:65535",
          "https://a.example.org/x", "https://10.0.0.1:8443/assistant"},
         {"ws://a.example.org", "HTTPS://a.example.org", "https://localhost", "https://a.abcdef",
          "https://a.b2", "http://256.0.0.1", "http://10.01.0.1", "http://10.0.1",
          "https://a.example.org:65536", "https://a.example.org:08080", "https://a.example.org:",
          "https://a.example.org/", "https://u@a.example.org", "https://a.example.org\n", ""}},
        {"timeout", {"0", "255"}, {"256", "-1"}},
        {"mic-volume", {"0", "100"}, {"101", "-1"}},
        {"video-codec", {"VP8", "h264"}, {"vp8", "H264"}},
        {"audio-codec", {"OPUS", "G711"}, {"opus", "g711", ""}},
        {"stun-url",
         {"stun://10.0.0.1", "stun://stun.example.org:19302"},
         {"stun:stun.example.org:19302", "stun://stun.example.org:19302/x",
          "turn://stun.example.org", "stun://stun.example.org:65536", "stun://stun.example.org\n",
          ""}},
    };
    LogCapture::initLogger();  // the refusals are logged there, not on the test's output
    GlobalSettings& settings = GlobalSettings::instance();
    for (const auto& row : rows) {
        for (const bool valid : {true, false}) {
            for (const char* value : valid ? row.valid : row.invalid) {
                settings.connectionParams = validParams();
                set(settings.connectionParams, row.field, value);
                EXPECT_EQ(validateConnectionParams(settings), valid) << row.field << " " << value;
            }
        }
    }
}

}  // namespace
