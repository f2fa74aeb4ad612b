#include "LinkTrust.h"

#include <QUrl>

namespace {

int defaultPort(const QString& scheme) {
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss")) {
        return 443;
    }
    if (scheme == QLatin1String("http") || scheme == QLatin1String("ws")) {
        return 80;
    }
    return -1;
}

}  // namespace

bool isSameServer(const QString& configuredUrl, const QString& linkUrl) {
    const QUrl a(configuredUrl, QUrl::StrictMode);
    const QUrl b(linkUrl, QUrl::StrictMode);
    if (!a.isValid() || !b.isValid() || a.host().isEmpty() || b.host().isEmpty()) {
        return false;
    }
    // QUrl lower-cases scheme and host already.
    const QString scheme = a.scheme();
    if (scheme.isEmpty() || scheme != b.scheme()) {
        return false;
    }
    if (a.host() != b.host()) {
        return false;
    }
    const int port = defaultPort(scheme);
    return a.port(port) == b.port(port);
}

QString foreignServerHost(const QString& configuredUrl, const QString& linkUrl) {
    if (isSameServer(configuredUrl, linkUrl)) {
        return {};
    }
    const QUrl url(linkUrl, QUrl::StrictMode);
    const QString host = url.host(QUrl::FullyEncoded);
    if (host.isEmpty()) {
        return linkUrl;
    }
    return url.port() == -1 ? host : QStringLiteral("%1:%2").arg(host).arg(url.port());
}

QString foreignServerHost(const GlobalSettings& settings) {
    return foreignServerHost(QString::fromStdString(settings.configuredServerUrl),
                             QString::fromStdString(settings.connectionParams.serverUrl));
}
