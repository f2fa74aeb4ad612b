// The single-instance socket's own defences (the start-up tests run two real agents).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>

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

    QTemporaryDir runtime;
};

// A socket file left by a crashed instance answers nobody: the next start takes it over, and the
// start after that finds it there.
TEST_F(QtLocalPeerTest, StaleSocketIsTakenOver) {
    const QString name = QtLocalPeer(nullptr, QStringLiteral("Peer Stale")).serverName();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, QFile::encodeName(name).constData(), sizeof addr.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);  // the file stays, with no listener behind it

    QtLocalPeer first(nullptr, QStringLiteral("Peer Stale"));
    ASSERT_FALSE(first.isClient());
    EXPECT_TRUE(QtLocalPeer(nullptr, QStringLiteral("Peer Stale")).isClient());
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
    ASSERT_FALSE(peer.isClient());  // listens from here on
    QSignalSpy received(&peer, &QtLocalPeer::messageReceived);
    QLocalSocket huge, slow;
    huge.connectToServer(peer.serverName());
    slow.connectToServer(peer.serverName());
    ASSERT_TRUE(huge.waitForConnected(1000) && slow.waitForConnected(1000));
    huge.write(QByteArray::fromHex("ffffffff") + QByteArray(16, 'x'));
    // At once, not by the receive time-out of 5 s.
    EXPECT_TRUE(waitFor([&] { return huge.state() == QLocalSocket::UnconnectedState; }, 2000));

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
