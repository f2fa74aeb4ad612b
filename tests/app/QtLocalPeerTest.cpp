// The single-instance socket between two agent processes (peer_helper stands in for the agent).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <memory>
#include <vector>

#include "QtLocalPeer.h"
#include "WaitFor.h"

namespace {

// Each test gets its own runtime directory, so parallel suites never meet.
class QtLocalPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    }
    void TearDown() override { qunsetenv("XDG_RUNTIME_DIR"); }

    QProcess* start(const QString& message = {}) {
        processes.push_back(std::make_unique<QProcess>());
        QProcess* p = processes.back().get();
        p->start(QStringLiteral(PEER_HELPER), {QStringLiteral("Peer Test"), message});
        EXPECT_TRUE(p->waitForStarted(5000));
        return p;
    }

    // The helper's next output line that starts with prefix, or "" after 10 s.
    static QString lineFrom(QProcess* p, const QString& prefix) {
        QString found;
        waitFor([&] {
            while (found.isEmpty() && p->canReadLine()) {
                const QString line = QString::fromUtf8(p->readLine()).trimmed();
                found = line.startsWith(prefix) ? line : QString();
            }
            return !found.isEmpty();
        });
        return found;
    }

    QTemporaryDir runtime;
    std::vector<std::unique_ptr<QProcess>> processes;  // killed by their destructors
};

// A second start hands its message over and exits 0. After the first dies by SIGKILL its socket
// file stays behind; the next start takes it over at once and receives the next message.
TEST_F(QtLocalPeerTest, SecondStartHandsOverAndAStaleSocketIsTakenOver) {
    QProcess* first = start();
    ASSERT_FALSE(lineFrom(first, "first").isEmpty());
    first->kill();
    ASSERT_TRUE(first->waitForFinished(5000));

    QProcess* next = start();
    const QString line = lineFrom(next, "first");
    ASSERT_FALSE(line.isEmpty()) << "the new start did not become the first instance";
    EXPECT_LT(line.section("decision_ms=", 1).toInt(), 1000);

    const QString link = QString::fromUtf8("activate:https://hé.example/assistant/ID-1");
    QProcess* second = start(link);
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(lineFrom(next, "received:"), "received:" + link);
}

// The socket lives in a folder only its user can enter, never in a runtime folder others can.
TEST_F(QtLocalPeerTest, SocketIsReachableOnlyByItsUser) {
    for (const mode_t runtimeMode : {0700, 0755}) {
        ASSERT_EQ(chmod(QFile::encodeName(runtime.path()).constData(), runtimeMode), 0);
        QtLocalPeer peer(nullptr, QStringLiteral("Peer Mode %1").arg(runtimeMode));
        ASSERT_FALSE(peer.isClient());
        EXPECT_EQ(peer.serverName().startsWith(runtime.path() + '/'), runtimeMode == 0700);
        for (const QString& path : {peer.serverName(), QFileInfo(peer.serverName()).path()}) {
            struct stat st {};
            ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
            EXPECT_EQ(st.st_uid, geteuid());
            EXPECT_EQ(st.st_mode & 077, 0u) << path.toStdString() << " " << std::oct << st.st_mode;
        }
    }
}

// A client announcing 4 GiB is dropped; one that sends its frame in pieces is served whole.
TEST_F(QtLocalPeerTest, MalformedClientIsDroppedAndASlowOneServed) {
    QtLocalPeer peer(nullptr, QStringLiteral("Peer Frames"));
    ASSERT_FALSE(peer.isClient());
    QSignalSpy received(&peer, &QtLocalPeer::messageReceived);

    QLocalSocket huge;
    huge.connectToServer(peer.serverName());
    ASSERT_TRUE(huge.waitForConnected(1000));
    huge.write(QByteArray::fromHex("ffffffff") + QByteArray(16, 'x'));
    EXPECT_TRUE(waitFor([&] { return huge.state() == QLocalSocket::UnconnectedState; }));

    QLocalSocket slow;
    slow.connectToServer(peer.serverName());
    ASSERT_TRUE(slow.waitForConnected(1000));
    QByteArray frame(4, '\0');
    qToBigEndian<quint32>(8, frame.data());
    frame += "activate";
    slow.write(frame.left(2));
    ASSERT_TRUE(slow.waitForBytesWritten(1000));
    slow.write(frame.mid(2));
    ASSERT_TRUE(waitFor([&] { return slow.bytesAvailable() >= 3; }));
    EXPECT_EQ(slow.readAll(), "ack");
    ASSERT_EQ(received.count(), 1);
    EXPECT_EQ(received.at(0).at(0).toString(), "activate");
}

}  // namespace
