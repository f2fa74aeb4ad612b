// The HTTP client against a real loopback server: which replies it takes, and the replies that
// a slow, talkative or downgrading server sends.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <QSignalSpy>

#include "HttpTestServer.h"
#include "ServerApi.h"

namespace {

class ServerApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        api.baseUrl = server.baseUrl();
    }

    HttpTestServer server;
    ServerApi api{nullptr, QString()};
};

TEST_F(ServerApiTest, TakesOnlyAcceptedStatusesWithJson) {
    struct Row {
        int status;
        QByteArray location;  // a redirect with a Location is followed to /target
        QByteArray body;
        bool taken;
    };
    const Row rows[] = {
        {200, {}, R"({"n": 1})", true},       {301, "/target", {}, true},
        {308, "/target", {}, true},           {201, {}, R"({"n": 1})", false},
        {302, {}, R"({"n": 1})", false},  // no Location: a protocol error
        {404, {}, R"({"n": 1})", false},      {500, {}, R"({"n": 1})", false},
        {200, {}, "this is not json", false},
    };
    server.setRoute("/target", 200, R"({"n": 1})");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        HttpTestServer::Response response;
        response.status = row.status;
        response.body = row.body;
        if (!row.location.isEmpty()) {
            response.headers = {{"Location", row.location}};
        }
        server.setRoute("/x", response);
        api.cachedReply = QJsonDocument();

        const QJsonDocument doc = api.makeApiRequestSync("/x");

        EXPECT_EQ(doc.object().value("n").toInt(), row.taken ? 1 : 0);
    }
    // What was refused is not kept: the next call asks again.
    const int asked = server.requestCount("/x");
    api.makeApiRequestSync("/x");
    EXPECT_EQ(server.requestCount("/x"), asked + 1);
}

TEST_F(ServerApiTest, SilentServerTimesOut) {
    server.setRoute("/silent", 200, "{}", -1);
    api.timeoutMs = 200;

    EXPECT_TRUE(api.makeApiRequestSync("/silent").isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::TimedOut);
}

TEST_F(ServerApiTest, ReplyAfterItsTimeOutIsNeverTakenForALaterRequest) {
    // The late answer arrives while the second request is still waiting for its own.
    server.setRoute("/slow", 200, R"({"from": "slow"})", 300);
    server.setRoute("/next", 200, R"({"from": "next"})", 700);
    api.timeoutMs = 100;
    QSignalSpy data(&api, &ServerApi::requestedData);

    EXPECT_TRUE(api.makeApiRequestSync("/slow").isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::TimedOut);
    api.timeoutMs = 3000;
    EXPECT_EQ(api.makeApiRequestSync("/next").object().value("from").toString(), "next");
    EXPECT_EQ(data.count(), 1);
}

TEST_F(ServerApiTest, OversizedReplyIsRefused) {
    server.setRoute("/huge", 200, "[\"" + QByteArray(3 * 1024 * 1024, 'x') + "\"]");

    EXPECT_TRUE(api.makeApiRequestSync("/huge").isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::Failed);
}

TEST_F(ServerApiTest, RedirectFromHttpsToHttpIsNotFollowed) {
    HttpTestServer tls(HttpTestServer::Mode::Tls);
    ASSERT_TRUE(tls.start());
    server.setRoute("/x", 200, "{}");
    HttpTestServer::Response downgrade;
    downgrade.status = 301;
    downgrade.headers = {{"Location", (server.baseUrl() + "/x").toUtf8()}};
    tls.setRoute("/x", downgrade);
    api.baseUrl = tls.baseUrl();
    api.sslConfig.setCaCertificates({HttpTestServer::certificate()});

    EXPECT_TRUE(api.makeApiRequestSync("/x").isNull());
    EXPECT_EQ(tls.requestCount("/x"), 1);
    EXPECT_EQ(server.requests().size(), 0);
}

}  // namespace
