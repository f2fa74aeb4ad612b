#include "SignallingRelay.h"

#include <QHostAddress>
#include <QWebSocket>
#include <QWebSocketServer>

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
                    [this, socket](const QString& text) {
                        if (text.startsWith(QLatin1String("HELLO ")) && answerHello) {
                            socket->sendTextMessage(QStringLiteral("HELLO"));
                        } else if (text.startsWith(QLatin1String("SESSION ")) && answerSession) {
                            socket->sendTextMessage(QStringLiteral("SESSION_OK"));
                        }
                    });
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
