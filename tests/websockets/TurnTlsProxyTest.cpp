// The proxy that gives libnice TLS to its relays: what it answers a CONNECT, against real servers.
#include <gtest/gtest.h>

#include <QTcpSocket>

#include "HttpTestServer.h"
#include "LogCapture.h"
#include "TurnTlsProxy.h"
#include "WaitFor.h"

namespace {

// A relay it was not given is refused; one whose certificate is not trusted is refused, the reason
// logged, unless "force", and the tunnel then speaks TLS to it (the server's own answer comes
// back); a relay over TCP is tunnelled as it is.
TEST(TurnTlsProxy, ConnectsOnlyToItsRelaysAndChecksTheirCertificates) {
    HttpTestServer tls(HttpTestServer::Mode::Tls), plain;
    ASSERT_TRUE(tls.start() && plain.start());
    for (HttpTestServer* server : {&tls, &plain}) {
        server->setRoute("/x", 200, "through");
    }
    const struct {
        const char* what;
        HttpTestServer& relay;  // the one given to the proxy
        bool force;
        HttpTestServer& asked;
        const char* answer;  // to CONNECT; null: the connection is closed
    } rows[] = {
        {"not a relay", plain, false, tls, "HTTP/1.0 403"},
        {"untrusted", tls, false, tls, nullptr},
        {"untrusted, force", tls, true, tls, "HTTP/1.0 200"},
        {"over TCP", plain, false, plain, "HTTP/1.0 200"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        LogCapture log;
        TurnTlsProxy proxy({{"127.0.0.1", row.relay.port(), &row.relay == &tls}}, row.force);
        ASSERT_NE(proxy.port(), 0);
        QTcpSocket client;
        client.connectToHost("127.0.0.1", proxy.port());
        client.write(QByteArray("CONNECT 127.0.0.1:") + QByteArray::number(row.asked.port()) +
                     " HTTP/1.0\r\nHost: x\r\n\r\n");
        QByteArray got;
        const auto read = [&] {
            got += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        };
        waitFor([&] { return read() || got.contains("\r\n\r\n"); }, 5000);
        EXPECT_EQ(got.left(12), QByteArray(row.answer ? row.answer : ""));
        EXPECT_EQ(log.contains("Relay 127.0.0.1: TLS: "), &row.relay == &tls);
        if (row.answer && got.startsWith("HTTP/1.0 200")) {
            client.write("GET /x HTTP/1.0\r\n\r\n");
            EXPECT_TRUE(waitFor([&] { return read() || got.endsWith("through"); }, 5000) &&
                        got.endsWith("through"));
        }
    }
}

}  // namespace
