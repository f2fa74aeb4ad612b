// A loopback signalling server for tests: speaks HELLO/SESSION/SESSION_OK/ERROR with the agent and
// relays JSON between the agent and an in-process administrator peer.
#pragma once

#include <QList>
#include <QObject>
#include <QSslConfiguration>
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

    // Listens on 127.0.0.1, on a free port. With a configuration, speaks wss.
    bool listen();
    bool listenSecure(const QSslConfiguration& config);

    quint16 port() const;
    // "http://127.0.0.1:<port>" (or https): the agent's server URL.
    QString serverUrl() const;

    // Script. The session the relay accepts; empty accepts any.
    QString acceptedSession;
    bool answerHello = true;
    bool answerSession = true;

    // Injection towards the agent's signalling socket (no-ops when none is connected).
    void sendToAgent(const QString& text);
    void sendBinaryToAgent(const QByteArray& data);
    // Towards every open socket on other paths (input, cursor ...).
    void sendToOthers(const QString& text);
    void closeAgent(int code = 1000);
    void abortAgent();

    // Everything seen, in order.
    QStringList agentMessages;        // texts from the agent's signalling socket
    QList<QUrl> requestUrls;          // every accepted connection, any path
    QList<int> agentCloseCodes;       // close codes of the agent's signalling sockets
    int agentPeerId = -1;             // from the last "HELLO <id>"
    QStringList otherMessages;        // texts on other paths
    QList<QWebSocket*> otherSockets;  // open sockets on other paths

    // Makes peer the administrator: the agent's SDP and ICE reach it, its answer and candidates
    // go back to the agent in the agent's JSON shapes.
    void attachAdministrator(WebRtcPeer* peer);

signals:
    void agentJson(const QString& text);  // JSON texts from the agent, for the administrator

private:
    void onNewConnection();
    void onAgentText(QWebSocket* socket, const QString& text);

    QWebSocketServer* server = nullptr;
    QWebSocket* agent = nullptr;
    bool secure = false;
};
