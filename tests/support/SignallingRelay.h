// A loopback signalling server for tests: speaks HELLO/SESSION/SESSION_OK with the agent on
// /ws/signalling; sockets on other paths (input, cursor) are kept and recorded.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QWebSocket;
class QWebSocketServer;

class SignallingRelay : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Listens on 127.0.0.1, on a free port.
    bool listen();

    quint16 port() const;
    // "http://127.0.0.1:<port>": the agent's server URL.
    QString serverUrl() const;

    // Script: whether "HELLO <id>" and "SESSION <id>" are answered.
    bool answerHello = true;
    bool answerSession = true;

    QWebSocket* agent = nullptr;  // the agent's signalling socket while it is open
    // Everything seen, in order.
    QList<int> agentCloseCodes;       // close codes of the agent's signalling sockets
    QList<QUrl> requestUrls;          // every accepted connection, any path
    QStringList otherMessages;        // texts on other paths
    QList<QWebSocket*> otherSockets;  // open sockets on other paths

private:
    void onNewConnection();

    QWebSocketServer* server = nullptr;
};
