// Resolution of a session's settings from the server: discovery, then the settings document.
#pragma once

#include <functional>

class GlobalSettings;
struct ConnectionParams;
struct ServerApiParams;
class ServerApiDiscover;
class ServerApiSettings;

// Shows a failure to the user. The texts are translation keys of the context "MainWindow"
// ("Server not found", "Server version error"): translate them with
// QCoreApplication::translate("MainWindow", text).
using ShowErrorMessage = std::function<void(const char* message)>;

// The whole of MainWindow::getServerApiSettings():
//     return resolveSessionSettings(serverApiDiscover, serverApiSettings,
//                                   GlobalSettings::instance(),
//                                   [this](const char* m) { showErrorMessage(m); });
// Reads serverUrl, sessionId and disableSsl from settings.connectionParams; writes
// serverApiParams and, when the server names a usable STUN server, connectionParams.stunUrl.
// True when discovery succeeded, whatever happened to the individual keys; false after a
// discovery failure, which has been handed to showErrorMessage, with no setting changed.
// Blocks, processing events, for up to the clients' timeoutMs per request.
bool resolveSessionSettings(ServerApiDiscover& discover, ServerApiSettings& settingsApi,
                            GlobalSettings& settings, const ShowErrorMessage& showErrorMessage);

// The same on a session's own copy of the records: a target resolved while another session runs
// leaves GlobalSettings alone.
bool resolveSessionSettings(ServerApiDiscover& discover, ServerApiSettings& settingsApi,
                            ConnectionParams& connection, ServerApiParams& serverApi,
                            const ShowErrorMessage& showErrorMessage);
