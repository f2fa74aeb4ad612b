#include "HttpTestServer.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <memory>

#include "TestCertificate.h"

namespace {

// Hands each accepted connection to `accept`, as a server-side TLS socket in TLS mode.
class Listener : public QTcpServer {
public:
    Listener(bool tls, std::function<void(QTcpSocket*)> accept) : tls_(tls), accept_(accept) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        accept_(socket);
        if (tls_) {
            auto* ssl = static_cast<QSslSocket*>(socket);
            ssl->setLocalCertificate(testcert::certificate());
            ssl->setPrivateKey(testcert::key());
            ssl->startServerEncryption();
        }
    }

private:
    const bool tls_;
    const std::function<void(QTcpSocket*)> accept_;
};

}  // namespace

bool HttpTestServer::start() {
    if (mode_ == Mode::Tls && testcert::certificate().isNull()) {
        return false;
    }
    thread_.start();
    auto* context = new QObject;  // to run the set-up on the server's thread
    context->moveToThread(&thread_);
    bool listening = false;
    QMetaObject::invokeMethod(
        context,
        [this, &listening, context] {
            listener_ = new Listener(mode_ == Mode::Tls, [this](QTcpSocket* socket) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket, buffer] { answer(socket, *buffer); });
            });
            listening = listener_->listen(QHostAddress::LocalHost, 0);
            port_ = listener_->serverPort();
            context->deleteLater();
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        stop();
    }
    return listening;
}

void HttpTestServer::stop() {
    if (listener_) {
        // Deleting the listener on its thread closes every connection with it.
        QMetaObject::invokeMethod(
            listener_, [this] { delete listener_; }, Qt::BlockingQueuedConnection);
        listener_ = nullptr;
    }
    thread_.quit();
    thread_.wait();
    port_ = 0;
}

// One request per connection: its head is enough, as no client here sends a body.
void HttpTestServer::answer(QTcpSocket* socket, QByteArray& buffer) {
    buffer += socket->readAll();
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0 || socket->property("answered").toBool()) {
        return;
    }
    socket->setProperty("answered", true);
    const QString path = QUrl::fromEncoded(buffer.left(headEnd).split(' ').value(1)).path();
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
