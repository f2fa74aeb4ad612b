// A management server's HTTP API on loopback whose signalling never answers the WebSocket
// handshake: a connection stays opening, and every connection attempt shows as one request.
#pragma once

#include <QUrl>

#include "GlobalSettings.h"
#include "HttpTestServer.h"

struct SilentServer {
    HttpTestServer http;

    bool start() {
        http.setRoute(QStringLiteral("/assistant/api/discover/"), 200,
                      R"({"server": {"version": "0.7.0"}})");
        http.setRoute(QStringLiteral("/assistant/ws/signalling"), 101, {}, -1);
        return http.start();
    }
    QString url() const { return http.baseUrl() + QStringLiteral("/assistant"); }
    QString link(int session) const {
        return QStringLiteral("kvlo://127.0.0.1:%1/assistant/%2").arg(http.port()).arg(session);
    }
    void setSession(int session, bool notifyConnection, const char* adminName = "",
                    int delayMs = 0) {
        const QByteArray body = QByteArray(R"({"notifyConnection": )") +
                                (notifyConnection ? "true" : "false") + R"(, "displayName": ")" +
                                adminName + R"(", "audioEnable": false})";
        http.setRoute(QStringLiteral("/assistant/%1/settings").arg(session), 200, body, delayMs);
    }
    // Settings that pass validation, this server configured and in the fields, no link.
    void resetSettings() const {
        GlobalSettings& s = GlobalSettings::instance();
        s.connectionParams = ConnectionParams{};
        s.connectionParams.serverUrl = s.configuredServerUrl = url().toStdString();
        s.connectionParams.videoCodec = "VP8";
        s.connectionParams.audioCodec = "OPUS";
        s.connectionParams.stunUrl = "stun://127.0.0.1:3478";
        s.connectionParams.timeout = 60;
        s.connectionParams.micVolume = 100;
        s.serverApiParams = ServerApiParams{};
        s.fromLink = s.waylandSession = false;
    }
    int signalling() const { return http.requestCount(QStringLiteral("/assistant/ws/signalling")); }
};
