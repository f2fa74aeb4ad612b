// The HTTP client and the resolution of a session's settings against a real loopback server:
// which replies are taken, the adverse servers, endpoint paths, key rules, STUN list, session ids
// and TLS.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
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

// One request of the client: only an accepted status with JSON is taken; a silent, oversized or
// downgrading server gives nothing.
TEST(ServerApi, WhatIsTaken) {
    HttpTestServer plain, tls(HttpTestServer::Mode::Tls);
    ASSERT_TRUE(plain.start() && tls.start());
    plain.setRoute("/target", 200, R"({"n": 1})");
    struct Row {
        const char* what;
        HttpTestServer::Response response;
        bool tls;
        ApiRequestState state;
        bool taken;
    };
    const QByteArray toPlain = (plain.baseUrl() + "/target").toUtf8();
    const Row rows[] = {
        {"200", {200, R"({"n": 1})", {}, 0}, false, ApiRequestState::Done, true},
        {"301 followed",
         {301, {}, {{"Location", "/target"}}, 0},
         false,
         ApiRequestState::Done,
         true},
        {"308 followed",
         {308, {}, {{"Location", "/target"}}, 0},
         false,
         ApiRequestState::Done,
         true},
        {"201", {201, R"({"n": 1})", {}, 0}, false, ApiRequestState::Failed, false},
        {"302 without Location",
         {302, R"({"n": 1})", {}, 0},
         false,
         ApiRequestState::Failed,
         false},
        {"404", {404, R"({"n": 1})", {}, 0}, false, ApiRequestState::Failed, false},
        {"unparsable", {200, "this is not json", {}, 0}, false, ApiRequestState::Done, false},
        {"silent", {200, "{}", {}, -1}, false, ApiRequestState::TimedOut, false},
        {"over 1 MiB",
         {200, "[\"" + QByteArray(3 << 20, 'x') + "\"]", {}, 0},
         false,
         ApiRequestState::Failed,
         false},
        {"https to http",
         {301, {}, {{"Location", toPlain}}, 0},
         true,
         ApiRequestState::Failed,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HttpTestServer& server = row.tls ? tls : plain;
        server.setRoute("/x", row.response);
        plain.clearRequests();
        ServerApi api{nullptr, server.baseUrl()};
        api.sslConfig.setCaCertificates({HttpTestServer::certificate()});
        api.timeoutMs = 500;

        const QJsonDocument doc = api.makeApiRequestSync("/x");

        EXPECT_EQ(api.requestState, row.state);
        EXPECT_EQ(doc.object().value("n").toInt(), row.taken ? 1 : 0);
        if (row.tls) {
            EXPECT_EQ(plain.requests().size(), 0);
        } else if (!row.taken) {  // what was refused is not kept: the next call asks again
            const int asked = plain.requestCount("/x");
            api.makeApiRequestSync("/x");
            EXPECT_EQ(plain.requestCount("/x"), asked + 1);
        }
    }
}

TEST(ServerApi, ReplyAfterItsTimeOutIsNeverTakenForALaterRequest) {
    // The late answer arrives while the second request is still waiting for its own.
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    server.setRoute("/slow", 200, R"({"from": "slow"})", 300);
    server.setRoute("/next", 200, R"({"from": "next"})", 700);
    ServerApi api{nullptr, server.baseUrl()};
    api.timeoutMs = 100;
    QSignalSpy data(&api, &ServerApi::requestedData);

    EXPECT_TRUE(api.makeApiRequestSync("/slow").isNull());
    EXPECT_EQ(api.requestState, ApiRequestState::TimedOut);
    api.timeoutMs = 3000;
    EXPECT_EQ(api.makeApiRequestSync("/next").object().value("from").toString(), "next");
    EXPECT_EQ(data.count(), 1);
}

class SessionSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        reset(server.baseUrl(), "42");
    }

    void reset(const QString& url, const char* sessionId) {
        GlobalSettings& s = GlobalSettings::instance();
        s.connectionParams = ConnectionParams{};
        s.connectionParams.serverUrl = url.toStdString();
        s.connectionParams.sessionId = sessionId;
        s.connectionParams.stunUrl = kConfiguredStun;
        s.serverApiParams = ServerApiParams{};
        shown.clear();
        server.clearRequests();
    }

    void serve(const char* version, const QByteArray& settingsBody, int settingsStatus = 200) {
        server.setRoute("/api/discover/", 200, discoveryBody(version));
        for (const char* path : {"/42/settings", "/api/42/settings", "/12/settings",
                                 "/api/12/settings", "/0/settings"}) {
            server.setRoute(path, settingsStatus, settingsBody);
        }
    }

    bool resolve() {
        return resolveSessionSettings(discover, settingsApi, GlobalSettings::instance(),
                                      [this](const char* m) { shown.append(m); });
    }

    // Settings requests made, in order (discovery left out).
    QStringList settingsRequests() const {
        QStringList paths;
        for (const HttpTestServer::Request& r : server.requests()) {
            if (r.path != QLatin1String("/api/discover/")) {
                paths << r.path;
            }
        }
        return paths;
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
    struct Row {
        QByteArray discovery;
        const char* path;
        bool readsSessionKeys;
        const char* storedVersion;
    };
    const Row rows[] = {
        {discoveryBody("0.6.9"), "/api/42/settings", false, "0.6.9"},
        {discoveryBody(nullptr), "/api/42/settings", false, "0.3.0"},
        {R"({"server": {"version": 7}})", "/api/42/settings", false, "0.3.0"},
        {discoveryBody("0.7.0"), "/42/settings", true, "0.7.0"},
        {discoveryBody("1.0"), "/42/settings", true, "1.0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.discovery.constData());
        reset(server.baseUrl(), "42");
        GlobalSettings::instance().serverApiParams.adminName = "kept";
        serve("0", R"({"notifyConnection": false, "displayName": "Dana", "audioEnable": false,
                       "WebRTCMouseCursor": false})");
        server.setRoute("/api/discover/", 200, row.discovery);

        EXPECT_TRUE(resolve());

        EXPECT_TRUE(shown.isEmpty());
        // One request per endpoint: every key is read from the one settings reply.
        EXPECT_EQ(server.requestCount("/api/discover/"), 1);
        EXPECT_EQ(settingsRequests(), QStringList{row.path});
        EXPECT_EQ(api().serverVersion.toString(), row.storedVersion);
        EXPECT_FALSE(api().showCursor);
        EXPECT_EQ(api().notifyConnection, !row.readsSessionKeys);
        EXPECT_EQ(api().adminName, row.readsSessionKeys ? "Dana" : "kept");
        EXPECT_EQ(api().enableAudio, !row.readsSessionKeys);
    }
}

// Only a plain decimal number names a session; any other id would fetch another session's
// settings (session 0 for "abc", 42 for "0042"), so none are fetched and the user is asked.
TEST_F(SessionSettingsTest, SessionIdTable) {
    struct Row {
        const char* id;
        const char* version;
        const char* path;  // nullptr: no settings request at all
    };
    const Row rows[] = {
        {"12", "0.7.0", "/12/settings"},   {"12", "0.6.9", "/api/12/settings"},
        {"0", "0.7.0", "/0/settings"},     {"abc", "0.7.0", nullptr},
        {"99999999999", "0.7.0", nullptr}, {"2147483648", "0.7.0", nullptr},
        {"0042", "0.7.0", nullptr},        {"", "0.7.0", nullptr},
        {"-1", "0.7.0", nullptr},          {"+5", "0.7.0", nullptr},
        {" 12", "0.7.0", nullptr},         {"12abc", "0.6.9", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("id '") + row.id + "' on " + row.version);
        reset(server.baseUrl(), row.id);
        serve(row.version, R"({"notifyConnection": false, "displayName": "Other"})");
        GlobalSettings::instance().serverApiParams.notifyConnection = false;
        LogCapture log;

        EXPECT_TRUE(resolve());

        EXPECT_EQ(settingsRequests(), row.path ? QStringList{row.path} : QStringList{});
        if (!row.path) {
            EXPECT_TRUE(api().notifyConnection);
            EXPECT_EQ(api().adminName, "");
            EXPECT_TRUE(log.contains(
                "[WARNING] serverApiSettings: the session id is not a decimal number"));
        } else if (QByteArray(row.version) == "0.7.0") {
            EXPECT_FALSE(api().notifyConnection);
            EXPECT_EQ(api().adminName, "Other");
        }
    }
}

TEST_F(SessionSettingsTest, KeyRulesAndBadReplies) {
    struct Row {
        int status;
        const char* body;
        bool notify;
        const char* name;
        bool audio;
        bool cursor;
    };
    const Row rows[] = {
        {200, R"({"notifyConnection": false, "displayName": "A", "audioEnable": false,
                  "WebRTCMouseCursor": false})",
         false, "A", false, false},
        // Only a JSON false is false; only a JSON string is a name.
        {200, R"({"notifyConnection": "false", "displayName": 12, "audioEnable": 0,
                  "WebRTCMouseCursor": null})",
         true, "", true, true},
        {200, R"({"displayName": ["A"]})", true, "", true, true},
        {200, R"({"displayName": "Ünïcødé"})", true, "Ünïcødé", true, true},
        {200, "[1, 2]", true, "", true, true},
        {404, "{}", true, "", true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body);
        reset(server.baseUrl(), "42");
        ServerApiParams& params = GlobalSettings::instance().serverApiParams;
        params.notifyConnection = params.enableAudio = params.showCursor = false;
        serve("0.7.0", row.body, row.status);

        EXPECT_TRUE(resolve());

        EXPECT_TRUE(shown.isEmpty());
        EXPECT_EQ(api().notifyConnection, row.notify);
        EXPECT_EQ(api().adminName, row.name);
        EXPECT_EQ(api().enableAudio, row.audio);
        EXPECT_EQ(api().showCursor, row.cursor);
        EXPECT_EQ(connection().stunUrl, kConfiguredStun);
    }
}

QByteArray stunBody(const QJsonArray& servers) {
    return QJsonDocument(QJsonObject{{"StunServers", servers}}).toJson();
}

QJsonObject urls(const QJsonValue& value) {
    return QJsonObject{{"urls", value}};
}

TEST_F(SessionSettingsTest, StunServerList) {
    struct Row {
        const char* what;
        QByteArray body;
        const char* stun;  // both STUN fields afterwards; nullptr: both unchanged
    };
    const Row rows[] = {
        {"host and port", stunBody({urls("stun:stun.example.org:3478")}),
         "stun://stun.example.org:3478"},
        {"urls as a list", stunBody({urls(QJsonArray{"stun:stun.example.org:3478"})}), nullptr},
        {"first of three",
         stunBody({urls("stun:one.example.org:1"), urls("stun:two.example.org:2"),
                   urls("stun:three.example.org:3")}),
         "stun://one.example.org:1"},
        {"bad entries skipped",
         stunBody({urls(""), QJsonValue(5), urls("stun:b.example.org:99999"),
                   urls("stun:good.example.org:19302")}),
         "stun://good.example.org:19302"},
        {"all bad", stunBody({urls("stun:localhost"), urls("stun:1.2.3.256")}), nullptr},
        {"not a list", R"({"StunServers": {"urls": "stun:a.example.org"}})", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset(server.baseUrl(), "42");
        serve("0.7.0", row.body);

        EXPECT_TRUE(resolve());

        EXPECT_EQ(api().stunUrl, row.stun ? row.stun : "");
        EXPECT_EQ(connection().stunUrl, row.stun ? row.stun : kConfiguredStun);
    }
}

TEST(ValidateStunUrl, AcceptsOnlyStunColonHostAndPort) {
    for (const char* url : {"stun:stun.example.org", "stun:a.b-c.d_e.store:0", "stun:1.2.3.4:65535",
                            "stun:255.255.255.255"}) {
        EXPECT_TRUE(ServerApiSettings::validateStunUrl(url)) << url;
    }
    for (const char* url :
         {"stun:a.museum", "stun:1.2.3.4:65536", "stun:1.2.3.4:03478", "stun:1.2.3.256",
          "stun:localhost", "stun://stun.example.org:3478", "turn:stun.example.org",
          "stuns:stun.example.org", "STUN:stun.example.org", "stun:stun.example.org:3478/path",
          " stun:stun.example.org", "stun:", ""}) {
        EXPECT_FALSE(ServerApiSettings::validateStunUrl(url)) << url;
    }
}

TEST_F(SessionSettingsTest, DiscoveryFailuresStopTheResolution) {
    struct Row {
        const char* what;
        int status;
        QByteArray body;
        int delayMs;
        const char* shown;
    };
    const Row rows[] = {
        {"silent server", 200, discoveryBody("0.7.0"), -1, "Server not found"},
        {"server error", 500, discoveryBody("0.7.0"), 0, "Server version error"},
        {"nobody listening", 0, {}, 0, "Server version error"},
    };
    discover.timeoutMs = 300;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset(server.baseUrl(), "42");
        GlobalSettings::instance().serverApiParams.adminName = "before";
        serve("0.7.0", R"({"displayName": "after"})");
        server.setRoute("/api/discover/", row.status, row.body, row.delayMs);
        if (row.status == 0) {
            server.stop();
        }

        EXPECT_FALSE(resolve());

        EXPECT_EQ(shown, QStringList{row.shown});
        EXPECT_EQ(api().adminName, "before");
        EXPECT_TRUE(api().serverVersion.isNull());
        EXPECT_TRUE(settingsRequests().isEmpty());
    }
}

TEST_F(SessionSettingsTest, CertificateIsCheckedUnlessForced) {
    struct Row {
        const char* what;
        bool force;
        bool trusted;
        bool resolves;
    };
    const Row rows[] = {
        {"untrusted", false, false, false},
        {"untrusted, force", true, false, true},
        {"trusted", false, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HttpTestServer tls(HttpTestServer::Mode::Tls);
        ASSERT_TRUE(tls.start());
        tls.setRoute("/api/discover/", 200, discoveryBody("0.7.0"));
        tls.setRoute("/42/settings", 200, R"({"notifyConnection": false, "displayName": "M"})");
        reset(tls.baseUrl(), "42");
        GlobalSettings::instance().connectionParams.disableSsl = row.force;
        for (ServerApi* client :
             {static_cast<ServerApi*>(&discover), static_cast<ServerApi*>(&settingsApi)}) {
            client->sslConfig.setCaCertificates(
                row.trusted ? QList<QSslCertificate>{HttpTestServer::certificate()}
                            : QList<QSslCertificate>{});
        }

        EXPECT_EQ(resolve(), row.resolves);

        EXPECT_EQ(tls.requests().size(), row.resolves ? 2 : 0);
        EXPECT_EQ(api().notifyConnection, !row.resolves);
        if (!row.resolves) {
            EXPECT_GE(tls.connectionCount(), 1);  // reached, but nothing was sent over it
            EXPECT_EQ(shown, QStringList{"Server version error"});
        }
    }
}

}  // namespace
