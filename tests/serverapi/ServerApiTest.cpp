// The HTTP client against a real loopback server: status rules, parse failures, time-out,
// cache, late replies, and what the request and response logs show.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTest>
#include <cstring>

#include "HttpTestServer.h"
#include "LogCapture.h"
#include "ServerApi.h"

namespace {

class ServerApiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LogCapture::initLogger(); }
    void SetUp() override { ASSERT_TRUE(server.start()); }

    HttpTestServer server;
    ServerApi api{nullptr, QString()};
};

// A finished reply with a given status line, for the codes that Qt never hands over as final
// (it follows every redirect that has a Location and fails those that have none).
class CannedReply : public QNetworkReply {
public:
    CannedReply(QVariant status, const QByteArray& body) : body_(body) {
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        setUrl(QUrl("http://127.0.0.1/canned"));
        open(QIODevice::ReadOnly);
    }
    void abort() override {}
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override {
        return body_.size() - offset_ + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = qMin<qint64>(maxSize, body_.size() - offset_);
        memcpy(data, body_.constData() + offset_, n);
        offset_ += n;
        return n;
    }

private:
    QByteArray body_;
    qint64 offset_ = 0;
};

class ReplyRule : public ServerApi {
public:
    ReplyRule() : ServerApi(nullptr, QString()) {}
    void evaluate(QNetworkReply* reply) {
        currentReply = reply;
        requestState = ApiRequestState::Pending;
        processReply(reply);
    }
};

TEST(ServerApiStatusRule, AcceptsOnly200_301_308) {
    LogCapture::initLogger();
    struct Case {
        QVariant status;
        bool accepted;
        const char* logLine;
    };
    const Case cases[] = {
        {200, true, "Code status: 200 (Ok)"},
        {301, true, "Code status: 301 (Moved Permanently)"},
        {308, true, "Code status: 308 (Permanent Redirect)"},
        {201, false, "[ERROR] ServerApi: GET request return code = 201\n"},
        {302, false, "[ERROR] ServerApi: GET request return code = 302\n"},
        {303, false, "[ERROR] ServerApi: GET request return code = 303\n"},
        {307, false, "[ERROR] ServerApi: GET request return code = 307\n"},
        {QVariant(), false, "[ERROR] ServerApi: Error reading GET return code\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status.toInt());
        ReplyRule api;
        QSignalSpy data(&api, &ServerApi::requestedData);
        LogCapture log;

        api.evaluate(new CannedReply(c.status, R"({"a": 1})"));

        EXPECT_EQ(api.requestState, c.accepted ? ApiRequestState::Done : ApiRequestState::Failed);
        EXPECT_EQ(data.count(), c.accepted ? 1 : 0);
        EXPECT_EQ(api.replyData, QByteArray(R"({"a": 1})"));
        EXPECT_TRUE(log.contains(c.logLine)) << log.text().toStdString();
    }
}

TEST_F(ServerApiTest, StatusCodesFromARealServer) {
    struct Case {
        int status;
        QByteArray location;  // redirects with a Location are followed to /target
        bool accepted;
        const char* logLine;
    };
    const Case cases[] = {
        {200, {}, true, "Code status: 200 (Ok)"},
        {301, "/target", true, "Code status: 200 (Ok)"},
        {308, "/target", true, "Code status: 200 (Ok)"},
        {201, {}, false, "[ERROR] ServerApi: GET request return code = 201\n"},
        // A redirect without a Location is a protocol error for Qt.
        {302, {}, false, "[ERROR] ServerApi: GET request return error: "},
        {301, {}, false, "[ERROR] ServerApi: GET request return error: "},
        // Qt reports these as network errors.
        {404, {}, false, "[ERROR] ServerApi: GET request return error: "},
        {500, {}, false, "[ERROR] ServerApi: GET request return error: "},
    };
    server.setRoute("/target", 200, R"({"status": true})");
    api.baseUrl = server.baseUrl();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        const QString path = QStringLiteral("/status/%1").arg(c.status);
        HttpTestServer::Response response;
        response.status = c.status;
        response.body = R"({"status": true})";
        if (!c.location.isEmpty()) {
            response.headers = {{"Location", c.location}};
        }
        server.setRoute(path, response);
        server.clearRequests();
        api.cachedReply = QJsonDocument();
        QSignalSpy data(&api, &ServerApi::requestedData);

        LogCapture log;
        const QJsonDocument doc = api.makeApiRequestSync(path);

        EXPECT_EQ(server.requestCount(path), 1);
        EXPECT_EQ(server.requestCount("/target"), c.location.isEmpty() ? 0 : 1);
        EXPECT_TRUE(log.contains(c.logLine)) << log.text().toStdString();
        if (c.accepted) {
            EXPECT_EQ(api.requestState, ApiRequestState::Done);
            EXPECT_TRUE(doc.object().value("status").toBool());
            EXPECT_EQ(data.count(), 1);
        } else {
            EXPECT_EQ(api.requestState, ApiRequestState::Failed);
            EXPECT_TRUE(doc.isNull());
            EXPECT_EQ(data.count(), 0);
        }
    }
}

TEST_F(ServerApiTest, BodyThatIsNotJsonGivesNullDocumentInStateDone) {
    server.setRoute("/text", 200, "this is not json");
    api.baseUrl = server.baseUrl();
    LogCapture log;

    const QJsonDocument doc = api.makeApiRequestSync("/text");

    EXPECT_TRUE(doc.isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::Done);
    EXPECT_TRUE(log.contains("[ERROR] ServerApi: Server return invalid JSON: "))
        << log.text().toStdString();
    EXPECT_TRUE(log.contains("[ERROR] ServerApi: Error occurred on position 1\n"));
    EXPECT_TRUE(log.contains("\n Body: this is not json \n"));
    // A bad body is not cached: the next call asks again.
    api.makeApiRequestSync("/text");
    EXPECT_EQ(server.requestCount("/text"), 2);
}

TEST_F(ServerApiTest, SilentServerTimesOut) {
    server.setRoute("/silent", 200, "{}", -1);
    api.baseUrl = server.baseUrl();
    api.timeoutMs = 200;
    QElapsedTimer timer;
    timer.start();

    const QJsonDocument doc = api.makeApiRequestSync("/silent");

    EXPECT_TRUE(doc.isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::TimedOut);
    EXPECT_GE(timer.elapsed(), 200);
    EXPECT_EQ(server.requestCount("/silent"), 1);
}

TEST_F(ServerApiTest, UnreachableServerFails) {
    const QString deadUrl = server.baseUrl();
    server.stop();
    api.baseUrl = deadUrl;
    LogCapture log;

    EXPECT_TRUE(api.makeApiRequestSync("/x").isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::Failed);
    EXPECT_TRUE(log.contains("[ERROR] ServerApi: GET request return error: Connection refused"))
        << log.text().toStdString();
}

TEST_F(ServerApiTest, CachedDocumentAnswersLaterCallsWhateverThePath) {
    server.setRoute("/first", 200, R"({"n": 1})");
    server.setRoute("/second", 200, R"({"n": 2})");
    api.baseUrl = server.baseUrl();

    EXPECT_EQ(api.makeApiRequestSync("/first").object().value("n").toInt(), 1);
    EXPECT_EQ(api.makeApiRequestSync("/second").object().value("n").toInt(), 1);
    EXPECT_EQ(server.requests().size(), 1);

    api.cachedReply = QJsonDocument();
    EXPECT_EQ(api.makeApiRequestSync("/second").object().value("n").toInt(), 2);
    EXPECT_EQ(server.requests().size(), 2);
}

TEST_F(ServerApiTest, ReplyArrivingAfterItsTimeOutIsNeverTakenForALaterRequest) {
    // The late answer would arrive while the second request is still waiting.
    server.setRoute("/slow", 200, R"({"from": "slow"})", 300);
    server.setRoute("/next", 200, R"({"from": "next"})", 700);
    api.baseUrl = server.baseUrl();
    api.timeoutMs = 100;
    QSignalSpy data(&api, &ServerApi::requestedData);

    EXPECT_TRUE(api.makeApiRequestSync("/slow").isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::TimedOut);

    api.timeoutMs = 3000;
    const QJsonDocument doc = api.makeApiRequestSync("/next");

    EXPECT_EQ(doc.object().value("from").toString(), "next");
    ASSERT_EQ(data.count(), 1);
    EXPECT_EQ(data.at(0).at(0).toByteArray(), QByteArray(R"({"from": "next"})"));
}

TEST_F(ServerApiTest, TimedOutStateIsNotOverwrittenByTheLateReply) {
    server.setRoute("/slow", 200, R"({"from": "slow"})", 300);
    api.baseUrl = server.baseUrl();
    api.timeoutMs = 100;
    QSignalSpy data(&api, &ServerApi::requestedData);

    EXPECT_TRUE(api.makeApiRequestSync("/slow").isNull());
    QTest::qWait(500);  // well past the moment the server answers

    EXPECT_EQ(api.requestState, ApiRequestState::TimedOut);
    EXPECT_EQ(data.count(), 0);
    EXPECT_TRUE(api.replyData.isEmpty());
    EXPECT_TRUE(api.cachedReply.isEmpty());
}

TEST_F(ServerApiTest, RequestCarriesUserAgentAndContentTypeAndIsLogged) {
    server.setRoute("/api/discover/", 200, "{}");
    api.baseUrl = server.baseUrl();
    LogCapture log;

    api.makeApiRequestSync("/api/discover/");

    ASSERT_EQ(server.requests().size(), 1);
    const HttpTestServer::Request request = server.requests().first();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("User-Agent"), "Kelvano Assistant/0.7.0.25167");
    EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
    const QString expected =
        QStringLiteral(
            "[INFO] ServerApi: \nHTTP Request:\n URL: %1/api/discover/\n Method: GET"
            "\n Headers:\n  Content-Type: application/json; charset=utf-8"
            "\n  User-Agent: Kelvano Assistant/0.7.0.25167\n\n")
            .arg(server.baseUrl());
    EXPECT_TRUE(log.contains(expected)) << log.text().toStdString();
}

TEST_F(ServerApiTest, ResponseLogShowsStatusHeadersAndBodyIndentedOneSpacePerLevel) {
    server.setRoute("/settings", 200, R"({"outer": {"inner": [1, "    four"]}})");
    api.baseUrl = server.baseUrl();
    LogCapture log;

    api.makeApiRequestSync("/settings");

    const QString text = log.text();
    EXPECT_TRUE(text.contains(
        QStringLiteral("ServerApi: \nHTTP Response:\n URL: %1/settings").arg(server.baseUrl())))
        << text.toStdString();
    EXPECT_TRUE(
        text.contains("\n   Code status: 200 (Ok) \n Headers: \n  Content-Type: "
                      "application/json\n  Content-Length: 37"));
    // Four spaces become one everywhere, inside strings as well.
    EXPECT_TRUE(
        text.contains("\n Body: \n{\n \"outer\": {\n  \"inner\": [\n   1,\n   \" four\"\n"
                      "  ]\n }\n}\n \n"))
        << text.toStdString();
}

TEST_F(ServerApiTest, OversizedReplyIsAbortedAndRefused) {
    QByteArray huge = "[\"";
    huge += QByteArray(3 * 1024 * 1024, 'x');
    huge += "\"]";
    server.setRoute("/huge", 200, huge);
    api.baseUrl = server.baseUrl();
    LogCapture log;

    EXPECT_TRUE(api.makeApiRequestSync("/huge").isNull());

    EXPECT_EQ(api.requestState, ApiRequestState::Failed);
    EXPECT_TRUE(
        log.contains("[ERROR] ServerApi: Reply is longer than 1048576 bytes, request "
                     "aborted\n"));
    EXPECT_LT(log.text().size(), 64 * 1024);  // the body was not logged
}

TEST_F(ServerApiTest, RedirectFromHttpsToHttpIsNotFollowed) {
    HttpTestServer tls(HttpTestServer::Mode::Tls);
    ASSERT_TRUE(tls.start());
    server.setRoute("/api/discover/", 200, "{}");
    HttpTestServer::Response downgrade;
    downgrade.status = 301;
    downgrade.headers = {{"Location", (server.baseUrl() + "/api/discover/").toUtf8()}};
    tls.setRoute("/api/discover/", downgrade);
    api.baseUrl = tls.baseUrl();
    api.sslConfig.setCaCertificates({HttpTestServer::certificate()});

    EXPECT_TRUE(api.makeApiRequestSync("/api/discover/").isNull());

    EXPECT_EQ(api.requestState, ApiRequestState::Failed);
    EXPECT_EQ(tls.requestCount("/api/discover/"), 1);
    EXPECT_EQ(server.requests().size(), 0);
}

TEST(ServerApiStatusText, KnownAndUnknownCodes) {
    EXPECT_STREQ(ServerApi::statusCodeToText(308), "Permanent Redirect");
    EXPECT_STREQ(ServerApi::statusCodeToText(500), "Unknown code");
    EXPECT_STREQ(ServerApi::statusCodeToText(0), "Unknown code");
}

}  // namespace
