#include "TurnTlsProxy.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include "WorkerThread.h"
#include "logger.h"

namespace {

const int kMaxRequestBytes = 4096;

class ProxyWorker : public QObject {
public:
    ProxyWorker(const QList<TurnTlsProxy::Relay>& relays, bool force)
        : relays_(relays), force_(force) {}

    quint16 listen() {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = server_.nextPendingConnection()) {
                accept(client);
            }
        });
        return server_.listen(QHostAddress::LocalHost, 0) ? server_.serverPort() : 0;
    }

private:
    // The relay at that address and port, or null: the request names the address webrtcbin
    // resolved the relay's name to.
    const TurnTlsProxy::Relay* find(const QHostAddress& address, quint16 port) const {
        for (const TurnTlsProxy::Relay& relay : relays_) {
            if (relay.port != port) {
                continue;
            }
            QString host = relay.host;
            host.remove('[').remove(']');
            if (QHostAddress(host) == address ||
                QHostInfo::fromName(host).addresses().contains(address)) {
                return &relay;
            }
        }
        return nullptr;
    }

    void accept(QTcpSocket* client) {
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QTcpSocket::readyRead, this, [this, client] {
            if (client->property("open").toBool()) {
                return;  // the tunnel's own connection reads it
            }
            QByteArray head = client->property("head").toByteArray() + client->readAll();
            client->setProperty("head", head);
            const int end = head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (head.size() > kMaxRequestBytes) {
                    client->abort();
                }
                return;
            }
            client->setProperty("open", true);
            open(client, head.left(end), head.mid(end + 4));
        });
    }

    void open(QTcpSocket* client, const QByteArray& request, const QByteArray& early) {
        static const QRegularExpression connectLine(
            QStringLiteral("^CONNECT \\[?([0-9A-Fa-f:.]+)\\]?:([0-9]{1,5}) HTTP/1\\.[01]\\r?$"));
        const QRegularExpressionMatch m =
            connectLine.match(QString::fromLatin1(request.left(request.indexOf('\n'))));
        const TurnTlsProxy::Relay* relay =
            m.hasMatch() ? find(QHostAddress(m.captured(1)), quint16(m.captured(2).toUInt()))
                         : nullptr;
        if (!relay) {
            client->write("HTTP/1.0 403 Forbidden\r\n\r\n");
            client->disconnectFromHost();
            return;
        }
        const QString target = m.captured(1);
        const quint16 port = relay->port;
        const QString peerName = QString(relay->host).remove('[').remove(']');
        const QByteArray name = peerName.toUtf8();
        QTcpSocket* upstream = relay->tls ? new QSslSocket(client) : new QTcpSocket(client);
        const auto pipe = [client, upstream, early] {
            client->setProperty("piped", true);
            client->write("HTTP/1.0 200 Connection established\r\n\r\n");
            upstream->write(early + client->readAll());
            connect(client, &QTcpSocket::readyRead, upstream,
                    [client, upstream] { upstream->write(client->readAll()); });
            connect(upstream, &QTcpSocket::readyRead, client,
                    [client, upstream] { client->write(upstream->readAll()); });
        };
        connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::abort);
        connect(upstream, &QAbstractSocket::errorOccurred, client, [client, upstream, name] {
            // Once the tunnel is up its end is no news, and what the relay sent last must still
            // reach libnice: "disconnected" closes the client gracefully.
            if (!client->property("piped").toBool()) {
                cli_log(LL_WARNING, "Relay %s: %s\n", name.constData(),
                        upstream->errorString().toUtf8().constData());
                client->abort();
            }
        });
        if (!relay->tls) {
            connect(upstream, &QTcpSocket::connected, client, pipe);
            upstream->connectToHost(target, port);
            return;
        }
        auto* tls = static_cast<QSslSocket*>(upstream);
        tls->setPeerVerifyMode(QSslSocket::VerifyPeer);
        connect(tls, qOverload<const QList<QSslError>&>(&QSslSocket::sslErrors), client,
                [this, tls, name](const QList<QSslError>& errors) {
                    for (const QSslError& error : errors) {
                        cli_log(LL_WARNING, "Relay %s: TLS: %s%s\n", name.constData(),
                                error.errorString().toUtf8().constData(),
                                force_ ? " (ignored: force)" : "");
                    }
                    if (force_) {
                        tls->ignoreSslErrors();
                    }
                });
        connect(tls, &QSslSocket::encrypted, client, pipe);
        // Connected to the address the relay's name resolved to, checked against the name.
        tls->connectToHostEncrypted(target, port, peerName);
    }

    QTcpServer server_{this};  // a child, so that it moves to the thread with the worker
    const QList<TurnTlsProxy::Relay> relays_;
    const bool force_;
};

}  // namespace

TurnTlsProxy::TurnTlsProxy(const QList<Relay>& relays, bool force) {
    auto* worker = new ProxyWorker(relays, force);
    worker->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, worker, &QObject::deleteLater);
    thread_.start();
    QMetaObject::invokeMethod(
        worker, [worker] { return worker->listen(); }, Qt::BlockingQueuedConnection, &port_);
}

TurnTlsProxy::~TurnTlsProxy() {
    stopAndJoin(thread_);
}
