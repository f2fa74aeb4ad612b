#include "QtLocalPeer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <QtEndian>

#include "logger.h"

namespace {

// A second instance only ever sends a link; anything larger is not ours.
constexpr quint32 kMaxMessageBytes = 64 * 1024;
constexpr int kConnectTimeoutMs = 1000;
constexpr int kReceiveTimeoutMs = 5000;
const QByteArray kAck = QByteArrayLiteral("ack");

// A directory that belongs to this user and nobody else may enter, or false.
bool isPrivateDir(const QByteArray& path) {
    struct stat st;
    if (lstat(path.constData(), &st) != 0) {
        return false;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

QString privateDir() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateDir(runtime)) {
        return QFile::decodeName(runtime);
    }
    const QString dir =
        QDir::tempPath() +
        QStringLiteral("/kelvano-assistant-%1").arg(static_cast<qulonglong>(geteuid()));
    const QByteArray encoded = QFile::encodeName(dir);
    if (mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST) {
        cli_log(LL_ERROR, "QtLocalPeer: cannot create %s: %s\n", encoded.constData(),
                strerror(errno));
        return {};
    }
    struct stat st;
    if (lstat(encoded.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 077) != 0) {
        chmod(encoded.constData(), 0700);
    }
    if (!isPrivateDir(encoded)) {
        // Someone else owns it: a socket there could be theirs and would receive our links.
        cli_log(LL_ERROR, "QtLocalPeer: %s is not a private directory of this user\n",
                encoded.constData());
        return {};
    }
    return dir;
}

QString socketFileName(const QString& appId) {
    QString name;
    for (const QChar c : appId) {
        name += c.isLetterOrNumber() ? c.toLower() : QLatin1Char('-');
    }
    return name + QStringLiteral("-%1.sock").arg(static_cast<qulonglong>(geteuid()));
}

bool connectTo(QLocalSocket& socket, const QString& path, int timeoutMs) {
    socket.connectToServer(path);
    return socket.waitForConnected(timeoutMs);
}

}  // namespace

QtLocalPeer::QtLocalPeer(QObject* parent, const QString& appId) : QObject(parent) {
    const QString dir = privateDir();
    if (!dir.isEmpty()) {
        socketPath = dir + QLatin1Char('/') + socketFileName(appId);
    }
}

QtLocalPeer::~QtLocalPeer() {
    // Before the members go: closing the clients' sockets reports into `pending`.
    delete server;  // also removes the socket file
}

bool QtLocalPeer::isClient() {
    if (server) {
        return false;
    }
    if (socketPath.isEmpty()) {
        return false;  // no safe place for a socket: run alone
    }

    // Two starts at the same moment must not both remove the other's socket and listen.
    QLockFile lock(socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(kConnectTimeoutMs)) {
        cli_log(LL_WARNING, "QtLocalPeer: lock %s not taken, deciding without it\n",
                QFile::encodeName(socketPath + QStringLiteral(".lock")).constData());
    }

    QLocalSocket probe;
    if (connectTo(probe, socketPath, kConnectTimeoutMs)) {
        probe.abort();
        return true;
    }

    // Nobody answers: whatever is there was left by an instance that died.
    QLocalServer::removeServer(socketPath);
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath)) {
        cli_log(LL_ERROR, "QtLocalPeer: cannot listen on %s: %s\n",
                QFile::encodeName(socketPath).constData(),
                server->errorString().toLocal8Bit().constData());
        delete server;
        server = nullptr;
        return false;
    }
    connect(server, &QLocalServer::newConnection, this, &QtLocalPeer::onNewConnection);
    return false;
}

bool QtLocalPeer::sendMessage(const QString& message, int timeoutMs) {
    if (socketPath.isEmpty() || server) {
        return false;
    }
    const QByteArray payload = message.toUtf8();
    if (static_cast<quint32>(payload.size()) > kMaxMessageBytes) {
        cli_log(LL_ERROR, "QtLocalPeer: message of %d bytes is too long\n", payload.size());
        return false;
    }

    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return qMax(0, timeoutMs - static_cast<int>(clock.elapsed())); };

    QLocalSocket socket;
    if (!connectTo(socket, socketPath, timeoutMs)) {
        return false;
    }
    QByteArray frame(4, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(payload.size()), frame.data());
    frame += payload;
    socket.write(frame);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(left())) {
            return false;
        }
    }
    QByteArray reply;
    while (reply.size() < kAck.size()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(left())) {
            break;
        }
        reply += socket.readAll();
    }
    socket.disconnectFromServer();
    return reply.startsWith(kAck);
}

void QtLocalPeer::onNewConnection() {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        pending.insert(socket, {});
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            pending.remove(socket);
            socket->deleteLater();
        });
        // A client that never finishes its message does not hold the socket forever.
        QTimer::singleShot(kReceiveTimeoutMs, socket, [socket] { socket->abort(); });
        onReadyRead(socket);
    }
}

void QtLocalPeer::onReadyRead(QLocalSocket* socket) {
    auto it = pending.find(socket);
    if (it == pending.end()) {
        return;
    }
    QByteArray& buffer = it.value();
    buffer += socket->readAll();
    if (buffer.size() < 4) {
        return;
    }
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    if (length > kMaxMessageBytes) {
        cli_log(LL_WARNING, "QtLocalPeer: dropping a message of %u bytes\n", length);
        pending.erase(it);
        socket->abort();
        return;
    }
    if (static_cast<quint32>(buffer.size()) - 4 < length) {
        return;
    }
    const QString message = QString::fromUtf8(buffer.constData() + 4, static_cast<int>(length));
    pending.erase(it);
    socket->write(kAck);
    socket->flush();
    socket->disconnectFromServer();
    emit messageReceived(message);
}
