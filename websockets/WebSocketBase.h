// Client WebSocket for one named endpoint under the server's "/ws/" path.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include "GlobalSettings.h"

class WebSocketBase : public QWebSocket {
    Q_OBJECT

public:
    // Incoming size limits: a larger message or frame closes the channel (code 1009).
    static constexpr qint64 kSignallingMaxMessageSize = 1024 * 1024;
    static constexpr qint64 kDefaultMaxMessageSize = 64 * 1024;

    // The channel verifies the server's certificate unless "force" (disableSsl) is set when it is
    // constructed; then certificate errors are logged and ignored.
    explicit WebSocketBase(QString name, QObject* parent = nullptr);
    ~WebSocketBase() override;

    // Builds the endpoint URL from the settings and starts opening the socket. False when the
    // server URL has a scheme other than http, https, ws or wss (nothing is opened then).
    virtual bool wsConnect();

    // Maps http to ws and https to wss in place; false for any other scheme than ws and wss.
    static bool changeUrl(QUrl& url);

    // A connected channel pings every interval; a pong that has not come timeout after its ping
    // counts as a closure: the socket is aborted and reports its disconnection.
    static constexpr int kPingIntervalMs = 5000;
    static constexpr int kPongTimeoutMs = 10000;
    void setKeepAlive(int intervalMs, int timeoutMs);

    // Largest incoming message (and frame) this channel accepts, in bytes.
    void setMaxMessageSize(qint64 bytes);
    qint64 maxMessageSize() const { return maxAllowedIncomingMessageSize(); }

    QString channelName;
    GlobalSettings* settings;
    bool sessionInPath;

public slots:
    virtual void onConnected();
    virtual void onDisconnected();
    virtual void onBinaryMessageReceived(const QByteArray& message);

private:
    void onAboutToClose();
    void onPongMissing();

    QTimer pingTimer;
    QTimer pongDeadline;  // active while a pong is awaited
};
