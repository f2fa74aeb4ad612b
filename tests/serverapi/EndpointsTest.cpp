// The discovery and settings endpoints against a loopback server.
#include <gtest/gtest.h>

#include <QJsonObject>

#include "HttpTestServer.h"
#include "LogCapture.h"
#include "ServerApiDiscover.h"
#include "ServerApiSettings.h"

namespace {

class EndpointsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LogCapture::initLogger(); }
    void SetUp() override {
        ASSERT_TRUE(server.start());
        discover.baseUrl = server.baseUrl();
        settings.baseUrl = server.baseUrl();
    }

    HttpTestServer server;
    ServerApiDiscover discover{nullptr, QString()};
    ServerApiSettings settings{nullptr, QString()};
};

TEST_F(EndpointsTest, DiscoveryVersion) {
    struct Case {
        const char* body;
        int status;
        const char* expected;
        bool warns;
    };
    const Case cases[] = {
        {R"({"server": {"version": "0.7.0"}})", 200, "0.7.0", false},
        {R"({"server": {"version": "1.2.3.4"}, "other": 1})", 200, "1.2.3.4", false},
        {R"({"server": {}})", 200, "0.3.0", true},
        {R"({"name": "no server member"})", 200, "0.3.0", true},
        {R"({"server": {"version": 7}})", 200, "0.3.0", true},  // a number is not a version
        {R"({"server": "0.7.0"})", 200, "0.3.0", true},
        {R"(not json)", 200, "0.3.0", true},
        {R"({"server": {"version": "0.7.0"}})", 404, "0.3.0", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        server.setRoute("/api/discover/", c.status, c.body);
        server.clearRequests();
        discover.cachedReply = QJsonDocument();
        LogCapture log;

        EXPECT_EQ(discover.version().toString(), c.expected);

        EXPECT_EQ(server.requestCount("/api/discover/"), 1);
        const char* warning =
            "[WARNING] ServerApiDiscover: Server didn't return version, default version 0.3.0 "
            "set\n";
        EXPECT_EQ(log.count(warning), c.warns ? 1 : 0) << log.text().toStdString();
    }
}

TEST_F(EndpointsTest, SettingsPathByFormAndSessionNumber) {
    server.setRoute("/api/42/settings", 200, R"({"form": "api"})");
    server.setRoute("/42/settings", 200, R"({"form": "plain"})");
    settings.sessionNumber = 42;

    settings.setSettingsApiPath(true);
    EXPECT_EQ(settings.settings().object().value("form").toString(), "api");

    settings.cachedReply = QJsonDocument();
    settings.setSettingsApiPath(false);
    EXPECT_EQ(settings.settings().object().value("form").toString(), "plain");

    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests().at(0).target, "/api/42/settings");
    EXPECT_EQ(server.requests().at(1).target, "/42/settings");
}

TEST_F(EndpointsTest, MouseCursorRule) {
    struct Case {
        const char* body;
        bool expected;
        const char* logLine;  // nullptr: no settings line at all
    };
    const Case cases[] = {
        {R"({"WebRTCMouseCursor": false})", false, nullptr},
        {R"({"WebRTCMouseCursor": true})", true, nullptr},
        {R"({"WebRTCMouseCursor": "false"})", true, nullptr},
        {R"({"WebRTCMouseCursor": 0})", true, nullptr},
        {R"({"WebRTCMouseCursor": null})", true, nullptr},
        {R"({})", true,
         "serverApiSettings: WebRTCMouseCursor value can't be read, using default value "
         "\"true\"\n"},
        {R"([1, 2])", true,
         "serverApiSettings: WebRTCMouseCursor value can't be read, using default value "
         "\"true\"\n"},
        {R"(<html>)", true,
         "[ERROR] serverApiSettings: settings API return invalid JSON, using default value "
         "\"true\"\n"},
    };
    settings.setSettingsApiPath(false);
    settings.sessionNumber = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        server.setRoute("/7/settings", 200, c.body);
        settings.cachedReply = QJsonDocument();
        LogCapture log;

        EXPECT_EQ(settings.mouseCursor(), c.expected);

        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine)) << log.text().toStdString();
        } else {
            EXPECT_FALSE(log.contains("serverApiSettings")) << log.text().toStdString();
        }
    }
}

TEST_F(EndpointsTest, OneSettingsRequestServesEveryLaterRead) {
    server.setRoute("/api/3/settings", 200, R"({"WebRTCMouseCursor": false})");
    settings.setSettingsApiPath(true);
    settings.sessionNumber = 3;

    EXPECT_FALSE(settings.settings().isNull());
    EXPECT_FALSE(settings.mouseCursor());
    EXPECT_FALSE(settings.mouseCursor());
    EXPECT_EQ(server.requests().size(), 1);
}

}  // namespace
