// Synchronous JSON-over-HTTP client for the management server's API.
#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

class QNetworkReply;
class QNetworkRequest;

// Outcome of the latest request.
enum class ApiRequestState {
    Pending = 0,  // a GET is out and its reply has not been processed
    Idle = 1,     // no request yet
    Done = 2,     // accepted status code; replyData holds the body
    Failed = 3,   // network error, unreadable or refused status code
    TimedOut = 4  // no reply within timeoutMs
};

class ServerApi : public QObject {
    Q_OBJECT

public:
    ServerApi(QObject* parent, const QString& baseUrl);
    ~ServerApi() override;

    // One GET of baseUrl + path, waited for while the calling thread's events are processed.
    // Answers from cachedReply when it holds a document, whatever the path. Null on failure.
    QJsonDocument makeApiRequestSync(const QString& path);

    static const char* statusCodeToText(int code);

    // The session-settings resolution works on these directly.
    QSslConfiguration sslConfig;
    QNetworkAccessManager manager;
    QString baseUrl;
    qint64 timeoutMs = 3000;
    ApiRequestState requestState = ApiRequestState::Idle;
    QByteArray replyData;
    QJsonDocument cachedReply;
    // Option "force": certificate errors are ignored (and logged) instead of failing the request.
    bool disableSsl = false;

signals:
    void requestedData(QByteArray data);

public slots:
    void processReply(QNetworkReply* reply);

private:
    void makeApiRequestAsync(const QString& path);
    void onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    static QString dumpRequest(const QNetworkRequest& request);
    QString dumpResponse(QNetworkReply* reply, int statusCode) const;

protected:
    // The one reply the wait loop is waiting for; any other finished reply is stale.
    QNetworkReply* currentReply = nullptr;
};
