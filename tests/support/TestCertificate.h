// The self-signed certificate of the test servers: CN and IP address 127.0.0.1, made once per
// process with the openssl tool. Null when that fails.
#pragma once

#include <QSslConfiguration>

namespace testcert {

QSslCertificate certificate();
// A server's configuration with the certificate and its key, asking the client for nothing.
QSslConfiguration serverConfiguration();

}  // namespace testcert
