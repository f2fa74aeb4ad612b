// TLS to the relays that ask for it ("turns:"), which libnice cannot speak itself: libnice reaches
// every TCP relay through this HTTP CONNECT proxy on 127.0.0.1, which wraps the connection to a
// TLS relay in TLS and checks the relay's certificate as the HTTPS client does (refused unless
// "force"). It connects to the relays it was given, nowhere else.
#pragma once

#include <QList>
#include <QString>
#include <QThread>

class TurnTlsProxy {
public:
    struct Relay {
        QString host;  // as the server named it: the name the certificate must carry
        quint16 port = 0;
        bool tls = false;
    };

    TurnTlsProxy(const QList<Relay>& relays, bool force);
    ~TurnTlsProxy();  // closes every tunnel and joins the proxy's thread

    TurnTlsProxy(const TurnTlsProxy&) = delete;
    TurnTlsProxy& operator=(const TurnTlsProxy&) = delete;

    // Where it listens; 0 when it could not.
    quint16 port() const { return port_; }

private:
    QThread thread_;  // the proxy's sockets live on it
    quint16 port_ = 0;
};
