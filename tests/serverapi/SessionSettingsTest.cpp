// Resolution of a session's settings into GlobalSettings, against a loopback server.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QSslConfiguration>
#include <QStringList>

#include "GlobalSettings.h"
#include "HttpTestServer.h"
#include "LogCapture.h"
#include "ServerApiDiscover.h"
#include "ServerApiSettings.h"
#include "SessionSettingsResolution.h"

namespace {

const char* const kConfiguredStun = "stun://127.0.0.1:3478";

QByteArray discoveryBody(const char* version) {
    return version ? QByteArray(R"({"server": {"version": ")") + version + R"("}})"
                   : QByteArray(R"({"server": {}})");
}

class SessionSettingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LogCapture::initLogger(); }

    void SetUp() override {
        ASSERT_TRUE(server.start());
        setUpSettings(server.baseUrl(), "42");
    }

    void setUpSettings(const QString& url, const char* sessionId) {
        GlobalSettings& s = GlobalSettings::instance();
        s.connectionParams = ConnectionParams{};
        s.connectionParams.serverUrl = url.toStdString();
        s.connectionParams.sessionId = sessionId;
        s.connectionParams.stunUrl = kConfiguredStun;
        s.serverApiParams = ServerApiParams{};
    }

    void serve(const char* version, const QByteArray& settingsBody, int settingsStatus = 200) {
        server.setRoute("/api/discover/", 200, discoveryBody(version));
        server.setRoute("/42/settings", settingsStatus, settingsBody);
        server.setRoute("/api/42/settings", settingsStatus, settingsBody);
    }

    bool resolve() {
        return resolveSessionSettings(discover, settingsApi, GlobalSettings::instance(),
                                      [this](const char* m) { shown.append(m); });
    }

    const ServerApiParams& api() const { return GlobalSettings::instance().serverApiParams; }
    const ConnectionParams& connection() const {
        return GlobalSettings::instance().connectionParams;
    }

    HttpTestServer server;
    ServerApiDiscover discover{nullptr, QString()};
    ServerApiSettings settingsApi{nullptr, QString()};
    QStringList shown;
};

TEST_F(SessionSettingsTest, SettingsPathAndKeysByServerVersion) {
    struct Case {
        const char* version;  // nullptr: discovery without a version
        const char* path;
        bool readsSessionKeys;
        const char* storedVersion;
    };
    const Case cases[] = {
        {"0.6.9", "/api/42/settings", false, "0.6.9"},
        {nullptr, "/api/42/settings", false, "0.3.0"},
        {"0.7.0", "/42/settings", true, "0.7.0"},
        {"1.0", "/42/settings", true, "1.0"},
    };
    const QByteArray body =
        R"({"notifyConnection": false, "displayName": "Dana Admin", "audioEnable": false,
            "WebRTCMouseCursor": false})";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version ? c.version : "none");
        setUpSettings(server.baseUrl(), "42");
        GlobalSettings::instance().serverApiParams.adminName = "kept";
        server.clearRequests();
        serve(c.version, body);
        LogCapture log;

        EXPECT_TRUE(resolve());

        EXPECT_TRUE(shown.isEmpty());
        EXPECT_EQ(server.requestCount("/api/discover/"), 1);  // version() answered from cache
        EXPECT_EQ(server.requestCount(c.path), 1);
        EXPECT_EQ(server.requests().size(), 2);
        EXPECT_EQ(api().serverVersion.toString(), c.storedVersion);
        EXPECT_FALSE(api().showCursor);  // read on both paths
        if (c.readsSessionKeys) {
            EXPECT_FALSE(api().notifyConnection);
            EXPECT_EQ(api().adminName, "Dana Admin");
            EXPECT_FALSE(api().enableAudio);
            EXPECT_TRUE(log.contains("Ask permission from user: false\n"));
            EXPECT_TRUE(log.contains("Admin name: Dana Admin\n"));
            EXPECT_TRUE(log.contains("Enable audio: false\n"));
        } else {
            EXPECT_TRUE(api().notifyConnection);
            EXPECT_EQ(api().adminName, "kept");
            EXPECT_TRUE(api().enableAudio);
            EXPECT_FALSE(log.contains("Ask permission from user"));
        }
        EXPECT_TRUE(
            log.contains(QStringLiteral("[INFO] Server version: %1\n").arg(c.storedVersion)))
            << log.text().toStdString();
        EXPECT_TRUE(log.contains("Show cursor: false\n"));
        EXPECT_TRUE(log.contains("[DEBUG] Server API discover: \n{\n    \"server\": {"));
    }
}

TEST_F(SessionSettingsTest, SessionIdThatIsNotANumberAsksForSessionZeroButCannotWaiveConsent) {
    setUpSettings(server.baseUrl(), "abc42");
    server.setRoute("/api/discover/", 200, discoveryBody("0.7.0"));
    server.setRoute("/0/settings", 200, R"({"notifyConnection": false, "displayName": "Zero"})");
    LogCapture log;

    EXPECT_TRUE(resolve());

    EXPECT_EQ(settingsApi.sessionNumber, 0);
    EXPECT_EQ(server.requestCount("/0/settings"), 1);
    EXPECT_TRUE(api().notifyConnection);
    EXPECT_EQ(api().adminName, "Zero");
    EXPECT_TRUE(log.contains("[WARNING] serverApiSettings: session id is not a number"));
}

TEST_F(SessionSettingsTest, SettingsKeyRules) {
    struct Case {
        const char* body;
        bool notify;
        const char* name;
        bool audio;
        QStringList logLines;
    };
    const QString missing = QStringLiteral(
        "[WARNING] serverApiSettings: %1 value can't be read, using default value "
        "\"%2\"\n");
    const Case cases[] = {
        {R"({"notifyConnection": false, "displayName": "A", "audioEnable": false})",
         false,
         "A",
         false,
         {}},
        {R"({"notifyConnection": "false", "displayName": "A", "audioEnable": "false"})",
         true,
         "A",
         true,
         {}},
        {R"({"notifyConnection": 0, "displayName": 12, "audioEnable": null})", true, "", true, {}},
        {R"({"notifyConnection": true, "displayName": ["A"], "audioEnable": true})",
         true,
         "",
         true,
         {}},
        {R"({"displayName": "Ünïcødé"})",
         true,
         "Ünïcødé",
         true,
         {missing.arg("notifyConnection", "true"), missing.arg("audioEnable", "true")}},
        {R"({})",
         true,
         "",
         true,
         {missing.arg("notifyConnection", "true"), missing.arg("displayName", ""),
          missing.arg("audioEnable", "true"), missing.arg("WebRTCMouseCursor", "true")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        setUpSettings(server.baseUrl(), "42");
        serve("0.7.0", c.body);
        LogCapture log;

        EXPECT_TRUE(resolve());

        EXPECT_EQ(api().notifyConnection, c.notify);
        EXPECT_EQ(api().adminName, c.name);
        EXPECT_EQ(api().enableAudio, c.audio);
        for (const QString& line : c.logLines) {
            EXPECT_EQ(log.count(line), 1) << line.toStdString() << log.text().toStdString();
        }
        for (const char* key : {"notifyConnection", "displayName", "audioEnable"}) {
            if (c.logLines.isEmpty()) {
                EXPECT_FALSE(log.contains(QStringLiteral("%1 value can't be read").arg(key)));
            }
        }
    }
}

TEST_F(SessionSettingsTest, BadSettingsReplyFallsBackToDefaultsAndAsksAgainPerKey) {
    struct Case {
        int status;
        QByteArray body;
    };
    const Case cases[] = {{404, "{}"}, {200, "not json"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        setUpSettings(server.baseUrl(), "42");
        GlobalSettings::instance().serverApiParams.notifyConnection = false;
        GlobalSettings::instance().serverApiParams.enableAudio = false;
        GlobalSettings::instance().serverApiParams.showCursor = false;
        server.clearRequests();
        serve("0.7.0", c.body, c.status);
        LogCapture log;

        EXPECT_TRUE(resolve());

        EXPECT_TRUE(shown.isEmpty());
        EXPECT_TRUE(api().notifyConnection);
        EXPECT_TRUE(api().enableAudio);
        EXPECT_TRUE(api().showCursor);
        EXPECT_EQ(api().adminName, "");
        EXPECT_EQ(connection().stunUrl, kConfiguredStun);
        // notifyConnection, displayName, audioEnable, the cursor and the STUN list.
        EXPECT_EQ(server.requestCount("/42/settings"), 5);
        EXPECT_EQ(log.count("serverApiSettings: settings API return invalid JSON, using default "
                            "value \"true\"\n"),
                  3);
        EXPECT_EQ(log.count("serverApiSettings: settings API return invalid JSON, using default "
                            "value \"\"\n"),
                  1);
        EXPECT_EQ(log.count("serverApiSettings: settings API return invalid JSON\n"), 1);
    }
}

QByteArray stunBody(const QJsonArray& servers) {
    return QJsonDocument(QJsonObject{{"StunServers", servers}}).toJson();
}

QJsonObject stunEntry(const QJsonValue& urls) {
    return QJsonObject{{"urls", urls}};
}

TEST_F(SessionSettingsTest, StunServerList) {
    struct Case {
        const char* what;
        QByteArray body;
        const char* stun;  // both STUN fields afterwards; nullptr: both unchanged
        QStringList logLines;
        bool warnsAboutMany;
    };
    const Case cases[] = {
        {"host name with port",
         stunBody({stunEntry("stun:stun.example.org:3478")}),
         "stun://stun.example.org:3478",
         {},
         false},
        {"address without port",
         stunBody({stunEntry("stun:10.1.2.3")}),
         "stun://10.1.2.3",
         {},
         false},
        {"already in stun:// form",
         stunBody({stunEntry("stun://stun.example.org:3478")}),
         nullptr,
         {"serverApiSettings: STUN URL #0 isn't match regex\n"},
         false},
        {"TURN URL",
         stunBody({stunEntry("turn:turn.example.org:3478")}),
         nullptr,
         {"serverApiSettings: STUN URL #0 isn't match regex\n"},
         false},
        {"urls as an array",
         stunBody({stunEntry(QJsonArray{"stun:stun.example.org:3478"})}),
         nullptr,
         {"serverApiSettings: STUN URL #0 is invalid\n"},
         false},
        {"three valid entries",
         stunBody({stunEntry("stun:one.example.org:1"), stunEntry("stun:two.example.org:2"),
                   stunEntry("stun:three.example.org:3")}),
         "stun://one.example.org:1",
         {"[WARNING] Server return 3 STUN URLs, only first URL will be used\n"},
         true},
        {"invalid entries are skipped",
         stunBody({stunEntry(""), QJsonValue(5), stunEntry("stun:b.example.org:99999"),
                   stunEntry("stun:good.example.org:19302")}),
         "stun://good.example.org:19302",
         {"serverApiSettings: STUN URL #0 is invalid\n",
          "serverApiSettings: STUN URL #1 is invalid\n",
          "serverApiSettings: STUN URL #2 isn't match regex\n"},
         false},
        {"all invalid",
         stunBody({stunEntry("stun:localhost"), stunEntry("stun:1.2.3.256")}),
         nullptr,
         {"serverApiSettings: STUN URL #0 isn't match regex\n",
          "serverApiSettings: STUN URL #1 isn't match regex\n"},
         false},
        {"empty list",
         stunBody({}),
         nullptr,
         {"serverApiSettings: stunServers array is invalid\n"},
         false},
        {"not a list",
         R"({"StunServers": {"urls": "stun:a.example.org"}})",
         nullptr,
         {"serverApiSettings: stunServers array is invalid\n"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setUpSettings(server.baseUrl(), "42");
        serve("0.7.0", c.body);
        LogCapture log;

        EXPECT_TRUE(resolve());

        if (c.stun) {
            EXPECT_EQ(api().stunUrl, c.stun);
            EXPECT_EQ(connection().stunUrl, c.stun);
        } else {
            EXPECT_EQ(api().stunUrl, "");
            EXPECT_EQ(connection().stunUrl, kConfiguredStun);
        }
        for (const QString& line : c.logLines) {
            EXPECT_EQ(log.count(line), 1) << line.toStdString() << log.text().toStdString();
        }
        EXPECT_EQ(log.contains("STUN URLs, only first URL will be used"), c.warnsAboutMany);
    }
}

TEST(ValidateStunUrl, AcceptsOnlyStunColonHostAndPort) {
    struct Case {
        const char* url;
        bool valid;
    };
    const Case cases[] = {
        {"stun:stun.example.org", true},
        {"stun:stun.example.org:3478", true},
        {"stun:a.b-c.d_e.store:0", true},
        {"stun:a.museum", false},  // last label of 2 to 5 letters
        {"stun:1.2.3.4:65535", true},
        {"stun:255.255.255.255", true},
        {"stun:1.2.3.4:65536", false},
        {"stun:1.2.3.4:03478", false},
        {"stun:1.2.3.256", false},
        {"stun:localhost", false},
        {"stun:host.example.toolong", false},
        {"stun://stun.example.org:3478", false},
        {"stuns:stun.example.org", false},
        {"STUN:stun.example.org", false},
        {"stun:stun.example.org:3478/path", false},
        {" stun:stun.example.org", false},
        {"stun:", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ServerApiSettings::validateStunUrl(c.url), c.valid) << c.url;
    }
}

TEST_F(SessionSettingsTest, DiscoveryFailuresStopTheResolution) {
    struct Case {
        const char* what;
        HttpTestServer::Response discovery;
        const char* shown;
    };
    auto response = [](int status, const QByteArray& body, int delayMs) {
        HttpTestServer::Response r;
        r.status = status;
        r.body = body;
        r.delayMs = delayMs;
        return r;
    };
    const Case cases[] = {
        {"silent server", response(200, discoveryBody("0.7.0"), -1), "Server not found"},
        {"server error", response(500, discoveryBody("0.7.0"), 0), "Server version error"},
        {"refused code", response(201, discoveryBody("0.7.0"), 0), "Server version error"},
        {"not json", response(200, "<html></html>", 0), "Server version error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setUpSettings(server.baseUrl(), "42");
        GlobalSettings::instance().serverApiParams.adminName = "before";
        shown.clear();
        server.clearRequests();
        server.setRoute("/api/discover/", c.discovery);
        server.setRoute("/42/settings", 200, R"({"displayName": "after"})");
        discover.timeoutMs = 300;

        EXPECT_FALSE(resolve());

        EXPECT_EQ(shown, QStringList{c.shown});
        EXPECT_EQ(api().adminName, "before");
        EXPECT_TRUE(api().serverVersion.isNull());
        EXPECT_EQ(connection().stunUrl, kConfiguredStun);
        EXPECT_EQ(server.requestCount("/42/settings"), 0);
    }
}

TEST_F(SessionSettingsTest, NoServerListeningIsAVersionError) {
    const QString deadUrl = server.baseUrl();
    server.stop();
    setUpSettings(deadUrl, "42");

    EXPECT_FALSE(resolve());
    EXPECT_EQ(shown, QStringList{"Server version error"});
}

TEST_F(SessionSettingsTest, EveryResolutionAsksTheServerAgain) {
    serve("0.7.0", R"({"displayName": "first"})");
    EXPECT_TRUE(resolve());
    EXPECT_EQ(api().adminName, "first");

    serve("0.7.0", R"({"displayName": "second"})");
    EXPECT_TRUE(resolve());
    EXPECT_EQ(api().adminName, "second");
    EXPECT_EQ(server.requestCount("/api/discover/"), 2);
    EXPECT_EQ(server.requestCount("/42/settings"), 2);
}

class SessionSettingsTlsTest : public SessionSettingsTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(tlsServer.start());
        setUpSettings(tlsServer.baseUrl(), "42");
        tlsServer.setRoute("/api/discover/", 200, discoveryBody("0.7.0"));
        tlsServer.setRoute("/42/settings", 200,
                           R"({"notifyConnection": false, "displayName": "Mallory"})");
    }

    HttpTestServer tlsServer{HttpTestServer::Mode::Tls};
};

TEST_F(SessionSettingsTlsTest, UntrustedCertificateIsRefusedWithoutForce) {
    LogCapture log;

    EXPECT_FALSE(resolve());

    EXPECT_EQ(shown, QStringList{"Server version error"});
    EXPECT_GE(tlsServer.connectionCount(), 1);    // the server was reached...
    EXPECT_TRUE(tlsServer.requests().isEmpty());  // ...but no request went over the connection
    EXPECT_TRUE(log.contains(
        "[WARNING] ServerApi: SSL error: The certificate is self-signed, and untrusted"))
        << log.text().toStdString();
    EXPECT_TRUE(api().notifyConnection);
    EXPECT_EQ(api().adminName, "");
}

TEST_F(SessionSettingsTlsTest, ForceAcceptsTheCertificateAndLogsEachError) {
    GlobalSettings::instance().connectionParams.disableSsl = true;
    LogCapture log;

    EXPECT_TRUE(resolve());

    EXPECT_TRUE(shown.isEmpty());
    EXPECT_FALSE(api().notifyConnection);
    EXPECT_EQ(api().adminName, "Mallory");
    EXPECT_EQ(tlsServer.requests().size(), 2);
    EXPECT_TRUE(tlsServer.requests().first().tls);
    EXPECT_GE(log.count("[WARNING] ServerApi: SSL error: "), 2) << log.text().toStdString();
}

TEST_F(SessionSettingsTlsTest, TrustedCertificateNeedsNoForce) {
    // The check is real verification, not a refusal of all TLS: trust the server's certificate.
    for (ServerApi* client :
         {static_cast<ServerApi*>(&discover), static_cast<ServerApi*>(&settingsApi)}) {
        client->sslConfig.setCaCertificates({HttpTestServer::certificate()});
    }
    LogCapture log;

    EXPECT_TRUE(resolve());

    EXPECT_TRUE(shown.isEmpty());
    EXPECT_EQ(api().adminName, "Mallory");
    EXPECT_FALSE(log.contains("SSL error")) << log.text().toStdString();
}

}  // namespace
