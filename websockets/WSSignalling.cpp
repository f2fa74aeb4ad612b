#include "WSSignalling.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QWebSocketProtocol>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "logger.h"

namespace {

const char kErrHelloState[] = "ERROR: Received HELLO message in not registering state";
const char kErrSessionOkState[] = "ERROR: Received SESSION_OK in not PEER_CONNECTING state";
const char kErrSdpState[] = "ERROR: received SDP message in not PEER_CALL_NEGOTIATING state";
const char kErrSdpIncomplete[] = "ERROR: received SDP message without the type or body";
const char kErrSendSdp[] = "Cannot send SDP to peer, not in call";
const char kErrSendIce[] = "Cannot send ICE, not in call";
const char kErrClosed[] = "Connection with the server is closed";

QByteArray compact(const QJsonObject& object) {
    // QJsonObject keeps its keys sorted, so the output has them in alphabetical order.
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A missing or non-numeric index counts as 0; a number that is not a media line index is refused.
bool mLineIndexOf(const QJsonValue& value, guint* index) {
    *index = 0;
    if (!value.isDouble()) {
        return true;
    }
    const double d = value.toDouble();
    if (!(d >= 0) || d > double(std::numeric_limits<guint>::max()) || std::floor(d) != d) {
        return false;
    }
    *index = guint(d);
    return true;
}

}  // namespace

WSSignalling::WSSignalling(QObject* parent)
    : QObject(parent),
      settings(&GlobalSettings::instance()),
      // Parented to this object so that the by-value socket never outlives its owner's parent.
      webSocket(QStringLiteral("signalling"), this) {
    qRegisterMetaType<ConnectionState>("ConnectionState");
    qRegisterMetaType<const char*>("const char*");
    webSocket.setMaxMessageSize(WebSocketBase::kSignallingMaxMessageSize);

    connect(&webSocket, &QWebSocket::connected, this, &WSSignalling::onConnected);
    connect(&webSocket, &QWebSocket::disconnected, this, &WSSignalling::onDisconnected);
    connect(&webSocket, &QWebSocket::textMessageReceived, this,
            &WSSignalling::onTextMessageReceived);
    connect(&webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &WSSignalling::onError);
    connect(this, &WSSignalling::connStateChanged, &gstreamer, &GStreamer::getConnState);
    connect(&gstreamer, &GStreamer::connStateChanged, this,
            [this](ConnectionState state) { setConnState(state); });
    connect(&gstreamer, &GStreamer::IceCandidate, this, &WSSignalling::sendIceCandidateMessage);
    connect(&gstreamer, &GStreamer::mainLoopTerminate, this, &WSSignalling::mainLoopTermination);
    connect(&gstreamer, &GStreamer::sendSdpToPeer, this, &WSSignalling::sendSdpMessage);
}

WSSignalling::~WSSignalling() {
    // The members go before this object: nothing they emit while dying may reach it.
    webSocket.disconnect(this);
    gstreamer.disconnect(this);
    disconnect(this, nullptr, &gstreamer, nullptr);
}

void WSSignalling::setConnState(ConnectionState state) {
    if (state != connState) {
        connState = state;
        emit connStateChanged(state);
    }
}

ConnectionState WSSignalling::errorStateFor(ConnectionState current) {
    switch (current) {
        case SERVER_CONNECTING:
            return SERVER_CONNECTION_ERROR;
        case SERVER_REGISTERING:
            return SERVER_REGISTRATION_ERROR;
        case PEER_CONNECTING:
            return PEER_CONNECTION_ERROR;
        case PEER_CONNECTED:
        case PEER_CALL_NEGOTIATING:
            return PEER_CALL_ERROR;
        default:
            return STATE_ERROR;
    }
}

void WSSignalling::onConnected() {
    setConnState(SERVER_CONNECTED);
    std::srand(unsigned(std::time(nullptr)));
    const int peerId = std::rand() % 9990 + 10;
    cli_log(LL_INFO, "Registering id %d with server\n", peerId);
    webSocket.sendTextMessage(QStringLiteral("HELLO %1").arg(peerId));
    setConnState(SERVER_REGISTERING);
    emit wsConnected();
}

void WSSignalling::onDisconnected() {
    if (holdDisconnect) {
        disconnectHeld = true;
        return;
    }
    setConnState(SERVER_CLOSED);
    emit errorOccured(kErrClosed);
    emit wsDisconnected();
}

void WSSignalling::onError(QAbstractSocket::SocketError error) {
    Q_UNUSED(error);
    const QByteArray text = webSocket.errorString().toUtf8();
    emit errorOccured(text.constData());
}

void WSSignalling::onTextMessageReceived(QString message) {
    const QByteArray utf8 = message.toUtf8();
    cli_log(LL_INFO, "Got message from server: %s\n", utf8.constData());

    if (message == QLatin1String("HELLO")) {
        if (connState != SERVER_REGISTERING) {
            mainLoopTermination(kErrHelloState, STATE_ERROR);
            return;
        }
        setConnState(SERVER_REGISTERED);
        cli_log(LL_INFO, "Registered with server\n");
        const QString sessionId = QString::fromStdString(settings->connectionParams.sessionId);
        cli_log(LL_INFO, "Setting up the signalling server call with the session %s\n",
                qUtf8Printable(sessionId));
        webSocket.sendTextMessage(QStringLiteral("SESSION %1").arg(sessionId));
        setConnState(PEER_CONNECTING);
    } else if (message == QLatin1String("SESSION_OK")) {
        if (connState != PEER_CONNECTING) {
            mainLoopTermination(kErrSessionOkState, PEER_CONNECTION_ERROR);
            return;
        }
        setConnState(PEER_CONNECTED);
        gstreamer.screenPipelineStop(true);
        gstreamer.screenPipelineStart();
    } else if (message.startsWith(QLatin1String("ERROR"))) {
        setConnState(errorStateFor(connState));
        mainLoopTermination(utf8.constData(), STATE_ERROR);
    } else {
        handleJson(message);
    }
}

void WSSignalling::handleJson(const QString& message) {
    const QByteArray utf8 = message.toUtf8();
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        cli_log(LL_WARNING, "Unknown message '%s', ignoring", utf8.constData());
        return;
    }
    if (!doc.isObject()) {
        cli_log(LL_ERROR, "Unknown json message '%s', ignoring", utf8.constData());
        return;
    }
    const QJsonObject object = doc.object();
    const QJsonValue sdp = object.value(QLatin1String("sdp"));
    const QJsonValue ice = object.value(QLatin1String("ice"));
    if (sdp.isObject()) {
        if (connState != PEER_CALL_NEGOTIATING) {
            mainLoopTermination(kErrSdpState, STATE_ERROR);
            return;
        }
        const QJsonObject inner = sdp.toObject();
        const QJsonValue type = inner.value(QLatin1String("type"));
        const QJsonValue body = inner.value(QLatin1String("sdp"));
        // A type or body of another JSON type is as good as a missing one.
        if (!type.isString() || !body.isString()) {
            mainLoopTermination(kErrSdpIncomplete, PEER_CALL_ERROR);
            return;
        }
        gstreamer.onSdpReceived(type.toString(), body.toString());
    } else if (ice.isObject()) {
        const QJsonObject inner = ice.toObject();
        const QByteArray candidate = inner.value(QLatin1String("candidate")).toString().toUtf8();
        guint index = 0;
        if (!mLineIndexOf(inner.value(QLatin1String("sdpMLineIndex")), &index)) {
            cli_log(LL_WARNING, "Ignoring ICE candidate with an invalid sdpMLineIndex: %s\n",
                    utf8.constData());
            return;
        }
        gstreamer.screenWebrtcBinEmitSignal("add-ice-candidate", index, candidate.constData());
    } else {
        cli_log(LL_ERROR, "Ignoring unknown JSON message:\n%s\n", utf8.constData());
    }
}

bool WSSignalling::callEnded(const char* what) {
    if (webSocket.state() == QAbstractSocket::ConnectedState) {
        return false;
    }
    cli_log(LL_INFO, "Dropping %s: the signalling channel is not connected\n", what);
    return true;
}

void WSSignalling::sendSdpMessage(QString text, QString type) {
    if (callEnded("SDP")) {
        return;
    }
    if (connState < PEER_CALL_NEGOTIATING) {
        mainLoopTermination(kErrSendSdp, STATE_ERROR);
        return;
    }
    cli_log(LL_INFO, "Sending %s:\n%s\n", qUtf8Printable(type), qUtf8Printable(text));
    QJsonObject inner;
    inner.insert(QStringLiteral("sdp"), text);
    inner.insert(QStringLiteral("type"), type);
    QJsonObject message;
    message.insert(QStringLiteral("sdp"), inner);
    webSocket.sendTextMessage(QString::fromUtf8(compact(message)));
}

void WSSignalling::sendIceCandidateMessage(uint mLineIx, QString candidate) {
    if (callEnded("ICE candidate")) {
        return;
    }
    if (connState < PEER_CALL_NEGOTIATING) {
        mainLoopTermination(kErrSendIce, STATE_ERROR);
        return;
    }
    QJsonObject inner;
    inner.insert(QStringLiteral("candidate"), candidate);
    inner.insert(QStringLiteral("sdpMLineIndex"), qint64(mLineIx));
    QJsonObject message;
    message.insert(QStringLiteral("ice"), inner);
    webSocket.sendTextMessage(QString::fromUtf8(compact(message)));
}

void WSSignalling::mainLoopTermination(const gchar* msg, ConnectionState state) {
    if (connState != STATE_UNKNOWN) {
        // Silent: the media object's copy keeps the previous value.
        connState = state;
    }
    if (webSocket.state() == QAbstractSocket::ConnectedState) {
        holdDisconnect = true;
        webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
        holdDisconnect = false;
    }
    emit errorOccured(msg);
    if (disconnectHeld) {
        disconnectHeld = false;
        onDisconnected();
    }
}
