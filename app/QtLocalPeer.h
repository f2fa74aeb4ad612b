// One instance per user and application id: the first process listens on a local socket, later
// ones hand it a text message and exit.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

class QtLocalPeer : public QObject {
    Q_OBJECT
public:
    // The socket lives in a directory only the user can enter ($XDG_RUNTIME_DIR when it is
    // private, else a 0700 directory under the temporary directory) and its name holds the uid.
    QtLocalPeer(QObject* parent, const QString& appId);
    ~QtLocalPeer() override;

    // True when another instance owns the id. The first call decides: when nobody answers on the
    // socket (none there, or one left by a crashed instance) this process starts listening.
    bool isClient();

    // Sends a message to the first instance; true when it acknowledged it within timeoutMs.
    bool sendMessage(const QString& message, int timeoutMs);

    // Full path of the local socket, or empty when no private directory could be had.
    QString serverName() const { return socketPath; }

signals:
    void messageReceived(const QString& message);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket* socket);

    QString socketPath;
    QLocalServer* server = nullptr;
    QHash<QLocalSocket*, QByteArray> pending;
};
