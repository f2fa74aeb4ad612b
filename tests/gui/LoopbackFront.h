// One loopback address for the agent's HTTP API and its WebSockets, as a real management server
// offers: connections whose request asks for a WebSocket upgrade are spliced to the signalling
// relay's port, all others to the HTTP test server's port. Bytes pass through unchanged.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>

class LoopbackFront : public QObject {
    Q_OBJECT

public:
    explicit LoopbackFront(QObject* parent = nullptr);

    // Listens on 127.0.0.1 on a free port.
    bool listen(quint16 httpPort, quint16 webSocketPort);
    quint16 port() const { return server.serverPort(); }
    // "http://127.0.0.1:PORT" followed by path.
    QString url(const QString& path) const;

    int webSocketConnections() const { return webSockets; }

    // While set, WebSocket requests are accepted but not passed on (a slow server);
    // releaseWebSockets() passes on the ones still open.
    bool holdWebSockets = false;
    void releaseWebSockets();
    int httpConnections() const { return https; }

private:
    void onNewConnection();
    void splice(class QTcpSocket* upstream, bool webSocket);

    QTcpServer server;
    quint16 httpPort = 0;
    quint16 webSocketPort = 0;
    int webSockets = 0;
    int https = 0;
    QList<QPointer<class QTcpSocket>> held;
};
