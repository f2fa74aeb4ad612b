#include "WebSocketBase.h"

#include <QList>
#include <QSslError>
#include <QWebSocketProtocol>

#include "logger.h"

WebSocketBase::WebSocketBase(QString name, QObject* parent)
    : QWebSocket(QString(), QWebSocketProtocol::Version13, parent),
      channelName(std::move(name)),
      settings(&GlobalSettings::instance()),
      sessionInPath(false) {
    setMaxMessageSize(kDefaultMaxMessageSize);

    connect(this, &QWebSocket::connected, this, &WebSocketBase::onConnected);
    connect(this, &QWebSocket::disconnected, this, &WebSocketBase::onDisconnected);
    connect(this, &QWebSocket::binaryMessageReceived, this,
            &WebSocketBase::onBinaryMessageReceived);
    if (settings->connectionParams.disableSsl) {
        // Direct: the errors must be ignored inside the handshake that reports them.
        connect(
            this, &QWebSocket::sslErrors, this,
            [this](const QList<QSslError>& errors) {
                for (const QSslError& e : errors) {
                    cli_log(LL_WARNING, "%s: SSL error: %s\n", qUtf8Printable(channelName),
                            qUtf8Printable(e.errorString()));
                }
                ignoreSslErrors();
            },
            Qt::DirectConnection);
    }
    connect(this, &QWebSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        cli_log(LL_DEBUG, "%s channel state changed to %d", qUtf8Printable(channelName),
                static_cast<int>(state));
    });
    connect(this, &QWebSocket::aboutToClose, this, &WebSocketBase::onAboutToClose);

    // A server or path that died silently is noticed here rather than by TCP, minutes later.
    pingTimer.setInterval(kPingIntervalMs);
    pongDeadline.setSingleShot(true);
    pongDeadline.setInterval(kPongTimeoutMs);
    connect(&pingTimer, &QTimer::timeout, this, [this] {
        if (!pongDeadline.isActive()) {
            pongDeadline.start();
            ping();
        }
    });
    connect(&pongDeadline, &QTimer::timeout, this, &WebSocketBase::onPongMissing);
    connect(this, &QWebSocket::connected, &pingTimer, QOverload<>::of(&QTimer::start));
    connect(this, &QWebSocket::disconnected, this, [this] {
        pingTimer.stop();
        pongDeadline.stop();
    });
    connect(this, &QWebSocket::pong, &pongDeadline, &QTimer::stop);
}

void WebSocketBase::setKeepAlive(int intervalMs, int timeoutMs) {
    pingTimer.setInterval(intervalMs);
    pongDeadline.setInterval(timeoutMs);
}

void WebSocketBase::onPongMissing() {
    cli_log(LL_WARNING, "%s: no answer to a ping within %d ms, closing the channel\n",
            qUtf8Printable(channelName), pongDeadline.interval());
    pingTimer.stop();
    abort();
}

WebSocketBase::~WebSocketBase() {
    if (state() == QAbstractSocket::ConnectedState) {
        // close() can report the disconnection at once; nobody may be called from a dying channel.
        blockSignals(true);
        close(QWebSocketProtocol::CloseCodeNormal, QString());
        cli_log(LL_INFO, "Disconnected from the %s channel\n", qUtf8Printable(channelName));
    }
}

bool WebSocketBase::changeUrl(QUrl& url) {
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("https")) {
        url.setScheme(QStringLiteral("wss"));
    } else if (scheme == QLatin1String("http")) {
        url.setScheme(QStringLiteral("ws"));
    } else if (scheme != QLatin1String("wss") && scheme != QLatin1String("ws")) {
        return false;
    }
    return true;
}

bool WebSocketBase::wsConnect() {
    const ConnectionParams& params = settings->connectionParams;
    QString text = QString::fromStdString(params.serverUrl);
    if (sessionInPath) {
        text += QLatin1Char('/') + QString::fromStdString(params.sessionId);
    }
    text += QStringLiteral("/ws/") + channelName;

    QUrl url(text, QUrl::TolerantMode);
    if (!changeUrl(url)) {
        cli_log(LL_ERROR, "Url have unsupported scheme\n");
        return false;
    }
    open(url);
    return true;
}

void WebSocketBase::setMaxMessageSize(qint64 bytes) {
    setMaxAllowedIncomingMessageSize(quint64(bytes));
    setMaxAllowedIncomingFrameSize(quint64(bytes));
}

void WebSocketBase::onConnected() {
    cli_log(LL_INFO, "Connected to the %s channel\n", qUtf8Printable(channelName));
}

void WebSocketBase::onDisconnected() {
    cli_log(LL_INFO, "Disconnected from the %s channel\n", qUtf8Printable(channelName));
}

void WebSocketBase::onBinaryMessageReceived(const QByteArray& message) {
    Q_UNUSED(message);
    cli_log(LL_WARNING, "Received unknown binary message to %s endpoint, ignoring\n",
            qUtf8Printable(channelName));
}

void WebSocketBase::onAboutToClose() {
    // The socket closes itself with 1009 when a message or frame exceeds the limit; it stops
    // reading at the frame header, so the payload is never buffered.
    if (closeCode() == QWebSocketProtocol::CloseCodeTooMuchData) {
        cli_log(LL_WARNING,
                "%s: incoming message larger than %lld bytes, closing the channel (%s)\n",
                qUtf8Printable(channelName), static_cast<long long>(maxMessageSize()),
                qUtf8Printable(closeReason()));
    }
}
