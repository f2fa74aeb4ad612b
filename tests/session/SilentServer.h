// A management server's HTTP API on loopback whose signalling never answers the WebSocket
// handshake: a connection stays opening, and every connection attempt shows as one request.
#pragma once

#include "GlobalSettings.h"
#include "HttpTestServer.h"

struct SilentServer : HttpTestServer {
    SilentServer() {
        setRoute(QStringLiteral("/assistant/api/discover/"), 200,
                 R"({"server": {"version": "0.7.0"}})");
        setRoute(QStringLiteral("/assistant/ws/signalling"), 101, {}, -1);
    }
    QString url() const { return baseUrl() + QStringLiteral("/assistant"); }
    QString link(int session) const {
        return QStringLiteral("kvlo://127.0.0.1:%1/assistant/%2").arg(port()).arg(session);
    }
    void setSession(int session, bool notifyConnection, int delayMs = 0) {
        const QByteArray body = QByteArray(R"({"audioEnable": false, "notifyConnection": )") +
                                (notifyConnection ? "true}" : "false}");
        setRoute(QStringLiteral("/assistant/%1/settings").arg(session), 200, body, delayMs);
    }
    // Settings that pass validation, this server configured and in the fields, no link.
    void resetSettings() const {
        GlobalSettings& s = GlobalSettings::instance();
        s.configuredServerUrl = url().toStdString();
        s.connectionParams = {"", s.configuredServerUrl, "VP8", "OPUS", "stun://127.0.0.1:3478", 60,
                              100};
        s.serverApiParams = ServerApiParams{};
        s.fromLink = s.waylandSession = false;
    }
    int signalling() const { return requestCount(QStringLiteral("/assistant/ws/signalling")); }
};
