#include "LoopbackFront.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

LoopbackFront::LoopbackFront(QObject* parent) : QObject(parent) {
    connect(&server, &QTcpServer::newConnection, this, &LoopbackFront::onNewConnection);
}

bool LoopbackFront::listen(quint16 http, quint16 webSocket) {
    httpPort = http;
    webSocketPort = webSocket;
    return server.listen(QHostAddress::LocalHost, 0);
}

QString LoopbackFront::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void LoopbackFront::onNewConnection() {
    while (QTcpSocket* client = server.nextPendingConnection()) {
        auto* head = new QByteArray;
        auto* upstream = new QTcpSocket(client);
        connect(client, &QObject::destroyed, [head]() { delete head; });

        // Both directions; either side closing closes the other.
        connect(upstream, &QTcpSocket::readyRead, client,
                [client, upstream]() { client->write(upstream->readAll()); });
        connect(upstream, &QTcpSocket::disconnected, client,
                [client]() { client->disconnectFromHost(); });
        connect(client, &QTcpSocket::disconnected, client, [client, upstream]() {
            upstream->disconnectFromHost();
            client->deleteLater();
        });
        connect(upstream, &QTcpSocket::connected, client, [client, upstream, head]() {
            upstream->write(*head);
            head->clear();
            upstream->write(client->readAll());
        });
        connect(client, &QTcpSocket::readyRead, this, [this, client, upstream, head]() {
            if (upstream->state() == QAbstractSocket::ConnectedState) {
                upstream->write(client->readAll());
                return;
            }
            if (upstream->state() != QAbstractSocket::UnconnectedState) {
                return;  // still connecting: the bytes wait in the client's buffer
            }
            head->append(client->readAll());
            if (!head->contains("\r\n\r\n")) {
                return;
            }
            const bool webSocket = head->toLower().contains("upgrade: websocket");
            webSocket ? ++webSockets : ++https;
            if (webSocket && holdWebSockets) {
                held.append(upstream);
                return;
            }
            splice(upstream, webSocket);
        });
    }
}

void LoopbackFront::splice(QTcpSocket* upstream, bool webSocket) {
    upstream->connectToHost(QHostAddress::LocalHost, webSocket ? webSocketPort : httpPort);
}

void LoopbackFront::releaseWebSockets() {
    holdWebSockets = false;
    for (const QPointer<QTcpSocket>& upstream : held) {
        if (upstream) {
            splice(upstream, true);
        }
    }
    held.clear();
}
