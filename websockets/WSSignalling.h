// The agent's side of the signalling exchange: registration, session join, SDP and ICE relay
// between the media object and the remote peer, and the call state machine.
#pragma once

#include <glib.h>

#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include "ConnectionState.h"
#include "GStreamer.h"
#include "GlobalSettings.h"
#include "WebSocketBase.h"

// The media object's error texts cross threads as static C strings.
Q_DECLARE_METATYPE(const char*)

class WSSignalling : public QObject {
    Q_OBJECT

public:
    explicit WSSignalling(QObject* parent = nullptr);
    ~WSSignalling() override;

    WSSignalling(const WSSignalling&) = delete;
    WSSignalling& operator=(const WSSignalling&) = delete;

    // Stores and notifies a new state; a repeated value is not notified.
    void setConnState(ConnectionState state);
    ConnectionState connectionState() const { return connState; }

    // The state an "ERROR..." from the server notifies before the call ends.
    static ConnectionState errorStateFor(ConnectionState current);

    GlobalSettings* settings;

private:
    ConnectionState connState = STATE_UNKNOWN;

public:
    WebSocketBase webSocket;
    GStreamer gstreamer;

signals:
    void connStateChanged(ConnectionState state);
    // The text is valid only during the emission; receivers copy it if they keep it.
    void errorOccured(const char* msg);
    void wsConnected();
    void wsDisconnected();

public slots:
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onTextMessageReceived(QString message);
    void sendIceCandidateMessage(uint mLineIx, QString candidate);
    void sendSdpMessage(QString text, QString type);
    // The single path that ends a call on an error: stores state silently, closes the socket and
    // hands the text to the user.
    void mainLoopTermination(const gchar* msg, ConnectionState state);

private:
    void handleJson(const QString& message);
    // Late SDP or ICE from a pipeline whose call has already ended is dropped, not reported.
    bool callEnded(const char* what);

    // The socket may report its closure while close() is still running; the user must see the
    // reason for the closure first.
    bool holdDisconnect = false;
    bool disconnectHeld = false;
};
