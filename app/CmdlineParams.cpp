#include "CmdlineParams.h"

#include <glib.h>
#include <gst/gst.h>

#include <QByteArray>
#include <QString>

#include "RelayUrl.h"
#include "logger.h"

namespace {

// Values as the option parser leaves them: absent strings stay null.
struct OptionValues {
    gchar* sessionId = nullptr;
    gchar* serverUrl = nullptr;
    gint timeout = 0;
    gchar* videoCodec = nullptr;
    gchar* audioCodec = nullptr;
    gchar* stunUrl = nullptr;
    gint micVolume = -1;
    gboolean disableSsl = FALSE;
    gboolean printVersion = FALSE;
    gboolean debug = FALSE;

    OptionValues() = default;
    OptionValues(const OptionValues&) = delete;
    OptionValues& operator=(const OptionValues&) = delete;
    ~OptionValues() {
        g_free(sessionId);
        g_free(serverUrl);
        g_free(videoCodec);
        g_free(audioCodec);
        g_free(stunUrl);
    }
};

// The session's environment is UTF-8 text; its bytes are kept as they are.
std::string fromEnv(const char* name) {
    return qgetenv(name).toStdString();
}

// Option if given, else the variable if set (even empty), else the default.
std::string pick(const gchar* option, const char* variable, const char* fallback) {
    if (option) {
        return option;
    }
    if (qEnvironmentVariableIsSet(variable)) {
        return fromEnv(variable);
    }
    return fallback;
}

}  // namespace

bool parseCmdlineParams(int& argc, char** argv, GlobalSettings& settings) {
    OptionValues v;
    const GOptionEntry entries[] = {
        {sessionIdLabel, 0, 0, G_OPTION_ARG_STRING, &v.sessionId,
         "String ID of the peer to connect to", "ID"},
        {serverUrlLabel, 0, 0, G_OPTION_ARG_STRING, &v.serverUrl, "Signalling server to connect to",
         "URL"},
        {tmoLabel, 0, 0, G_OPTION_ARG_INT, &v.timeout, "Connection timeout", "TO"},
        {videoCodecLabel, 0, 0, G_OPTION_ARG_STRING, &v.videoCodec,
         "Video codec to be used during the session", "VC"},
        {audioCodecLabel, 0, 0, G_OPTION_ARG_STRING, &v.audioCodec,
         "Audio codec to be used during the session", "AC"},
        {stunUrlLabel, 0, 0, G_OPTION_ARG_STRING, &v.stunUrl, "STUN server to be used", "STUN"},
        {micVolumeLabel, 0, 0, G_OPTION_ARG_INT, &v.micVolume, "Microphone volume to be used",
         "VOL"},
        {disableSslLabel, 0, 0, G_OPTION_ARG_NONE, &v.disableSsl, "Disable certificate check",
         nullptr},
        {"version", 'v', 0, G_OPTION_ARG_NONE, &v.printVersion, "Print application version",
         nullptr},
        {"debug", 'd', 0, G_OPTION_ARG_NONE, &v.debug, "Print debug messages", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };

    GOptionContext* context = g_option_context_new("[URL] - screen video sharing via webrtc");
    g_option_context_add_main_entries(context, entries, nullptr);
    g_option_context_add_group(context, gst_init_get_option_group());
    GError* error = nullptr;
    const gboolean parsed = g_option_context_parse(context, &argc, &argv, &error);
    g_option_context_free(context);
    if (!parsed) {
        cli_log(LL_ERROR, "Error on initializing: %s\n", error ? error->message : "unknown error");
        g_clear_error(&error);
        return false;
    }

    ConnectionParams& params = settings.connectionParams;

    params.sessionId = pick(v.sessionId, "KVNO_SESSION_ID", "0");
    params.serverUrl = pick(v.serverUrl, "KVNO_VDI_URL", kDefaultServerUrl);

    if (v.timeout != 0) {
        params.timeout = v.timeout;
    } else {
        bool ok = false;
        const int fromVariable = qgetenv("KVNO_TIMEOUT").toInt(&ok, 10);
        params.timeout = ok ? fromVariable : 60;
    }

    params.videoCodec = pick(v.videoCodec, "KVNO_VIDEO_CODEC", vcVp8);
    params.audioCodec = pick(v.audioCodec, "KVNO_AUDIO_CODEC", acOpus);

    if (v.stunUrl) {
        params.stunUrl = v.stunUrl;
    } else if (!qEnvironmentVariableIsEmpty("KVNO_STUN_URL")) {
        params.stunUrl = fromEnv("KVNO_STUN_URL");
    } else {
        params.stunUrl = kDefaultStunUrl;
    }

    params.turnUrl.clear();
    if (!qEnvironmentVariableIsEmpty("KVNO_TURN_URL")) {
        const char* why = nullptr;
        const auto relay = parseRelayUri(qEnvironmentVariable("KVNO_TURN_URL"), &why);
        if (relay) {
            params.turnUrl = relayUri(*relay);
        } else {
            // The value itself may hold a password.
            cli_log(LL_WARNING, "KVNO_TURN_URL is ignored: %s\n", why);
        }
    }

    params.micVolume = v.micVolume >= 0 ? v.micVolume : 100;
    params.disableSsl = v.disableSsl;
    settings.printVersion = v.printVersion;
    settings.debug = false;
    settings.debug = v.debug || !qEnvironmentVariableIsEmpty("KVNO_DEBUG");
    settings.configuredServerUrl = params.serverUrl;

    if (argc > 1) {
        // The link comes last so that its server and session win over options and environment.
        if (!parseFullUrl(argv[1], settings)) {
            return false;
        }
        settings.fromLink = true;
    }
    return true;
}

bool parseFullUrl(const char* url, GlobalSettings& settings) {
    QString text = QString::fromUtf8(url ? url : "");
    bool known = false;
    for (const char* scheme : {"kvlo", "kvlos", "http", "https"}) {
        if (text.contains(QLatin1String(scheme))) {
            known = true;
            break;
        }
    }
    if (!known) {
        cli_log(LL_CRITICAL, "The handler for %s schema is not implemented\n",
                text.toUtf8().constData());
        return false;
    }

    text.replace(QStringLiteral("kvlo://"), QStringLiteral("http://"));
    text.replace(QStringLiteral("kvlos://"), QStringLiteral("https://"));

    ConnectionParams& params = settings.connectionParams;
    const int slash = text.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) {
        params.serverUrl = params.sessionId = text.toUtf8().toStdString();
    } else {
        params.serverUrl = text.left(slash).toUtf8().toStdString();
        params.sessionId = text.mid(slash + 1).toUtf8().toStdString();
    }
    return true;
}
