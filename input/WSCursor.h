// The cursor channel: opened and closed with every session; relays the cursor messages of the
// cursor thread to the server.
#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QThread>

#include "WebSocketBase.h"

class CursorSender;

class WSCursor : public QObject {
    Q_OBJECT

public:
    explicit WSCursor(QObject* parent = nullptr);
    ~WSCursor() override;

    // The owner connects it (wsConnect) and closes it (close code 1000).
    WebSocketBase webSocket;

    CursorSender* cursorSender() const { return sender; }
    bool workerRunning() const { return cursorThread.isRunning(); }
    void stopWorker();

public slots:
    void sendCursor(const QString& msg);

private slots:
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onTextMessageReceived(const QString& msg);

private:
    CursorSender* sender;
    QThread cursorThread;
};
