// A whole management server on loopback for the window's tests: the HTTP API (discovery and
// session settings) and the signalling relay behind one address, as the agent expects them.
#pragma once

#include <QByteArray>
#include <QString>

#include "HttpTestServer.h"
#include "LoopbackFront.h"
#include "SignallingRelay.h"
#include "WebRtcPeer.h"

#include <QJsonDocument>
#include <QJsonObject>

struct SessionServer {
    HttpTestServer http;
    SignallingRelay relay;
    LoopbackFront front;

    bool start() {
        return http.start() && relay.listen() && front.listen(http.port(), relay.port());
    }

    // Server URL as a link names it (no session): http://127.0.0.1:PORT/assistant
    QString serverUrl() const { return front.url(QStringLiteral("/assistant")); }

    // Discovery answers `version`; session `session` gets these settings.
    void setSession(int session, bool notifyConnection, const QString& adminName = QString(),
                    const char* version = "0.7.0") {
        http.setRoute(QStringLiteral("/assistant/api/discover/"), 200,
                      QByteArray(R"({"server": {"version": ")") + version + R"("}})");
        const QByteArray body = QByteArray(R"({"notifyConnection": )") +
                                (notifyConnection ? "true" : "false") + R"(, "displayName": ")" +
                                adminName.toUtf8() + R"(", "audioEnable": false})";
        http.setRoute(QStringLiteral("/assistant/%1/settings").arg(session), 200, body);
    }

    // The administrator: a webrtcbin peer behind the relay that answers the agent's offer.
    void attachAdministrator(WebRtcPeer& peer) { relay.attachAdministrator(&peer); }
};
