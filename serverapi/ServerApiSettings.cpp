#include "ServerApiSettings.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>

#include "RelayUrl.h"
#include "logger.h"

namespace {

const char* const kTag = "serverApiSettings";

// The relay URLs of one "StunServers" entry: "urls" a string or an array of strings.
QStringList relayUrlsOf(const QJsonValue& entry) {
    const QJsonValue urls = entry.toObject().value("urls");
    QStringList all;
    if (urls.isArray()) {
        for (const QJsonValue& url : urls.toArray()) {
            all << url.toString();
        }
    } else {
        all << urls.toString();
    }
    static const QRegularExpression relayScheme(QStringLiteral("^turns?:"),
                                                QRegularExpression::CaseInsensitiveOption);
    return all.filter(relayScheme);
}

}  // namespace

ServerApiSettings::ServerApiSettings(QObject* parent, const QString& baseUrl)
    : ServerApi(parent, baseUrl) {}

void ServerApiSettings::setSettingsApiPath(bool withApiPrefix) {
    settingsPathFormat =
        withApiPrefix ? QStringLiteral("/api/%1/settings") : QStringLiteral("/%1/settings");
}

QJsonDocument ServerApiSettings::settings() {
    return makeApiRequestSync(settingsPathFormat.arg(sessionNumber));
}

bool ServerApiSettings::mouseCursor() {
    return boolSetting(QStringLiteral("WebRTCMouseCursor"), true);
}

bool ServerApiSettings::boolSetting(const QString& key, bool defaultValue) {
    const char* defaultText = defaultValue ? "true" : "false";
    const QJsonDocument doc = settings();
    if (doc.isNull()) {
        cli_log(LL_ERROR, "%s: settings API return invalid JSON, using default value \"%s\"\n",
                kTag, defaultText);
        return defaultValue;
    }
    const QJsonValue value = doc.object().value(key);
    if (value.isUndefined()) {
        cli_log(LL_WARNING, "%s: %s value can't be read, using default value \"%s\"\n", kTag,
                key.toUtf8().constData(), defaultText);
        return defaultValue;
    }
    return value.toBool(defaultValue);
}

QString ServerApiSettings::textSetting(const QString& key, const QString& defaultValue) {
    const QByteArray defaultText = defaultValue.toUtf8();
    const QJsonDocument doc = settings();
    if (doc.isNull()) {
        cli_log(LL_ERROR, "%s: settings API return invalid JSON, using default value \"%s\"\n",
                kTag, defaultText.constData());
        return defaultValue;
    }
    const QJsonValue value = doc.object().value(key);
    if (value.isUndefined()) {
        cli_log(LL_WARNING, "%s: %s value can't be read, using default value \"%s\"\n", kTag,
                key.toUtf8().constData(), defaultText.constData());
        return defaultValue;
    }
    return value.toString();
}

QStringList ServerApiSettings::stunServers() {
    const QJsonDocument doc = settings();
    if (doc.isNull()) {
        cli_log(LL_ERROR, "%s: settings API return invalid JSON\n", kTag);
        return {};
    }
    const QJsonArray servers = doc.object().value("StunServers").toArray();
    if (servers.isEmpty()) {
        cli_log(LL_ERROR, "%s: stunServers array is invalid\n", kTag);
        return {};
    }

    QStringList urls;
    for (int i = 0; i < servers.size(); ++i) {
        if (!relayUrlsOf(servers.at(i)).isEmpty()) {
            continue;
        }
        QString url = servers.at(i).toObject().value("urls").toString();
        if (url.isEmpty()) {
            cli_log(LL_ERROR, "%s: STUN URL #%d is invalid\n", kTag, i);
            continue;
        }
        if (!validateStunUrl(url)) {
            cli_log(LL_ERROR, "%s: STUN URL #%d isn't match regex\n", kTag, i);
            continue;
        }
        if (url.midRef(5, 2) != QLatin1String("//")) {
            url.insert(5, QLatin1String("//"));
        }
        urls.append(url);
    }
    return urls;
}

std::vector<std::string> ServerApiSettings::relayServers() {
    const QJsonArray servers = settings().object().value("StunServers").toArray();
    std::vector<std::string> relays;
    for (int i = 0; i < servers.size(); ++i) {
        const QJsonObject entry = servers.at(i).toObject();
        for (const QString& url : relayUrlsOf(entry)) {
            const char* why = nullptr;
            const auto relay = parseRelayUrl(url, entry.value("username").toString(),
                                             entry.value("credential").toString(), &why);
            if (!relay) {
                cli_log(LL_ERROR, "%s: relay #%d (%s) is skipped: %s\n", kTag, i,
                        maskedUrl(url).toUtf8().constData(), why);
                continue;
            }
            relays.push_back(relayUri(*relay));
            cli_log(LL_INFO, "%s: relay #%d: %s\n", kTag, i,
                    maskedUrl(QString::fromStdString(relays.back())).toUtf8().constData());
        }
    }
    return relays;
}

std::optional<int> ServerApiSettings::sessionNumberOf(const QString& sessionId) {
    static const QRegularExpression plainNumber(QStringLiteral("^(0|[1-9][0-9]*)$"));
    bool inRange = false;
    const int number = sessionId.toInt(&inRange, 10);
    if (!plainNumber.match(sessionId).hasMatch() || !inRange) {
        return std::nullopt;
    }
    return number;
}

bool ServerApiSettings::validateStunUrl(const QString& url) {
    static const QString uint16 = QStringLiteral(
        "(6553[0-5]|655[0-2][0-9]|65[0-4][0-9]{2}|6[0-4][0-9]{3}|[1-5][0-9]{4}|[1-9][0-9]{1,3}|[0-"
        "9])");
    static const QString uint8 =
        QStringLiteral("([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])");
    static const QString domain =
        QStringLiteral("[a-zA-Z0-9][a-zA-Z0-9_-]*\\.([a-zA-Z0-9][a-zA-Z0-9_-]*\\.)*[a-zA-Z]{2,5}");
    static const QString ipv4 = QStringLiteral("(%1\\.){3}%1").arg(uint8);
    static const QString hostServer = QStringLiteral("(%1)|(%2)").arg(ipv4, domain);
    static const QString stunUrlRegEx =
        QStringLiteral("^(stun:)(%1)(:%2)?$").arg(hostServer, uint16);
    static const QRegularExpression regEx(stunUrlRegEx);
    return regEx.match(url).hasMatch();
}
