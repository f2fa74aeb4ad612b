#include "WSInput.h"

#include "InputParser.h"
#include "ScreenGlobals.h"
#include "WorkerThread.h"
#include "logger.h"

WSInput::WSInput(QObject* parent)
    : QObject(parent), webSocket(QStringLiteral("input")), settings(GlobalSettings::instance()) {
    webSocket.sessionInPath = true;
    parser = new InputParser(&inputThread);
    parser->moveToThread(&inputThread);

    connect(&webSocket, &QWebSocket::connected, this, &WSInput::onConnected);
    connect(&webSocket, &QWebSocket::disconnected, this, &WSInput::onDisconnected);
    connect(&webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &WSInput::onError);
    connect(&webSocket, &QWebSocket::textMessageReceived, this,
            [this](const QString& msg) { parser->queue.push(msg); });
    connect(&inputThread, &QThread::started, parser, &InputParser::process);
}

WSInput::~WSInput() {
    // The socket outlives this object's members while it closes; it must not call back into them.
    webSocket.disconnect(this);
    stopAndJoin(inputThread);
    delete parser;
}

void WSInput::onConnected() {
    // Handed over before the start: the thread reads only its own copies.
    parser->setDisplay(d, w, screenSpecs);
    inputThread.start(QThread::InheritPriority);
}

void WSInput::stopWorker() {
    stopAndJoin(inputThread);
}

void WSInput::onDisconnected() {
    stopAndJoin(inputThread);
    // Events of a closed connection must not be replayed into the next one.
    const size_t dropped = parser->queue.clear();
    if (dropped != 0) {
        cli_log(LL_INFO, "Dropped %zu input events of the closed input channel\n", dropped);
    }
}

void WSInput::onError(QAbstractSocket::SocketError) {
    cli_log(LL_ERROR, "Input web socket connection return error: %s\n",
            qUtf8Printable(webSocket.errorString()));
}
