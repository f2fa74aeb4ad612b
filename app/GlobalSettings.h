// Every run-time parameter of the agent, in one process-wide record.
#pragma once

#include <QVersionNumber>
#include <string>
#include <vector>

inline constexpr const char* sessionIdLabel = "session-id";
inline constexpr const char* serverUrlLabel = "server-url";
inline constexpr const char* tmoLabel = "timeout";
inline constexpr const char* videoCodecLabel = "video-codec";
inline constexpr const char* audioCodecLabel = "audio-codec";
inline constexpr const char* stunUrlLabel = "stun-url";
inline constexpr const char* micVolumeLabel = "mic-volume";
inline constexpr const char* disableSslLabel = "force";
inline constexpr const char* fromLinkLabel = "from-link";

inline constexpr const char* vcVp8 = "VP8";
inline constexpr const char* vcH264 = "h264";
inline constexpr const char* acOpus = "OPUS";
inline constexpr const char* acG711 = "G711";

struct ConnectionParams {
    std::string sessionId;
    std::string serverUrl;
    std::string videoCodec;
    std::string audioCodec;
    std::string stunUrl;
    int timeout = 0;
    int micVolume = 0;
    bool disableSsl = false;  // option "force": accept certificate errors
    // KVNO_TURN_URL in webrtcbin's form: the relay when the server names none. Never an option:
    // other users can read a command line. Initialised, so that aggregates ending before it
    // draw no warning.
    std::string turnUrl{};
};

struct ServerApiParams {
    std::string stunUrl;
    QVersionNumber serverVersion;
    bool showCursor = true;
    bool notifyConnection = true;
    std::string adminName;
    bool enableAudio = true;
    // The server's TURN relays, in webrtcbin's form, all of them used.
    std::vector<std::string> relayUrls;
};

// Written only on the GUI thread; code that needs a stable snapshot copies the records out.
class GlobalSettings {
public:
    static GlobalSettings& instance() {
        static GlobalSettings settings;
        return settings;
    }

    GlobalSettings(const GlobalSettings&) = delete;
    GlobalSettings& operator=(const GlobalSettings&) = delete;

    ConnectionParams connectionParams;
    ServerApiParams serverApiParams;
    bool waylandSession = false;
    bool audioAvailable = true;
    bool fromLink = false;
    bool printVersion = false;
    bool debug = false;
    // The server URL from the option, the environment or the default, before any link replaced
    // it: a link to another server never waives the user's consent.
    std::string configuredServerUrl;

private:
    GlobalSettings() = default;
};
