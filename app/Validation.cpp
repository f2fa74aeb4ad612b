#include "Validation.h"

#include <QRegularExpression>
#include <cstdint>

#include "logger.h"

namespace {

const QString& sessionIdRegEx() {
    static const QString re = QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]*$");
    return re;
}

const QString& URILocationRegEx() {
    static const QString re = QStringLiteral("(/.+)");
    return re;
}

const QString& domainRegEx() {
    static const QString re =
        QStringLiteral("[a-zA-Z0-9][a-zA-Z0-9_-]*\\.([a-zA-Z0-9][a-zA-Z0-9_-]*\\.)*[a-zA-Z]{2,5}");
    return re;
}

const QString& uint16RegEx() {
    static const QString re = QStringLiteral(
        "(6553[0-5]|655[0-2][0-9]|65[0-4][0-9]{2}|6[0-4][0-9]{3}|[1-5][0-9]{4}|[1-9][0-9]{1,3}|[0-"
        "9])");
    return re;
}

const QString& uint8RegEx() {
    static const QString re = QStringLiteral("([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])");
    return re;
}

const QString& ipv4() {
    static const QString re = QStringLiteral("(%1\\.){3}%1").arg(uint8RegEx());
    return re;
}

const QString& hostServerRegEx() {
    static const QString re = QStringLiteral("(%1)|(%2)").arg(ipv4(), domainRegEx());
    return re;
}

const QString& urlServerRegEx() {
    static const QString re = QStringLiteral("^(wss|http|https)://(%1)(:%2)?(%3)?$")
                                  .arg(hostServerRegEx(), uint16RegEx(), URILocationRegEx());
    return re;
}

const QString& stunUrlRegEx() {
    static const QString re =
        QStringLiteral("^(stun://)(%1)(:%2)?$").arg(hostServerRegEx(), uint16RegEx());
    return re;
}

bool validateCodec(const std::string& value, const char* label, const char* first,
                   const char* second) {
    if (value == first || value == second) {
        return true;
    }
    cli_log(LL_ERROR,
            "Error: %s validation failed. The value %s is incorrect. The allowed are: %s, %s\n",
            label, value.c_str(), first, second);
    return false;
}

}  // namespace

bool validateParamRegEx(const std::string& value, const QString& paramName,
                        const QString& pattern) {
    const QRegularExpression re(pattern, QRegularExpression::ExtendedPatternSyntaxOption);
    const QByteArray name = paramName.toUtf8();
    if (!re.isValid()) {
        cli_log(LL_ERROR,
                "Error on regular expression creation, param=%s, result=%s, errorOffset=%d\n",
                name.constData(), re.errorString().toUtf8().constData(), re.patternErrorOffset());
    }
    const QString text = QString::fromUtf8(value.data(), static_cast<int>(value.size()));
    const QRegularExpressionMatch match = re.isValid() ? re.match(text) : QRegularExpressionMatch();
    // "$" also matches before a final line feed; an anchored pattern has to reach the real end,
    // or a value with a trailing line feed would pass into the protocol lines.
    const bool endAnchored = pattern.endsWith(QLatin1Char('$'));
    if (!match.hasMatch() || (endAnchored && match.capturedEnd(0) != text.size())) {
        cli_log(LL_ERROR, "Error: %s validation failed\n", name.constData());
        return false;
    }
    return true;
}

bool validateConnectionParams(const GlobalSettings& settings) {
    const ConnectionParams params = settings.connectionParams;

    if (!validateParamRegEx(params.sessionId, QString::fromLatin1(sessionIdLabel),
                            sessionIdRegEx())) {
        return false;
    }
    if (!validateParamRegEx(params.serverUrl, QString::fromLatin1(serverUrlLabel),
                            urlServerRegEx())) {
        return false;
    }
    if (static_cast<uint32_t>(params.timeout) > 255) {
        cli_log(LL_ERROR,
                "Error: %s validation failed. The value %d is not in the range (%d -  %d)\n",
                tmoLabel, params.timeout, 0, 255);
        return false;
    }
    if (!validateCodec(params.videoCodec, videoCodecLabel, vcVp8, vcH264)) {
        return false;
    }
    if (!validateCodec(params.audioCodec, audioCodecLabel, acOpus, acG711)) {
        return false;
    }
    if (!validateParamRegEx(params.stunUrl, QString::fromLatin1(stunUrlLabel), stunUrlRegEx())) {
        return false;
    }
    if (static_cast<uint32_t>(params.micVolume) > 100) {
        cli_log(LL_ERROR,
                "Error: %s validation failed. The value %d is not in the range (%d - %d)\n",
                micVolumeLabel, params.micVolume, 0, 100);
        return false;
    }
    return true;
}
