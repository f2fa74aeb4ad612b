#include "HttpTestServer.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <functional>

#include "TestCertificate.h"

namespace {

// Hands each accepted connection's data to `answer`, over server-side TLS in TLS mode.
class Listener : public QTcpServer {
public:
    Listener(bool tls, std::function<void(QTcpSocket*)> answer) : tls_(tls), answer_(answer) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer_(socket); });
        if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
            ssl->setSslConfiguration(testcert::serverConfiguration());
            ssl->startServerEncryption();
        }
    }

private:
    const bool tls_;
    const std::function<void(QTcpSocket*)> answer_;
};

}  // namespace

bool HttpTestServer::start() {
    if (mode_ == Mode::Tls && testcert::certificate().isNull()) {
        return false;
    }
    auto* listener = new Listener(mode_ == Mode::Tls, [this](QTcpSocket* s) { answer(s); });
    if (!listener->listen(QHostAddress::LocalHost, 0)) {
        delete listener;
        return false;
    }
    port_ = listener->serverPort();
    listener->moveToThread(&thread_);
    listener_ = listener;
    thread_.start();
    return true;
}

void HttpTestServer::stop() {
    if (listener_) {
        // Deleted on its thread as the thread ends, with every connection.
        listener_->deleteLater();
        listener_ = nullptr;
    }
    thread_.quit();
    thread_.wait();
    port_ = 0;
}

// One request per connection: its head is enough, as no client here sends a body.
void HttpTestServer::answer(QTcpSocket* socket) {
    const QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    socket->setProperty("head", head);
    const int headEnd = head.indexOf("\r\n\r\n");
    if (headEnd < 0 || socket->property("answered").toBool()) {
        return;
    }
    socket->setProperty("answered", true);
    const QString path = QUrl::fromEncoded(head.left(headEnd).split(' ').value(1)).path();
    Response response;
    {
        QMutexLocker lock(&mutex_);
        requests_.append({path});
        response = routes_.value(path, Response{404, {}, {}, 0});
    }
    if (response.delayMs < 0) {
        return;  // the connection stays open and silent
    }
    QTimer::singleShot(response.delayMs, socket, [socket, response] {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) +
                         " Status\r\nContent-Type: application/json\r\n";
        for (const auto& h : response.headers) {
            out += h.first + ": " + h.second + "\r\n";
        }
        out += "Content-Length: " + QByteArray::number(response.body.size()) +
               "\r\nConnection: close\r\n\r\n" + response.body;
        socket->write(out);
        socket->disconnectFromHost();
    });
}

QString HttpTestServer::baseUrl() const {
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(mode_ == Mode::Tls ? "https" : "http")
        .arg(port_);
}

void HttpTestServer::setRoute(const QString& path, const Response& response) {
    QMutexLocker lock(&mutex_);
    routes_.insert(path, response);
}

void HttpTestServer::setRoute(const QString& path, int status, const QByteArray& body,
                              int delayMs) {
    setRoute(path, Response{status, body, {}, delayMs});
}

QList<HttpTestServer::Request> HttpTestServer::requests() const {
    QMutexLocker lock(&mutex_);
    return requests_;
}

int HttpTestServer::requestCount(const QString& path) const {
    QMutexLocker lock(&mutex_);
    return int(std::count_if(requests_.begin(), requests_.end(),
                             [&](const Request& r) { return r.path == path; }));
}

void HttpTestServer::clearRequests() {
    QMutexLocker lock(&mutex_);
    requests_.clear();
}
