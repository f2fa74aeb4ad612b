// A loopback signalling server for tests: speaks HELLO/SESSION/SESSION_OK with the agent on
// /ws/signalling; sockets on other paths (input, cursor) are kept and recorded.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

class SignallingRelay : public QObject {
public:
    // Listens on 127.0.0.1, on a free port.
    bool listen() {
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket* socket = server.nextPendingConnection()) {
                accept(socket);
            }
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }

    // "http://127.0.0.1:<port>": the agent's server URL.
    QString serverUrl() const {
        return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
    }
    quint16 port() const { return server.serverPort(); }

    // Script: how many of "HELLO <id>" and "SESSION <id>" are answered, in that order, and the
    // answer to "SESSION <id>".
    int answers = 2;
    QString sessionAnswer = QStringLiteral("SESSION_OK");

    QWebSocket* agent = nullptr;      // the agent's signalling socket while it is open
    QList<int> agentCloseCodes;       // close codes of the agent's signalling sockets, in order
    QList<QUrl> requestUrls;          // every accepted connection, any path, in order
    QList<QWebSocket*> otherSockets;  // open sockets on other paths

private:
    void accept(QWebSocket* socket) {
        requestUrls.append(socket->requestUrl());
        if (!socket->requestUrl().path().endsWith(QLatin1String("/ws/signalling"))) {
            otherSockets.append(socket);
            connect(socket, &QWebSocket::disconnected, this, [this, socket] {
                otherSockets.removeAll(socket);
                socket->deleteLater();
            });
            return;
        }
        agent = socket;
        connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& t) {
            if (t.startsWith(QLatin1String("HELLO ")) && answers > 0) {
                socket->sendTextMessage(QStringLiteral("HELLO"));
            } else if (t.startsWith(QLatin1String("SESSION ")) && answers > 1) {
                socket->sendTextMessage(sessionAnswer);
            }
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            agentCloseCodes.append(int(socket->closeCode()));
            if (agent == socket) {
                agent = nullptr;
            }
            socket->deleteLater();
        });
    }

    QWebSocketServer server{QStringLiteral("relay"), QWebSocketServer::NonSecureMode};
};
