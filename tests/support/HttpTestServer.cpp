#include "HttpTestServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QMutexLocker>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>

#include "TestCertificate.h"

namespace {

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

const int kMaxRequestBytes = 1 << 20;

}  // namespace

QByteArray HttpTestServer::Request::header(const QByteArray& name) const {
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) {
            return h.second;
        }
    }
    return {};
}

// Accepts connections on the server thread and answers one request per connection.
class HttpTestServer::Listener : public QTcpServer {
public:
    explicit Listener(HttpTestServer* owner) : owner_(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        owner_->countConnection();
        const bool tls = owner_->mode_ == Mode::Tls;
        QTcpSocket* socket = tls ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket,
                [this, socket, buffer, tls] { onReadyRead(socket, *buffer, tls); });
        if (tls) {
            auto* ssl = static_cast<QSslSocket*>(socket);
            ssl->setLocalCertificate(testcert::certificate());
            ssl->setPrivateKey(testcert::key());
            ssl->startServerEncryption();
        }
    }

private:
    void onReadyRead(QTcpSocket* socket, QByteArray& buffer, bool tls) {
        if (socket->property("answered").toBool()) {
            socket->readAll();
            return;
        }
        buffer += socket->readAll();
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (buffer.size() > kMaxRequestBytes) {
                socket->abort();
            }
            return;
        }

        Request request;
        request.tls = tls;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        request.path = QUrl::fromEncoded(request.target).path();
        int contentLength = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon <= 0) {
                continue;
            }
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        contentLength = request.header("Content-Length").toInt();
        if (contentLength < 0 || contentLength > kMaxRequestBytes) {
            socket->abort();
            return;
        }
        if (buffer.size() < headerEnd + 4 + contentLength) {
            return;
        }
        request.body = buffer.mid(headerEnd + 4, contentLength);
        buffer.clear();
        socket->setProperty("answered", true);

        owner_->record(request);
        const Response response = owner_->responseFor(request.path);
        if (response.delayMs < 0) {
            return;  // keep the connection open and silent
        }
        QTimer::singleShot(response.delayMs, socket, [socket, response] {
            QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                             reasonPhrase(response.status) + "\r\n";
            if (!response.contentType.isEmpty()) {
                out += "Content-Type: " + response.contentType + "\r\n";
            }
            for (const auto& h : response.headers) {
                out += h.first + ": " + h.second + "\r\n";
            }
            out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
            out += "Connection: close\r\n\r\n";
            out += response.body;
            socket->write(out);
            socket->disconnectFromHost();
        });
    }

    HttpTestServer* owner_;
};

HttpTestServer::HttpTestServer(Mode mode) : mode_(mode) {}

HttpTestServer::~HttpTestServer() {
    stop();
}

bool HttpTestServer::start() {
    if (listener_) {
        return true;
    }
    if (mode_ == Mode::Tls && (testcert::certificate().isNull() || testcert::key().isNull())) {
        return false;
    }
    thread_.setObjectName("HttpTestServer");
    thread_.start();
    context_ = new QObject;
    context_->moveToThread(&thread_);
    bool listening = false;
    QMetaObject::invokeMethod(
        context_,
        [this, &listening] {
            listener_ = new Listener(this);
            listening = listener_->listen(QHostAddress::LocalHost, 0);
            port_ = listener_->serverPort();
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        stop();
    }
    return listening;
}

void HttpTestServer::stop() {
    if (!thread_.isRunning()) {
        return;
    }
    QMetaObject::invokeMethod(
        context_,
        [this] {
            delete listener_;  // closes every connection with it
            listener_ = nullptr;
            context_->deleteLater();  // deleted when the thread finishes
        },
        Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    context_ = nullptr;
    port_ = 0;
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
    Response response;
    response.status = status;
    response.body = body;
    response.delayMs = delayMs;
    setRoute(path, response);
}

void HttpTestServer::clearRoutes() {
    QMutexLocker lock(&mutex_);
    routes_.clear();
}

QList<HttpTestServer::Request> HttpTestServer::requests() const {
    QMutexLocker lock(&mutex_);
    return requests_;
}

int HttpTestServer::requestCount(const QString& path) const {
    QMutexLocker lock(&mutex_);
    int count = 0;
    for (const Request& r : requests_) {
        count += r.path == path ? 1 : 0;
    }
    return count;
}

void HttpTestServer::clearRequests() {
    QMutexLocker lock(&mutex_);
    requests_.clear();
}

int HttpTestServer::connectionCount() const {
    QMutexLocker lock(&mutex_);
    return connections_;
}

bool HttpTestServer::waitForRequests(int count, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (requests().size() < count) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(5);
    }
    return true;
}

QSslCertificate HttpTestServer::certificate() {
    return testcert::certificate();
}

HttpTestServer::Response HttpTestServer::responseFor(const QString& path) const {
    QMutexLocker lock(&mutex_);
    const auto it = routes_.constFind(path);
    if (it != routes_.constEnd()) {
        return *it;
    }
    Response notFound;
    notFound.status = 404;
    notFound.contentType.clear();
    return notFound;
}

void HttpTestServer::record(const Request& request) {
    QMutexLocker lock(&mutex_);
    requests_.append(request);
}

void HttpTestServer::countConnection() {
    QMutexLocker lock(&mutex_);
    ++connections_;
}
