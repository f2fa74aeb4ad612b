// The input channel: the administrator's input events arrive here and are injected by the input
// thread, which runs exactly while the socket is connected.
#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QThread>

#include "GlobalSettings.h"
#include "WebSocketBase.h"

class InputParser;

class WSInput : public QObject {
    Q_OBJECT

public:
    explicit WSInput(QObject* parent = nullptr);
    ~WSInput() override;

    // The owner connects it (wsConnect) and closes it (close code 1000).
    WebSocketBase webSocket;

    InputParser* inputParser() const { return parser; }
    bool workerRunning() const { return inputThread.isRunning(); }
    // Stops and joins the input thread; held keys and buttons are released on the way out, so
    // the display must still be open.
    void stopWorker();

private slots:
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);

private:
    GlobalSettings& settings;
    InputParser* parser;
    QThread inputThread;
};
