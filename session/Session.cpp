#include "Session.h"

#include "CmdlineParams.h"
#include "DisplayProbe.h"
#include "LinkTrust.h"
#include "ScreenGlobals.h"
#include "SessionSettingsResolution.h"
#include "SettingsLog.h"
#include "Validation.h"
#include "logger.h"

// Xlib last: its macros (None, Bool, Status) clash with Qt's headers.
#include <X11/Xlib.h>

namespace {

const char* nameOrNone(const std::string& name) {
    return name.empty() ? "'NONE'" : name.c_str();
}

using ULL = unsigned long long;

}  // namespace

Session::Session(QObject* parent)
    : QObject(parent),
      wsSignalling(this),
      wsCursor(nullptr),
      wsInput(nullptr),
      serverApiDiscover(nullptr, QString()),
      serverApiSettings(nullptr, QString()),
      settings(GlobalSettings::instance()) {
    qRegisterMetaType<ConnectionState>("ConnectionState");
    connectTimer.setSingleShot(true);
    connectTimer.setTimerType(Qt::PreciseTimer);
    connect(&connectTimer, &QTimer::timeout, this, &Session::onTimer);
    connect(&wsSignalling, &WSSignalling::wsConnected, this, &Session::onSignallingConnected);
    connect(&wsSignalling, &WSSignalling::wsDisconnected, this, &Session::onSignallingDisconnected);
    connect(&wsSignalling, &WSSignalling::errorOccured, this, &Session::onSignallingError);
}

Session::~Session() {
    shutdown();
}

bool Session::openDisplay() {
    displayOwned = (d == nullptr);
    return initDisplay();
}

void Session::shutdown() {
    if (shutDown) {
        return;
    }
    shutDown = true;
    connectTimer.stop();
    ++attemptNo;
    pending.reset();
    queued.reset();
    phase = Phase::Quiet;
    closeConnection();
    // A key or button held by the administrator is released by the input thread on its way out,
    // through the display: both threads end before the display closes.
    wsInput.stopWorker();
    wsCursor.stopWorker();
    if (displayOwned) {
        if (d) {
            XCloseDisplay(d);
        }
        d = nullptr;
        w = 0;
        screenSpecs = ScreenSpecs{};
        displayOwned = false;
    }
}

Session::State Session::state() const {
    if (closing) {
        return State::Closing;
    }
    if (phase == Phase::Resolving) {
        return State::Resolving;
    }
    if (phase == Phase::WaitingForConsent) {
        return State::WaitingForConsent;
    }
    if (connection) {
        return connection->up ? State::Live : State::Connecting;
    }
    return State::Idle;
}

bool Session::busy() const {
    return connection.has_value() || closing || phase == Phase::Resolving;
}

bool Session::consentPending() const {
    return phase == Phase::WaitingForConsent && pending && pending->needsConsent &&
           !pending->startup;
}

quint64 Session::beginAttempt() {
    userDisconnected = false;
    return ++attemptNo;
}

void Session::setPhase(Phase next) {
    phase = next;
    emit changed();
}

void Session::cancelPending(const char* why) {
    connectTimer.stop();
    if (phase == Phase::Quiet && !pending) {
        return;
    }
    const char* what = "settings request";
    if (phase == Phase::WaitingForConsent && pending) {
        what = pending->needsConsent ? "consent request" : "delayed connect";
    }
    cli_log(LL_INFO, "Session: attempt %llu (%s) cancelled by %s\n", ULL(attemptNo), what, why);
    ++attemptNo;
    pending.reset();
    setPhase(Phase::Quiet);
}

bool Session::resolve(SessionTarget& target, quint64 mine) {
    const char* failure = nullptr;
    ++waits;
    const bool ok = resolveSessionSettings(serverApiDiscover, serverApiSettings, target.connection,
                                           target.serverApi,
                                           [&failure](const char* message) { failure = message; });
    --waits;
    if (mine != attemptNo || shutDown) {
        cli_log(LL_INFO, "Session: settings of cancelled attempt %llu dropped\n", ULL(mine));
        if (!shutDown) {
            phase = Phase::Quiet;
            emit changed();
            runQueued();
        }
        return false;
    }
    if (!ok) {
        setPhase(Phase::Quiet);
        showError(failure ? failure : "Server version error");
        return false;
    }
    return true;
}

void Session::runQueued() {
    if (!queued || waits > 0) {
        return;
    }
    const Queued next = *queued;
    queued.reset();
    if (next.isLink) {
        handOver(next.url);
    } else {
        userConnect(next.serverUrl, next.sessionId);
    }
}

void Session::userConnect(const QString& serverUrl, const QString& sessionId) {
    if (shutDown) {
        return;
    }
    if (waits > 0) {
        // One settings request at a time: a second one would share the clients and could take
        // the first one's reply.
        if (phase == Phase::Resolving) {
            cli_log(LL_INFO, "Session: Connect ignored, attempt %llu is resolving its settings\n",
                    ULL(attemptNo));
            return;
        }
        cli_log(LL_INFO, "Session: Connect queued until the cancelled settings request returns\n");
        queued = Queued{false, QString(), serverUrl, sessionId};
        return;
    }
    cancelPending("Connect");
    closeConnection();
    const quint64 mine = beginAttempt();

    SessionTarget target{settings.connectionParams, settings.serverApiParams};
    target.connection.serverUrl = serverUrl.toStdString();
    target.connection.sessionId = sessionId.toStdString();
    if (!adoptValidated(target.connection)) {
        return;
    }

    // A link's settings were resolved when it was accepted; the same target is not asked again.
    const bool known = settings.fromLink && lastConnected &&
                       lastConnected->connection.serverUrl == target.connection.serverUrl &&
                       lastConnected->connection.sessionId == target.connection.sessionId;
    if (known) {
        target.serverApi = lastConnected->serverApi;
        target.connection.stunUrl = lastConnected->connection.stunUrl;
    } else {
        setPhase(Phase::Resolving);
        if (!resolve(target, mine)) {
            return;
        }
        phase = Phase::Quiet;
    }
    startConnection(target, mine);
}

void Session::userDisconnect() {
    if (shutDown) {
        return;
    }
    queued.reset();
    cancelPending("Disconnect");
    userDisconnected = true;
    closeConnection();
    emit changed();
}

void Session::handOver(const QString& url) {
    if (shutDown) {
        return;
    }
    // The URL parser writes the settings; a live session must not see that, so they are put back
    // before anything else runs.
    const ConnectionParams saved = settings.connectionParams;
    const bool parsed = parseFullUrl(url.toUtf8().constData(), settings);
    SessionTarget target{settings.connectionParams, ServerApiParams{}};
    settings.connectionParams = saved;
    if (!parsed) {
        cli_log(LL_ERROR, "Cannot parse full url\n");
        return;
    }

    if (waits > 0) {
        if (phase == Phase::Resolving) {
            cli_log(LL_INFO,
                    "Session: a newer link replaces attempt %llu, which is resolving its "
                    "settings\n",
                    ULL(attemptNo));
            ++attemptNo;
        } else {
            cli_log(LL_INFO, "Session: a newer link replaces the queued request\n");
        }
        queued = Queued{true, url, QString(), QString()};
        return;
    }
    cancelPending("a newer link");
    resolveLink(target);
}

void Session::resolveLink(const SessionTarget& linked) {
    SessionTarget target = linked;
    const quint64 mine = beginAttempt();
    setPhase(Phase::Resolving);
    if (!resolve(target, mine)) {
        return;
    }
    pending = Pending{target, linkNeedsConsent(target), false};
    setPhase(Phase::WaitingForConsent);
    if (pending->needsConsent) {
        emit consentRequested(mine);
    } else {
        timerAttempt = mine;
        connectTimer.start(connectDelayMs);
    }
}

bool Session::resolveStartupLink() {
    SessionTarget target{settings.connectionParams, settings.serverApiParams};
    const quint64 mine = beginAttempt();
    setPhase(Phase::Resolving);
    if (!resolve(target, mine)) {
        return false;
    }
    // Start-up: nothing else runs yet, and the consent question reads the name from here.
    settings.serverApiParams = target.serverApi;
    settings.connectionParams.stunUrl = target.connection.stunUrl;
    pending = Pending{target, linkNeedsConsent(target), true};
    setPhase(Phase::WaitingForConsent);
    return pending->needsConsent;
}

void Session::releaseStartupLink() {
    if (phase != Phase::WaitingForConsent || !pending || !pending->startup) {
        return;
    }
    if (pending->needsConsent) {
        goAhead();  // the user agreed before the window was shown
    } else {
        timerAttempt = attemptNo;
        connectTimer.start(connectDelayMs);
    }
}

// The server named by a link decides "notifyConnection", and anyone can send a link to a server
// of their own. Only the configured server is trusted to waive the user's consent.
bool Session::linkNeedsConsent(const SessionTarget& target) const {
    const QString configured = QString::fromStdString(settings.configuredServerUrl);
    const QString linked = QString::fromStdString(target.connection.serverUrl);
    if (!isSameServer(configured, linked)) {
        cli_log(LL_WARNING,
                "The server %s of the link is not the configured server %s, asking the user for "
                "permission\n",
                linked.toUtf8().constData(),
                configured.isEmpty() ? "'NONE'" : configured.toUtf8().constData());
        return true;
    }
    return target.serverApi.notifyConnection;
}

void Session::answerConsent(quint64 forAttempt, bool granted) {
    if (forAttempt != attemptNo || !consentPending()) {
        cli_log(LL_INFO, "Session: answer for attempt %llu is out of date, ignored\n",
                ULL(forAttempt));
        return;
    }
    if (!granted) {
        cli_log(LL_INFO, "Session: attempt %llu refused, nothing changes\n", ULL(forAttempt));
        ++attemptNo;
        pending.reset();
        setPhase(Phase::Quiet);
        return;
    }
    goAhead();
}

void Session::onTimer() {
    if (timerAttempt != attemptNo || phase != Phase::WaitingForConsent || !pending ||
        (pending->needsConsent && !pending->startup)) {
        cli_log(LL_INFO, "Session: delayed connect of attempt %llu is out of date, ignored\n",
                ULL(timerAttempt));
        return;
    }
    goAhead();
}

void Session::goAhead() {
    connectTimer.stop();
    const SessionTarget target = pending->target;
    pending.reset();
    const quint64 mine = attemptNo;
    phase = Phase::Quiet;
    userDisconnected = false;
    closeConnection();
    emit targetAccepted(QString::fromStdString(target.connection.serverUrl),
                        QString::fromStdString(target.connection.sessionId));
    if (!adoptValidated(target.connection)) {
        return;
    }
    startConnection(target, mine);
}

// Nothing runs now: the target becomes the settings, as the checks read them there. False, with
// the error shown, when it does not pass.
bool Session::adoptValidated(const ConnectionParams& params) {
    settings.connectionParams = params;
    if (!validateConnectionParams(settings)) {
        showError("Cannot validate parameters");
        emit changed();
        return false;
    }
    emit messageCleared();
    return true;
}

void Session::startConnection(const SessionTarget& target, quint64 mine) {
    // The old connection is gone: the settings now describe this one, for the channels.
    settings.connectionParams = target.connection;
    settings.serverApiParams = target.serverApi;
    lastConnected = target;
    connection = Connection{target, mine, false};
    emit changed();

    printCliParams("\nRunning with the following parameters:", settings);
    if (settings.waylandSession) {
        emit waylandWarning();
        if (!connection || connection->attempt != mine || shutDown) {
            return;
        }
    }

    const ConnectionParams& params = target.connection;
    cli_log(LL_INFO, "Connecting to the server %s/ws/signalling with sessionID %s and admin %s\n",
            params.serverUrl.c_str(), params.sessionId.c_str(),
            nameOrNone(target.serverApi.adminName));
    if (wsSignalling.webSocket.wsConnect()) {
        if (wsSignalling.connectionState() != SERVER_CONNECTING) {
            wsSignalling.setConnState(SERVER_CONNECTING);
        }
        wsSignalling.gstreamer.startGlibThread();
        cli_log(LL_DEBUG, "Glib thread started\n");
    }
}

void Session::closeConnection() {
    if (closing || !connection) {
        return;
    }
    closing = true;
    emit changed();
    const SessionTarget& target = connection->target;
    cli_log(LL_INFO,
            "Disconnecting from the server %s/ws/signalling with sessionID %s and admin %s\n",
            target.connection.serverUrl.c_str(), target.connection.sessionId.c_str(),
            nameOrNone(target.serverApi.adminName));

    wsCursor.webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    wsInput.webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    wsSignalling.gstreamer.screenPipelineStop(true);
    wsSignalling.gstreamer.stopGlibThread();
    // A socket still opening is dropped too: otherwise it would connect after the user's
    // Disconnect and start the session anyway.
    WebSocketBase& socket = wsSignalling.webSocket;
    if (socket.state() == QAbstractSocket::ConnectedState) {
        socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    } else if (socket.state() != QAbstractSocket::UnconnectedState) {
        socket.abort();
    }

    connection.reset();
    closing = false;
    emit connectionClosed();
    emit changed();
}

void Session::onSignallingConnected() {
    if (!connection || connection->up || closing) {
        cli_log(LL_INFO, "Session: signalling socket of no current connection, ignored\n");
        return;
    }
    connection->up = true;
    wsInput.webSocket.wsConnect();
    wsCursor.webSocket.wsConnect();
    emit signallingUp(QString::fromStdString(connection->target.serverApi.adminName));
    emit changed();
}

void Session::onSignallingDisconnected() {
    closeConnection();
}

void Session::onSignallingError(const char* message) {
    if (closing) {
        return;  // the closure this session is making itself
    }
    showError(message);
    closeConnection();
}

void Session::showError(const char* message) {
    if (userDisconnected) {
        return;
    }
    cli_log(LL_ERROR, "Terminate. Reason: %s\n", message);
    emit errorShown(message);
}
