#include "SignallingRelay.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>
#include <QWebSocketServer>

#include "WebRtcPeer.h"

namespace {

QString json(const char* key, const QJsonObject& inner) {
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QLatin1String(key), inner}}).toJson(QJsonDocument::Compact));
}

}  // namespace

SignallingRelay::SignallingRelay(QObject* parent) : QObject(parent) {}

SignallingRelay::~SignallingRelay() {
    if (server) {
        server->close();
    }
}

bool SignallingRelay::listen() {
    server = new QWebSocketServer(QStringLiteral("relay"), QWebSocketServer::NonSecureMode, this);
    connect(server, &QWebSocketServer::newConnection, this, &SignallingRelay::onNewConnection);
    return server->listen(QHostAddress(QHostAddress::LocalHost), 0);
}

quint16 SignallingRelay::port() const {
    return server ? server->serverPort() : 0;
}

QString SignallingRelay::serverUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void SignallingRelay::onNewConnection() {
    while (QWebSocket* socket = server->nextPendingConnection()) {
        requestUrls.append(socket->requestUrl());
        if (socket->requestUrl().path().endsWith(QLatin1String("/ws/signalling"))) {
            if (agent) {
                agent->abort();
            }
            agent = socket;
            connect(socket, &QWebSocket::textMessageReceived, this,
                    [this, socket](const QString& text) { onAgentText(socket, text); });
            connect(socket, &QWebSocket::disconnected, this, [this, socket]() {
                agentCloseCodes.append(int(socket->closeCode()));
                if (agent == socket) {
                    agent = nullptr;
                }
                socket->deleteLater();
            });
        } else {
            otherSockets.append(socket);
            connect(socket, &QWebSocket::textMessageReceived, this,
                    [this](const QString& text) { otherMessages.append(text); });
            connect(socket, &QWebSocket::disconnected, this, [this, socket]() {
                otherSockets.removeAll(socket);
                socket->deleteLater();
            });
        }
    }
}

void SignallingRelay::onAgentText(QWebSocket* socket, const QString& text) {
    if (socket != agent) {
        return;
    }
    if (text.startsWith(QLatin1String("HELLO ")) && answerHello) {
        socket->sendTextMessage(QStringLiteral("HELLO"));
    } else if (text.startsWith(QLatin1String("SESSION ")) && answerSession) {
        socket->sendTextMessage(QStringLiteral("SESSION_OK"));
    } else if (administrator) {
        relayToAdministrator(text);
    }
}

void SignallingRelay::sendToAgent(const QString& text) {
    if (agent) {
        agent->sendTextMessage(text);
    }
}

void SignallingRelay::closeAgent() {
    if (agent) {
        agent->close();
    }
}

void SignallingRelay::abortAgent() {
    if (agent) {
        agent->abort();
    }
}

void SignallingRelay::relayToAdministrator(const QString& text) {
    const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
    const QJsonObject sdp = object.value(QLatin1String("sdp")).toObject();
    const QJsonObject ice = object.value(QLatin1String("ice")).toObject();
    if (!sdp.isEmpty()) {
        administrator->onSdp(sdp.value(QLatin1String("sdp")).toString(),
                             sdp.value(QLatin1String("type")).toString());
    } else if (!ice.isEmpty()) {
        administrator->addIceCandidate(uint(ice.value(QLatin1String("sdpMLineIndex")).toInt()),
                                       ice.value(QLatin1String("candidate")).toString());
    }
}

void SignallingRelay::attachAdministrator(WebRtcPeer* peer) {
    administrator = peer;
    connect(peer, &WebRtcPeer::sdpReady, this, [this](QString text, QString type) {
        sendToAgent(json("sdp", {{QStringLiteral("sdp"), text}, {QStringLiteral("type"), type}}));
    });
    connect(peer, &WebRtcPeer::iceCandidate, this, [this](uint index, QString candidate) {
        sendToAgent(json("ice", {{QStringLiteral("candidate"), candidate},
                                 {QStringLiteral("sdpMLineIndex"), int(index)}}));
    });
}
