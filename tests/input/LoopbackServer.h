// A WebSocket server on 127.0.0.1 (free port) standing in for the management server's endpoints.
#pragma once

#include <QStringList>
#include <QWebSocket>
#include <QWebSocketServer>
#include <memory>
#include <vector>

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();

    // "http://127.0.0.1:<port>", the form the settings hold.
    QString url() const;

    // The next client that connects, or null after `timeoutMs`.
    QWebSocket* waitForClient(int timeoutMs = 5000);

    QStringList paths;     // request path of every client, in order
    QStringList received;  // text frames from all clients, in order

private:
    QWebSocketServer server;
    std::vector<std::unique_ptr<QWebSocket>> clients;
    size_t handedOut = 0;
};
