// TURN relay addresses: the forms a server or the environment gives, the one webrtcbin takes,
// and the form that may be logged.
#pragma once

#include <QString>
#include <optional>
#include <string>

struct RelayServer {
    bool tls = false;   // "turns"
    QString host;       // IPv4 address, host name or bracketed IPv6 address
    int port = 0;       // 3478, or 5349 for TLS, when none was given
    QString transport;  // "udp", "tcp" or empty (both)
    QString username;
    QString credential;
};

// The browser form: "turn:" or "turns:", host, optional port, optional "?transport=udp|tcp", with
// the credentials given beside it. Nothing, with the reason in `why`, when it is not usable.
std::optional<RelayServer> parseRelayUrl(const QString& url, const QString& username,
                                         const QString& credential, const char** why);

// The webrtcbin form, "turn(s)://USER:PASSWORD@HOST[:PORT][?transport=udp|tcp]", USER and
// PASSWORD percent-encoded where they hold ':', '@' and the like.
std::optional<RelayServer> parseRelayUri(const QString& uri, const char** why);
std::string relayUri(const RelayServer& relay);

// Any URL with its user information replaced by "***": what the log may show.
QString maskedUrl(const QString& url);
