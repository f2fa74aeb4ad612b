#include "SignallingRelay.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>
#include <QWebSocketServer>

#include "WebRtcPeer.h"

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

bool SignallingRelay::listenSecure(const QSslConfiguration& config) {
    secure = true;
    server = new QWebSocketServer(QStringLiteral("relay"), QWebSocketServer::SecureMode, this);
    server->setSslConfiguration(config);
    connect(server, &QWebSocketServer::newConnection, this, &SignallingRelay::onNewConnection);
    return server->listen(QHostAddress(QHostAddress::LocalHost), 0);
}

quint16 SignallingRelay::port() const {
    return server ? server->serverPort() : 0;
}

QString SignallingRelay::serverUrl() const {
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(secure ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port());
}

void SignallingRelay::onNewConnection() {
    while (QWebSocket* socket = server->nextPendingConnection()) {
        const QUrl url = socket->requestUrl();
        requestUrls.append(url);
        const QString path = url.path();
        if (path.endsWith(QLatin1String("/ws/signalling"))) {
            if (agent) {
                agent->abort();
                agent->deleteLater();
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
    agentMessages.append(text);
    if (text.startsWith(QLatin1String("HELLO "))) {
        agentPeerId = text.mid(6).toInt();
        if (answerHello) {
            socket->sendTextMessage(QStringLiteral("HELLO"));
        }
    } else if (text.startsWith(QLatin1String("SESSION "))) {
        const QString session = text.mid(8);
        if (!answerSession) {
        } else if (acceptedSession.isEmpty() || session == acceptedSession) {
            socket->sendTextMessage(QStringLiteral("SESSION_OK"));
        } else {
            socket->sendTextMessage(QStringLiteral("ERROR session %1 not found").arg(session));
        }
    } else if (text.startsWith(QLatin1Char('{'))) {
        emit agentJson(text);
    }
}

void SignallingRelay::sendToAgent(const QString& text) {
    if (agent) {
        agent->sendTextMessage(text);
    }
}

void SignallingRelay::sendBinaryToAgent(const QByteArray& data) {
    if (agent) {
        agent->sendBinaryMessage(data);
    }
}

void SignallingRelay::sendToOthers(const QString& text) {
    for (QWebSocket* socket : qAsConst(otherSockets)) {
        socket->sendTextMessage(text);
    }
}

void SignallingRelay::closeAgent(int code) {
    if (agent) {
        agent->close(QWebSocketProtocol::CloseCode(code));
    }
}

void SignallingRelay::abortAgent() {
    if (agent) {
        agent->abort();
    }
}

void SignallingRelay::attachAdministrator(WebRtcPeer* peer) {
    connect(this, &SignallingRelay::agentJson, peer, [peer](const QString& text) {
        const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
        const QJsonObject sdp = object.value(QLatin1String("sdp")).toObject();
        const QJsonObject ice = object.value(QLatin1String("ice")).toObject();
        if (!sdp.isEmpty()) {
            peer->onSdp(sdp.value(QLatin1String("sdp")).toString(),
                        sdp.value(QLatin1String("type")).toString());
        } else if (!ice.isEmpty()) {
            peer->addIceCandidate(uint(ice.value(QLatin1String("sdpMLineIndex")).toInt()),
                                  ice.value(QLatin1String("candidate")).toString());
        }
    });
    connect(peer, &WebRtcPeer::sdpReady, this, [this](QString text, QString type) {
        const QJsonObject inner{{QStringLiteral("sdp"), text}, {QStringLiteral("type"), type}};
        sendToAgent(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("sdp"), inner}})
                                          .toJson(QJsonDocument::Compact)));
    });
    connect(peer, &WebRtcPeer::iceCandidate, this, [this](uint index, QString candidate) {
        const QJsonObject inner{{QStringLiteral("candidate"), candidate},
                                {QStringLiteral("sdpMLineIndex"), int(index)}};
        sendToAgent(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("ice"), inner}})
                                          .toJson(QJsonDocument::Compact)));
    });
}
