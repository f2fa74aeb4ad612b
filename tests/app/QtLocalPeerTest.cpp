#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include "QtLocalPeer.h"

namespace {

// Each test gets its own private runtime directory, so parallel suites never meet.
class QtLocalPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(runtime.isValid());
        oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    }
    void TearDown() override {
        for (QProcess* p : processes) {
            p->kill();
            p->waitForFinished(5000);
            delete p;
        }
        qputenv("XDG_RUNTIME_DIR", oldRuntime);
    }

    QProcess* startHelper(const QString& appId, const QString& message) {
        auto* p = new QProcess;
        processes.push_back(p);
        p->setProgram(QStringLiteral(PEER_HELPER));
        p->setArguments({appId, message});
        p->start();
        EXPECT_TRUE(p->waitForStarted(5000));
        return p;
    }

    // Reads the helper's output until a line starting with `prefix`, or times out.
    static QString waitForLine(QProcess* p, const QString& prefix, int timeoutMs = 10000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            while (p->canReadLine()) {
                const QString line = QString::fromUtf8(p->readLine()).trimmed();
                if (line.startsWith(prefix)) {
                    return line;
                }
            }
            if (p->state() == QProcess::NotRunning && !p->canReadLine()) {
                p->waitForReadyRead(0);
                if (!p->canReadLine()) {
                    break;
                }
            }
            p->waitForReadyRead(100);
        }
        return {};
    }

    static int decisionMs(const QString& line) {
        return line.section(QStringLiteral("decision_ms="), 1).toInt();
    }

    QTemporaryDir runtime;
    QByteArray oldRuntime;
    std::vector<QProcess*> processes;
};

TEST_F(QtLocalPeerTest, SecondProcessHandsItsMessageToTheFirstAndExitsZero) {
    QProcess* first = startHelper(QStringLiteral("Peer Two Processes"), QString());
    ASSERT_FALSE(waitForLine(first, QStringLiteral("first")).isEmpty());

    QProcess* second =
        startHelper(QStringLiteral("Peer Two Processes"), QStringLiteral("activate"));
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(QString::fromUtf8(second->readAll()).startsWith(QStringLiteral("client acked=1")));
    EXPECT_EQ(waitForLine(first, QStringLiteral("received:")), QStringLiteral("received:activate"));

    // A link with non-ASCII text arrives whole.
    const QString link = QStringLiteral("activate:https://h\u00e9.example/assistant/ID-1");
    QProcess* third = startHelper(QStringLiteral("Peer Two Processes"), link);
    ASSERT_TRUE(third->waitForFinished(10000));
    EXPECT_EQ(third->exitCode(), 0);
    EXPECT_EQ(waitForLine(first, QStringLiteral("received:")), QStringLiteral("received:") + link);
}

TEST_F(QtLocalPeerTest, AfterKillNineANewStartBecomesFirstAtOnce) {
    QProcess* first = startHelper(QStringLiteral("Peer Killed"), QString());
    ASSERT_FALSE(waitForLine(first, QStringLiteral("first")).isEmpty());
    first->kill();  // SIGKILL: the socket file stays behind
    ASSERT_TRUE(first->waitForFinished(5000));

    QProcess* next = startHelper(QStringLiteral("Peer Killed"), QString());
    const QString line = waitForLine(next, QStringLiteral("first"));
    ASSERT_FALSE(line.isEmpty()) << "the new start did not become the first instance";
    EXPECT_LT(decisionMs(line), 1000);

    QProcess* second = startHelper(QStringLiteral("Peer Killed"), QStringLiteral("activate"));
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(waitForLine(next, QStringLiteral("received:")), QStringLiteral("received:activate"));
}

TEST_F(QtLocalPeerTest, StaleSocketFileDoesNotBlockTheFirstInstance) {
    QtLocalPeer peer(nullptr, QStringLiteral("Peer Stale"));
    const QByteArray path = QFile::encodeName(peer.serverName());
    ASSERT_FALSE(path.isEmpty());

    // A bound socket whose owner is gone: connecting to it is refused.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<size_t>(path.size()), sizeof(addr.sun_path));
    memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);
    ASSERT_TRUE(QFile::exists(peer.serverName()));

    EXPECT_FALSE(peer.isClient());
    QLocalSocket client;
    client.connectToServer(peer.serverName());
    EXPECT_TRUE(client.waitForConnected(1000));
}

TEST_F(QtLocalPeerTest, SocketIsPerUserAndOnlyReachableByItsUser) {
    QtLocalPeer peer(nullptr, QStringLiteral("Kelvano Assistant"));
    ASSERT_FALSE(peer.isClient());
    const QString path = peer.serverName();
    EXPECT_TRUE(path.startsWith(runtime.path() + QLatin1Char('/')));
    EXPECT_TRUE(path.contains(QString::number(geteuid())));

    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u) << std::oct << st.st_mode;
}

TEST_F(QtLocalPeerTest, RuntimeDirectoryOthersCanEnterIsNotUsed) {
    ASSERT_EQ(chmod(QFile::encodeName(runtime.path()).constData(), 0755), 0);
    QtLocalPeer peer(nullptr, QStringLiteral("Peer Open Dir"));
    ASSERT_FALSE(peer.serverName().isEmpty());
    EXPECT_FALSE(peer.serverName().startsWith(runtime.path()));
    struct stat st;
    const QString dir = QFileInfo(peer.serverName()).absolutePath();
    ASSERT_EQ(stat(QFile::encodeName(dir).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(QtLocalPeerTest, MalformedClientsAreDroppedAndAWholeMessageIsAcknowledged) {
    QtLocalPeer peer(nullptr, QStringLiteral("Peer Frames"));
    ASSERT_FALSE(peer.isClient());
    QSignalSpy received(&peer, &QtLocalPeer::messageReceived);

    QLocalSocket huge;
    huge.connectToServer(peer.serverName());
    ASSERT_TRUE(huge.waitForConnected(1000));
    huge.write(QByteArray::fromHex("ffffffff") + QByteArray(16, 'x'));
    huge.flush();
    QTRY_COMPARE_WITH_TIMEOUT(huge.state(), QLocalSocket::UnconnectedState, 5000);

    // Sent in pieces, as a slow client would.
    QLocalSocket good;
    good.connectToServer(peer.serverName());
    ASSERT_TRUE(good.waitForConnected(1000));
    const QByteArray body = QByteArrayLiteral("activate");
    QByteArray frame(4, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(body.size()), frame.data());
    good.write(frame.left(2));
    good.flush();
    QTest::qWait(0);
    good.write(frame.mid(2) + body);
    good.flush();
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 5000);
    EXPECT_EQ(received.at(0).at(0).toString(), QStringLiteral("activate"));
    QTRY_VERIFY_WITH_TIMEOUT(
        good.bytesAvailable() >= 3 || good.state() == QLocalSocket::UnconnectedState, 5000);
    EXPECT_EQ(good.readAll(), QByteArrayLiteral("ack"));
    EXPECT_EQ(received.count(), 1);
}

}  // namespace
