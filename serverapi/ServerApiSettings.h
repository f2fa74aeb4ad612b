// The per-session settings endpoint and the rules for reading its keys.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "ServerApi.h"

class ServerApiSettings : public ServerApi {
    Q_OBJECT

public:
    ServerApiSettings(QObject* parent, const QString& baseUrl);

    // "/api/%1/settings" for servers older than 0.7.0, "/%1/settings" otherwise.
    void setSettingsApiPath(bool withApiPrefix);

    // The settings document of session sessionNumber; null on failure.
    QJsonDocument settings();

    // "WebRTCMouseCursor", default true.
    bool mouseCursor();

    // A boolean key: only a JSON false gives false; a missing key or a bad reply gives the
    // default with a log line.
    bool boolSetting(const QString& key, bool defaultValue);
    // A text key: a JSON string, else empty; a missing key or a bad reply gives the default with
    // a log line.
    QString textSetting(const QString& key, const QString& defaultValue);

    // The number of a session id that is a plain decimal number within int range, without sign,
    // blanks or leading zeros ("0" itself is one); nothing for any other id.
    static std::optional<int> sessionNumberOf(const QString& sessionId);

    // The valid "StunServers" URLs of the reply, in reply order, in the "stun://" form. Entries
    // that name a relay are left to relayServers().
    QStringList stunServers();
    // Every usable "turn:"/"turns:" URL of "StunServers" ("urls" a string or an array, with
    // "username" and "credential"), in webrtcbin's form; an unusable one is logged and skipped.
    std::vector<std::string> relayServers();
    // A server-supplied STUN URL: "stun:" + host + optional port, nothing else.
    static bool validateStunUrl(const QString& url);

    QString settingsPathFormat;
    int sessionNumber = 0;
};
