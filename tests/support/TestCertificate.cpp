#include "TestCertificate.h"

#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>
#include <utility>

namespace testcert {

static const std::pair<QSslCertificate, QSslKey>& identity() {
    static const auto made = [] {
        QTemporaryDir dir;
        QFile cert(dir.filePath(QStringLiteral("cert.pem")));
        QFile key(dir.filePath(QStringLiteral("key.pem")));
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                       "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout",
                       key.fileName(), "-out", cert.fileName()});
        if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
            openssl.exitCode() != 0 || !cert.open(QIODevice::ReadOnly) ||
            !key.open(QIODevice::ReadOnly)) {
            qWarning("test certificate: openssl failed: %s", openssl.readAll().constData());
            return std::pair<QSslCertificate, QSslKey>();
        }
        return std::pair(QSslCertificate(cert.readAll(), QSsl::Pem),
                         QSslKey(key.readAll(), QSsl::Rsa, QSsl::Pem));
    }();
    return made;
}

QSslCertificate certificate() {
    return identity().first;
}

QSslKey key() {
    return identity().second;
}

QSslConfiguration serverConfiguration() {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(certificate());
    config.setPrivateKey(key());
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    return config;
}

}  // namespace testcert
