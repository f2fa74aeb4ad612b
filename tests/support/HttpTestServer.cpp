#include "HttpTestServer.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "TestCertificate.h"

// Hands each connection's data to `answer`; its QSslSocket stays plain unless in TLS mode.
struct HttpTestServer::Listener : QTcpServer {
    explicit Listener(HttpTestServer& server) : server(server) {}
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { server.answer(socket); });
        if (server.mode_ == Mode::Tls) {
            socket->setSslConfiguration(testcert::serverConfiguration());
            socket->startServerEncryption();
        }
    }
    HttpTestServer& server;
};

bool HttpTestServer::start() {
    // The certificate is made now, not while a client's time-out runs.
    if (mode_ == Mode::Tls && testcert::certificate().isNull()) {
        return false;
    }
    auto* listener = new Listener(*this);
    if (!listener->listen(QHostAddress::LocalHost, 0)) {
        delete listener;
        return false;
    }
    port_ = listener->serverPort();
    listener->moveToThread(&thread_);
    // Deleted on its thread as the thread ends, with every connection.
    QObject::connect(&thread_, &QThread::finished, listener, &QObject::deleteLater);
    thread_.start();
    return true;
}

// One request per connection: its head is enough, as no client here sends a body.
void HttpTestServer::answer(QTcpSocket* socket) {
    const QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    socket->setProperty("head", head);
    const int headEnd = head.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return;
    }
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const QString path = QUrl::fromEncoded(head.left(headEnd).split(' ').value(1)).path();
    QMutexLocker lock(&mutex_);
    requests_.append({path});
    const Response response = routes_.value(path, Response{404, {}, {}, 0});
    lock.unlock();
    if (response.delayMs < 0) {
        return;  // the connection stays open and silent
    }
    if (response.tunnelTo) {
        // A WebSocket server of the test's behind this API: both sides see one server.
        auto* peer = new QTcpSocket(socket);
        QObject::connect(peer, &QTcpSocket::connected, socket, [socket, peer, head] {
            peer->write(head);
            QObject::connect(socket, &QTcpSocket::readyRead, peer, [socket, peer] {
                if (peer->state() == QAbstractSocket::ConnectedState) {
                    peer->write(socket->readAll());
                }
            });
        });
        QObject::connect(peer, &QTcpSocket::readyRead, socket, [socket, peer] {
            if (socket->state() == QAbstractSocket::ConnectedState) {
                socket->write(peer->readAll());
            }
        });
        QObject::connect(peer, &QTcpSocket::disconnected, socket, &QTcpSocket::disconnectFromHost);
        QObject::connect(socket, &QTcpSocket::disconnected, peer, &QTcpSocket::disconnectFromHost);
        peer->connectToHost(QHostAddress::LocalHost, response.tunnelTo);
        return;
    }
    QTimer::singleShot(response.delayMs, socket, [socket, response] {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
        for (const auto& h : response.headers) {
            out += h.first + ": " + h.second + "\r\n";
        }
        socket->write(out + "Content-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n" +
                      response.body);
        socket->disconnectFromHost();
    });
}

void HttpTestServer::setRoute(const QString& path, const Response& response) {
    QMutexLocker lock(&mutex_);
    routes_.insert(path, response);
}

QList<HttpTestServer::Request> HttpTestServer::requests() const {
    QMutexLocker lock(&mutex_);
    return requests_;
}

int HttpTestServer::requestCount(const QString& path) const {
    const QList<Request> all = requests();
    return int(std::count_if(all.begin(), all.end(), [&](auto& r) { return r.path == path; }));
}

void HttpTestServer::clearRequests() {
    QMutexLocker lock(&mutex_);
    requests_.clear();
}
