// A loopback signalling server for tests: speaks HELLO/SESSION/SESSION_OK with the agent and
// relays JSON between the agent and an in-process administrator peer. Sockets on other paths
// (input, cursor) are kept and recorded.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QWebSocket;
class QWebSocketServer;
class WebRtcPeer;

class SignallingRelay : public QObject {
    Q_OBJECT

public:
    explicit SignallingRelay(QObject* parent = nullptr);
    ~SignallingRelay() override;

    // Listens on 127.0.0.1, on a free port.
    bool listen();

    quint16 port() const;
    // "http://127.0.0.1:<port>": the agent's server URL.
    QString serverUrl() const;

    // Script: whether "HELLO <id>" and "SESSION <id>" are answered.
    bool answerHello = true;
    bool answerSession = true;

    // Towards the agent's signalling socket (no-ops when none is connected).
    void sendToAgent(const QString& text);
    void closeAgent();
    void abortAgent();

    // Everything seen, in order.
    QList<int> agentCloseCodes;       // close codes of the agent's signalling sockets
    QList<QUrl> requestUrls;          // every accepted connection, any path
    QStringList otherMessages;        // texts on other paths
    QList<QWebSocket*> otherSockets;  // open sockets on other paths

    // Makes peer the administrator: the agent's SDP and ICE reach it, its answer and candidates
    // go back to the agent in the agent's JSON shapes.
    void attachAdministrator(WebRtcPeer* peer);

private:
    void onNewConnection();
    void onAgentText(QWebSocket* socket, const QString& text);
    void relayToAdministrator(const QString& text);

    QWebSocketServer* server = nullptr;
    QWebSocket* agent = nullptr;
    WebRtcPeer* administrator = nullptr;
};
