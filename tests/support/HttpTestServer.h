// A real HTTP/1.1 server on 127.0.0.1 (port 0) running on its own thread inside the test
// process, plain or TLS with a self-signed certificate made at test time. Each test sets routes
// (status, body, headers, delay) and reads back the requests the server saw.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QPair>
#include <QSslCertificate>
#include <QString>
#include <QThread>
#include <memory>

class QObject;

class HttpTestServer {
public:
    enum class Mode { Plain, Tls };

    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        QList<QPair<QByteArray, QByteArray>> headers;  // extra headers, e.g. Location
        int delayMs = 0;                               // wait before answering; < 0: never answer
    };

    struct Request {
        QByteArray method;
        QByteArray target;  // as on the request line, query included
        QString path;       // target without the query
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        bool tls = false;
        // Value of a header, name compared without case; empty when absent.
        QByteArray header(const QByteArray& name) const;
    };

    explicit HttpTestServer(Mode mode = Mode::Plain);
    ~HttpTestServer();  // stops the server and joins its thread
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Listens on 127.0.0.1 with a port chosen by the system. False when that fails.
    bool start();
    void stop();

    quint16 port() const { return port_; }
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT", no trailing slash.
    QString baseUrl() const;

    // Exact match on the path (query ignored). Paths without a route answer 404.
    void setRoute(const QString& path, const Response& response);
    void setRoute(const QString& path, int status, const QByteArray& body, int delayMs = 0);
    void clearRoutes();

    QList<Request> requests() const;
    int requestCount(const QString& path) const;
    void clearRequests();
    // TCP connections accepted so far (TLS ones included, whether or not the handshake worked).
    int connectionCount() const;
    // Processes the caller's events until the server has seen `count` requests, or the time is up.
    bool waitForRequests(int count, int timeoutMs = 5000) const;

    // The self-signed certificate of the TLS mode (CN and IP address 127.0.0.1), made once per
    // process with the openssl tool.
    static QSslCertificate certificate();

private:
    class Listener;
    friend class Listener;

    Response responseFor(const QString& path) const;
    void record(const Request& request);
    void countConnection();

    const Mode mode_;
    quint16 port_ = 0;
    QThread thread_;
    QObject* context_ = nullptr;    // lives on thread_
    Listener* listener_ = nullptr;  // lives on thread_

    mutable QMutex mutex_;
    QMap<QString, Response> routes_;
    QList<Request> requests_;
    int connections_ = 0;
};
