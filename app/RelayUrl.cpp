#include "RelayUrl.h"

#include <QRegularExpression>
#include <QUrl>

namespace {

// Host, optional port and optional transport after the scheme's separator.
const QString kAddress = QStringLiteral(
    "(\\[[0-9A-Fa-f:.]+\\]|[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?)(?::([0-9]{1,5}))?"
    "(?:\\?transport=([^&#]*))?");

std::optional<RelayServer> finish(RelayServer relay, const QString& port, const QString& transport,
                                  const char** why) {
    const auto fail = [why](const char* reason) {
        *why = reason;
        return std::nullopt;
    };
    relay.port = relay.tls ? 5349 : 3478;
    if (!port.isEmpty()) {
        bool ok = false;
        relay.port = port.toInt(&ok);
        if (!ok || relay.port < 1 || relay.port > 65535) {
            return fail("bad port");
        }
    }
    relay.transport = transport.toLower();
    // TLS runs over TCP only; DTLS to a relay is not offered by the ICE library.
    if (!relay.transport.isEmpty() && relay.transport != "tcp" &&
        (relay.tls || relay.transport != "udp")) {
        return fail("unknown transport");
    }
    if (relay.username.isEmpty() || relay.credential.isEmpty()) {
        return fail("no username or credential");
    }
    return relay;
}

}  // namespace

std::optional<RelayServer> parseRelayUrl(const QString& url, const QString& username,
                                         const QString& credential, const char** why) {
    static const QRegularExpression form(QStringLiteral("^(turns?):") + kAddress + "$",
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(url);
    if (!m.hasMatch()) {
        *why = "not a relay URL";
        return std::nullopt;
    }
    RelayServer relay;
    relay.tls = m.captured(1).size() == 5;
    relay.host = m.captured(2);
    relay.username = username;
    relay.credential = credential;
    return finish(relay, m.captured(3), m.captured(4), why);
}

std::optional<RelayServer> parseRelayUri(const QString& uri, const char** why) {
    static const QRegularExpression form(
        QStringLiteral("^(turns?)://([^@:/?#]*):([^@/?#]*)@") + kAddress + "$",
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(uri);
    if (!m.hasMatch()) {
        *why = "not turn(s)://USER:PASSWORD@HOST[:PORT][?transport=udp|tcp]";
        return std::nullopt;
    }
    RelayServer relay;
    relay.tls = m.captured(1).size() == 5;
    relay.username = QUrl::fromPercentEncoding(m.captured(2).toUtf8());
    relay.credential = QUrl::fromPercentEncoding(m.captured(3).toUtf8());
    relay.host = m.captured(4);
    return finish(relay, m.captured(5), m.captured(6), why);
}

std::string relayUri(const RelayServer& relay) {
    // Concatenated, not arg()-formatted: the encoded credentials hold "%2B" and the like.
    QString uri = QLatin1String(relay.tls ? "turns://" : "turn://") +
                  QUrl::toPercentEncoding(relay.username) + ':' +
                  QUrl::toPercentEncoding(relay.credential) + '@' + relay.host + ':' +
                  QString::number(relay.port);
    if (!relay.transport.isEmpty()) {
        uri += "?transport=" + relay.transport;
    }
    return uri.toStdString();
}

QString maskedUrl(const QString& url) {
    // Up to the last '@': a password may hold '@', '/' or '?' unencoded.
    static const QRegularExpression userInfo(
        QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*:(?://)?).*@"));
    QString masked = url;
    masked.replace(userInfo, QStringLiteral("\\1***@"));
    return masked;
}
