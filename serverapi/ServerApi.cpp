#include "ServerApi.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslSocket>
#include <QThread>
#include <QUrl>

#include "AppInfo.h"
#include "RelayUrl.h"
#include "logger.h"

namespace {

const char* const kTag = "ServerApi";

// Discovery and settings documents are a few kilobytes; a server sending more is not trusted to
// stop, and the whole body would be held in memory and logged.
const qint64 kMaxReplyBytes = 1024 * 1024;
const char* const kOversized = "kelvanoOversized";

// Header names and values as Latin-1 text up to the first NUL byte.
QString latin1(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.constData());
}

// Relay credentials in a logged reply, at any depth: "username", "credential" and the user
// information of relay URLs ("urls").
QJsonValue withoutSecrets(const QJsonValue& value, bool url = false) {
    if (value.isArray()) {
        QJsonArray out;
        for (const QJsonValue& v : value.toArray()) {
            out.append(withoutSecrets(v, url));
        }
        return out;
    }
    if (value.isObject()) {
        QJsonObject out;
        const QJsonObject in = value.toObject();
        for (auto it = in.begin(); it != in.end(); ++it) {
            const QString& key = it.key();
            out.insert(key, key == QLatin1String("credential") || key == QLatin1String("username")
                                ? QJsonValue("***")
                                : withoutSecrets(*it, key == QLatin1String("urls")));
        }
        return out;
    }
    return url && value.isString() ? QJsonValue(maskedUrl(value.toString())) : value;
}

// A body that is not JSON is logged as text: its secrets go as far as they can be found.
QString textWithoutSecrets(QString text) {
    static const QRegularExpression secret(QStringLiteral(
        "(\"(?:credential|username)\"\\s*:\\s*)(\"(?:[^\"\\\\]|\\\\.)*\"?|[^,}\\s]*)"));
    return text.replace(secret, QStringLiteral("\\1\"***\""));
}

}  // namespace

ServerApi::ServerApi(QObject* parent, const QString& baseUrl)
    : QObject(parent), sslConfig(QSslConfiguration::defaultConfiguration()), baseUrl(baseUrl) {
    // The certificate is checked against the system's trust store; errors fail the request
    // unless the user asked for "force".
    sslConfig.setPeerVerifyMode(QSslSocket::VerifyPeer);
    connect(&manager, &QNetworkAccessManager::sslErrors, this, &ServerApi::onSslErrors);
    connect(&manager, &QNetworkAccessManager::finished, this, &ServerApi::processReply);
}

ServerApi::~ServerApi() {
    // The manager is destroyed before QObject's part of this object; no slot may run then.
    manager.disconnect(this);
    if (currentReply) {
        currentReply->abort();
        currentReply = nullptr;
    }
}

QJsonDocument ServerApi::makeApiRequestSync(const QString& path) {
    if (!cachedReply.isEmpty()) {
        return cachedReply;
    }

    makeApiRequestAsync(path);

    QElapsedTimer timer;
    timer.start();
    while (requestState == ApiRequestState::Pending) {
        QThread::msleep(1);
        QCoreApplication::processEvents();
        if (requestState == ApiRequestState::Pending && timer.elapsed() > timeoutMs) {
            requestState = ApiRequestState::TimedOut;
            // Abandon the reply so that a late answer can never be taken for a later request.
            QNetworkReply* late = currentReply;
            currentReply = nullptr;
            if (late) {
                late->abort();
            }
        }
    }

    if (requestState != ApiRequestState::Done) {
        return {};
    }

    QJsonParseError parseError{};
    QJsonDocument doc = QJsonDocument::fromJson(replyData, &parseError);
    if (!doc.isNull() && parseError.error == QJsonParseError::NoError) {
        cachedReply = doc;
        return doc;
    }
    cli_log(LL_ERROR, "%s: Server return invalid JSON: %s\n", kTag,
            parseError.errorString().toUtf8().constData());
    cli_log(LL_ERROR, "%s: Error occurred on position %d\n", kTag, parseError.offset);
    return doc;
}

void ServerApi::makeApiRequestAsync(const QString& path) {
    QNetworkRequest request;
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json; charset=utf-8");
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("%1/%2").arg(kAppName, kAppVersion));
    request.setUrl(QUrl(baseUrl + path, QUrl::TolerantMode));
    request.setSslConfiguration(sslConfig);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);

    requestState = ApiRequestState::Pending;
    QNetworkReply* reply = manager.get(request);
    currentReply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > kMaxReplyBytes) {
            cli_log(LL_ERROR, "%s: Reply is longer than %lld bytes, request aborted\n", kTag,
                    static_cast<long long>(kMaxReplyBytes));
            reply->setProperty(kOversized, true);
            reply->abort();
        }
    });

    cli_log(LL_INFO, "%s: %s\n", kTag, dumpRequest(request).toUtf8().constData());
}

void ServerApi::processReply(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply != currentReply) {
        return;  // abandoned after a time-out
    }
    currentReply = nullptr;

    // Qt may already have taken the whole body when the abort comes; it is refused all the same.
    if (reply->property(kOversized).toBool()) {
        requestState = ApiRequestState::Failed;
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        cli_log(LL_ERROR, "%s: GET request return error: %s\n", kTag,
                reply->errorString().toUtf8().constData());
        requestState = ApiRequestState::Failed;
        return;
    }

    if (reply->isReadable()) {
        replyData = reply->readAll();
    } else {
        replyData.clear();
        cli_log(LL_ERROR, "%s: HTTP reply unreadable\n", kTag);
    }

    bool codeOk = false;
    const int code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(&codeOk);
    cli_log(LL_INFO, "%s: %s\n", kTag, dumpResponse(reply, code).toUtf8().constData());

    if (!codeOk) {
        cli_log(LL_ERROR, "%s: Error reading GET return code\n", kTag);
        requestState = ApiRequestState::Failed;
        return;
    }
    if (code == 200 || code == 301 || code == 308) {
        requestState = ApiRequestState::Done;
        emit requestedData(replyData);
        return;
    }
    cli_log(LL_ERROR, "%s: GET request return code = %d\n", kTag, code);
    requestState = ApiRequestState::Failed;
}

void ServerApi::onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors) {
    for (const QSslError& error : errors) {
        cli_log(LL_WARNING, "%s: SSL error: %s\n", kTag, error.errorString().toUtf8().constData());
    }
    // Without "force" the handshake fails here and the request is never sent.
    if (disableSsl) {
        reply->ignoreSslErrors(errors);
    }
}

QString ServerApi::dumpRequest(const QNetworkRequest& request) {
    QString text = QStringLiteral("\nHTTP Request:\n URL: ") + request.url().toString();
    text += QStringLiteral("\n Method: ") + QStringLiteral("GET");
    text += QStringLiteral("\n Headers:");
    for (const QByteArray& name : request.rawHeaderList()) {
        text += QStringLiteral("\n  %1: %2").arg(latin1(name), latin1(request.rawHeader(name)));
    }
    text += QStringLiteral("\n");
    return text;
}

QString ServerApi::dumpResponse(QNetworkReply* reply, int statusCode) const {
    QString text = QStringLiteral("\nHTTP Response:\n URL: ") + reply->url().toString();
    text += QStringLiteral("\n   Code status: %1 (").arg(statusCode);
    text += QString::fromLatin1(statusCodeToText(statusCode));
    text += QStringLiteral(") \n Headers: ");
    for (const auto& header : reply->rawHeaderPairs()) {
        text += QStringLiteral("\n  %1: %2").arg(latin1(header.first), latin1(header.second));
    }

    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(replyData, &parseError);
    if (doc.isNull() || parseError.error != QJsonParseError::NoError) {
        text += QStringLiteral("\n Body: %1 \n").arg(textWithoutSecrets(latin1(replyData)));
    } else {
        const QJsonDocument shown = doc.isArray()
                                        ? QJsonDocument(withoutSecrets(doc.array()).toArray())
                                        : QJsonDocument(withoutSecrets(doc.object()).toObject());
        QString body = QString::fromUtf8(shown.toJson(QJsonDocument::Indented));
        body.replace(QStringLiteral("    "), QStringLiteral(" "));
        text += QStringLiteral("\n Body: \n%1 \n").arg(body);
    }
    return text;
}

const char* ServerApi::statusCodeToText(int code) {
    switch (code) {
        case 200:
            return "Ok";
        case 201:
            return "Created";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 305:
            return "Use Proxy";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        default:
            return "Unknown code";
    }
}
