#include "TestCertificate.h"

#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>

namespace testcert {
namespace {

struct Identity {
    QSslCertificate certificate;
    QSslKey key;
};

Identity make() {
    Identity identity;
    QTemporaryDir dir;
    const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
    const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(
        QStringLiteral("openssl"),
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-addext",
         "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout", keyPath, "-out", certPath});
    if (!dir.isValid() || !openssl.waitForFinished(60000) ||
        openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        qWarning("test certificate: openssl failed: %s", openssl.readAll().constData());
        return identity;
    }
    QFile certFile(certPath);
    QFile keyFile(keyPath);
    if (certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly)) {
        identity.certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
        identity.key = QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem);
    }
    return identity;
}

const Identity& identity() {
    static const Identity made = make();
    return made;
}

}  // namespace

QSslCertificate certificate() {
    return identity().certificate;
}

QSslKey key() {
    return identity().key;
}

QSslConfiguration serverConfiguration() {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(certificate());
    config.setPrivateKey(key());
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    return config;
}

}  // namespace testcert
