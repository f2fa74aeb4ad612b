// A real HTTP/1.1 server on 127.0.0.1 (port 0) on its own thread, plain or TLS with the test
// certificate. Each test sets routes (status, body, headers, delay) and reads back the paths asked.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QThread>

class QTcpSocket;

class HttpTestServer {
public:
    enum class Mode { Plain, Tls };

    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;  // extra headers, e.g. Location
        int delayMs = 0;                               // wait before answering; < 0: never answer
        quint16 tunnelTo = 0;  // else the connection is handed, as it is, to this local port
    };
    struct Request {
        QString path;  // query left out
    };

    explicit HttpTestServer(Mode mode = Mode::Plain) : mode_(mode) {}
    ~HttpTestServer() { stop(); }

    bool start();
    void stop() {
        thread_.quit();
        thread_.wait();
    }

    quint16 port() const { return port_; }
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT", no trailing slash.
    QString baseUrl() const {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(mode_ == Mode::Tls ? "https" : "http")
            .arg(port_);
    }

    // Exact match on the path. Paths without a route answer 404.
    void setRoute(const QString& path, const Response& response);
    void setRoute(const QString& path, int status, const QByteArray& body, int delayMs = 0) {
        setRoute(path, Response{status, body, {}, delayMs});
    }

    QList<Request> requests() const;
    int requestCount(const QString& path) const;
    void clearRequests();

private:
    struct Listener;
    void answer(QTcpSocket* socket);

    const Mode mode_;
    quint16 port_ = 0;
    QThread thread_;

    mutable QMutex mutex_;
    QMap<QString, Response> routes_;
    QList<Request> requests_;
};
