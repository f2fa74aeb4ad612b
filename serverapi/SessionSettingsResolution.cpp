#include "SessionSettingsResolution.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QVersionNumber>
#include <optional>

#include "GlobalSettings.h"
#include "ServerApiDiscover.h"
#include "ServerApiSettings.h"
#include "logger.h"

namespace {

const char* const kServerNotFound = QT_TRANSLATE_NOOP("MainWindow", "Server not found");
const char* const kServerVersionError = QT_TRANSLATE_NOOP("MainWindow", "Server version error");

const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

bool resolveSessionSettings(ServerApiDiscover& discover, ServerApiSettings& settingsApi,
                            GlobalSettings& settings, const ShowErrorMessage& showErrorMessage) {
    return resolveSessionSettings(discover, settingsApi, settings.connectionParams,
                                  settings.serverApiParams, showErrorMessage);
}

bool resolveSessionSettings(ServerApiDiscover& discover, ServerApiSettings& settingsApi,
                            ConnectionParams& connection, ServerApiParams& serverApi,
                            const ShowErrorMessage& showErrorMessage) {
    const QString serverUrl = QString::fromStdString(connection.serverUrl);

    // Every resolution asks the server again.
    discover.cachedReply = QJsonDocument();
    settingsApi.cachedReply = QJsonDocument();
    discover.disableSsl = connection.disableSsl;
    settingsApi.disableSsl = connection.disableSsl;

    discover.baseUrl = serverUrl;
    const QJsonDocument discovery = discover.makeApiRequestSync(discover.discoverPath);
    if (discover.requestState == ApiRequestState::TimedOut) {
        showErrorMessage(kServerNotFound);
        return false;
    }
    if (discovery.isNull()) {
        showErrorMessage(kServerVersionError);
        return false;
    }

    const QVersionNumber version = discover.version();
    cli_log(LL_DEBUG, "Server API discover: \n%s\n",
            discovery.toJson(QJsonDocument::Indented).constData());
    cli_log(LL_INFO, "Server version: %s\n", version.toString().toUtf8().constData());

    // Another id's settings (those of session 0 for "abc", of 42 for "0042") must neither be
    // asked for nor waive the user's consent.
    const std::optional<int> sessionNumber =
        ServerApiSettings::sessionNumberOf(QString::fromStdString(connection.sessionId));
    if (!sessionNumber) {
        cli_log(LL_WARNING,
                "serverApiSettings: the session id is not a decimal number, using the default "
                "settings and asking permission\n");
        serverApi.notifyConnection = true;
        serverApi.adminName.clear();
        serverApi.enableAudio = true;
        serverApi.serverVersion = version;
        serverApi.showCursor = true;
        serverApi.relayUrls.clear();
        return true;
    }
    settingsApi.baseUrl = serverUrl;
    settingsApi.sessionNumber = *sessionNumber;

    if (QVersionNumber::compare(version, QVersionNumber(0, 7, 0)) < 0) {
        settingsApi.setSettingsApiPath(true);
    } else {
        settingsApi.setSettingsApiPath(false);
        serverApi.notifyConnection =
            settingsApi.boolSetting(QStringLiteral("notifyConnection"), true);
        serverApi.adminName =
            settingsApi.textSetting(QStringLiteral("displayName"), QString()).toStdString();
        serverApi.enableAudio = settingsApi.boolSetting(QStringLiteral("audioEnable"), true);
        cli_log(LL_INFO, "Ask permission from user: %s\n", boolText(serverApi.notifyConnection));
        cli_log(LL_INFO, "Admin name: %s\n", serverApi.adminName.c_str());
        cli_log(LL_INFO, "Enable audio: %s\n", boolText(serverApi.enableAudio));
    }

    const bool showCursor = settingsApi.mouseCursor();
    cli_log(LL_INFO, "Show cursor: %s\n", boolText(showCursor));

    const QStringList stunUrls = settingsApi.stunServers();
    if (!stunUrls.isEmpty()) {
        serverApi.stunUrl = stunUrls.first().toStdString();
        if (stunUrls.size() > 1) {
            cli_log(LL_WARNING, "Server return %d STUN URLs, only first URL will be used\n",
                    static_cast<int>(stunUrls.size()));
        }
        connection.stunUrl = serverApi.stunUrl;
    }
    serverApi.relayUrls = settingsApi.relayServers();

    serverApi.serverVersion = version;
    serverApi.showCursor = showCursor;
    return true;
}
