// The cursor channel against a loopback server.
#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <memory>

#include "CursorSender.h"
#include "GlobalSettings.h"
#include "LogCapture.h"
#include "LoopbackServer.h"
#include "TestEnv.h"
#include "WSCursor.h"

namespace {

constexpr int kWaitMs = 5000;

class CursorChannel : public ::testing::Test {
protected:
    void SetUp() override {
        logcapture::path();
        ConnectionParams& params = GlobalSettings::instance().connectionParams;
        params.serverUrl = server.url().toStdString();
        params.sessionId = "42";
    }

    QWebSocket* open(WSCursor& cursor) {
        if (!cursor.webSocket.wsConnect()) {
            return nullptr;
        }
        QWebSocket* peer = server.waitForClient();
        if (peer == nullptr || !QTest::qWaitFor([&] { return cursor.workerRunning(); }, kWaitMs)) {
            return nullptr;
        }
        return peer;
    }

    LoopbackServer server;
};

TEST_F(CursorChannel, OpensAndClosesWithEachSessionSendsNothingAndWarnsOnce) {
    logcapture::Mark mark;
    WSCursor cursor;
    QByteArray firstId;
    for (int round = 0; round < 3; ++round) {
        QWebSocket* peer = open(cursor);
        ASSERT_NE(peer, nullptr);
        EXPECT_EQ(server.paths.last(), QStringLiteral("/42/ws/cursor"));
        const QByteArray id = cursor.cursorSender()->connectionIdentifier();
        EXPECT_EQ(id.size(), 16);
        EXPECT_EQ(cursor.cursorSender()->knownCursors(), 0u);
        if (round == 0) {
            firstId = id;
        } else {
            EXPECT_NE(id, firstId);
        }
        // The worker has been round its loop at least once.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return mark.text().count("Started CursorThread") == round + 1; }, kWaitMs));
        (round % 2 == 0 ? cursor.webSocket.close() : peer->close());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !cursor.workerRunning(); }, kWaitMs));
        EXPECT_EQ(mark.text().count("Finished CursorThread"), round + 1);
    }
    const QString whole = testenv::readFile(logcapture::path());
    EXPECT_EQ(whole.count("getCurrentCursor not implemented for current system"), 1);
    EXPECT_TRUE(server.received.isEmpty()) << server.received.join('\n').toStdString();
}

TEST_F(CursorChannel, MessageFromTheServerIsOnlyNoted) {
    logcapture::Mark mark;
    WSCursor cursor;
    QWebSocket* peer = open(cursor);
    ASSERT_NE(peer, nullptr);
    peer->sendTextMessage(R"({"cursor":"from-the-server"})");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return mark.text().contains("[INFO] Got message from cursor channel: \n"); },
        kWaitMs))
        << mark.text().toStdString();
    EXPECT_FALSE(mark.text().contains("from-the-server"));
    cursor.webSocket.close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !cursor.workerRunning(); }, kWaitMs));
}

TEST_F(CursorChannel, CursorMessagesOfTheWorkerReachTheServerOnlyWhileOpen) {
    logcapture::Mark mark;
    WSCursor cursor;
    emit cursor.cursorSender()->sendCursor(QStringLiteral("early"));
    EXPECT_TRUE(mark.text().contains("Cursor channel not opened"));

    QWebSocket* peer = open(cursor);
    ASSERT_NE(peer, nullptr);
    // Emitted from another thread, as a capture on the cursor thread would.
    const QString message = QStringLiteral(R"({"cursor":"стрелка","w":32})");
    std::unique_ptr<QThread> capture(
        QThread::create([&] { emit cursor.cursorSender()->sendCursor(message); }));
    capture->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.received.contains(message); }, kWaitMs));
    capture->wait();
    EXPECT_EQ(server.received, QStringList{message});
    EXPECT_FALSE(mark.text().contains("Cursor channel data not sended"))
        << mark.text().toStdString();
    cursor.webSocket.close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !cursor.workerRunning(); }, kWaitMs));
}

}  // namespace
