#include "TestCertificate.h"

#include <QFile>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>

namespace testcert {

QSslConfiguration serverConfiguration() {
    static const QSslConfiguration made = [] {
        QTemporaryDir dir;
        const QString cert = dir.filePath(QStringLiteral("cert.pem"));
        QFile key(dir.filePath(QStringLiteral("key.pem")));
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(
            QStringLiteral("openssl"),
            {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-addext",
             "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout", key.fileName(), "-out", cert});
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0 ||
            !key.open(QIODevice::ReadOnly)) {
            qWarning("test certificate: openssl failed: %s", openssl.readAll().constData());
            return config;
        }
        config.setLocalCertificate(QSslCertificate::fromPath(cert).value(0));
        config.setPrivateKey(QSslKey(&key, QSsl::Rsa));
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        return config;
    }();
    return made;
}

QSslCertificate certificate() {
    return serverConfiguration().localCertificate();
}

}  // namespace testcert
