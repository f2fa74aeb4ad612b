#include "LoopbackServer.h"

#include <QHostAddress>

#include "WaitFor.h"

LoopbackServer::LoopbackServer()
    : server(QStringLiteral("loopback"), QWebSocketServer::NonSecureMode) {
    server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
    QObject::connect(&server, &QWebSocketServer::newConnection, [this] {
        while (server.hasPendingConnections()) {
            QWebSocket* socket = server.nextPendingConnection();
            paths << socket->requestUrl().path();
            QObject::connect(socket, &QWebSocket::textMessageReceived,
                             [this](const QString& text) { received << text; });
            clients.emplace_back(socket);
        }
    });
}

LoopbackServer::~LoopbackServer() {
    for (auto& socket : clients) {
        socket->disconnect();
        socket->abort();
    }
    server.close();
}

QString LoopbackServer::url() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

QWebSocket* LoopbackServer::waitForClient(int timeoutMs) {
    if (!waitFor([this] { return clients.size() > handedOut; }, timeoutMs)) {
        return nullptr;
    }
    return clients[handedOut++].get();
}
