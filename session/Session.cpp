#include "Session.h"

#include <QMetaEnum>

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

using State = Session::State;
using Event = Session::Event;
using Action = Session::Action;
using Origin = ConsentRequest::Origin;
using ULL = unsigned long long;

struct Row {
    State state;
    Event event;
    State next;
    Action action;
};

constexpr State Same = Session::Same;
constexpr State Behind = Session::Behind;

// Every door of the session. A pair that is not here does nothing. Consent: only Granted and
// DelayElapsed open a connection, and both carry the grant of the request they answer.
// clang-format off
constexpr Row kTable[] = {
    // state                 event                  next                    action
    {State::Idle,            Event::Connect,        State::Resolving,       Action::Resolve},
    {State::Idle,            Event::Link,           State::Resolving,       Action::Resolve},
    {State::Idle,            Event::Shutdown,       State::Closed,          Action::ShutDown},

    // One settings request at a time: the wait runs the event loop, so what comes meanwhile is
    // refused or queued until it returns.
    {State::Resolving,       Event::Connect,        Same,                   Action::Refuse},
    {State::Resolving,       Event::Link,           State::Superseded,      Action::Queue},
    {State::Resolving,       Event::Disconnect,     State::Superseded,      Action::Cancel},
    {State::Resolving,       Event::AsksConsent,    State::AwaitingConsent, Action::AskUser},
    {State::Resolving,       Event::ConsentWaived,  State::AwaitingDelay,   Action::ArmDelay},
    {State::Resolving,       Event::ResolveFailed,  Behind,                 Action::ShowFailure},
    {State::Resolving,       Event::SocketUp,       Same,                   Action::ChannelsUp},
    {State::Resolving,       Event::SocketEnded,    Same,                   Action::EndCall},
    {State::Resolving,       Event::Shutdown,       State::Closed,          Action::ShutDown},

    {State::Superseded,      Event::Connect,        Same,                   Action::Queue},
    {State::Superseded,      Event::Link,           Same,                   Action::Queue},
    {State::Superseded,      Event::Disconnect,     Same,                   Action::Cancel},
    {State::Superseded,      Event::ReplyDropped,   Behind,                 Action::RunQueued},
    {State::Superseded,      Event::SocketUp,       Same,                   Action::ChannelsUp},
    {State::Superseded,      Event::SocketEnded,    Same,                   Action::EndCall},
    {State::Superseded,      Event::Shutdown,       State::Closed,          Action::ShutDown},

    {State::AwaitingConsent, Event::Connect,        State::Resolving,       Action::Resolve},
    {State::AwaitingConsent, Event::Link,           State::Resolving,       Action::Resolve},
    {State::AwaitingConsent, Event::Disconnect,     Behind,                 Action::Cancel},
    {State::AwaitingConsent, Event::Granted,        State::Connecting,      Action::Open},
    {State::AwaitingConsent, Event::Refused,        Behind,                 Action::Drop},
    {State::AwaitingConsent, Event::SocketUp,       Same,                   Action::ChannelsUp},
    {State::AwaitingConsent, Event::SocketEnded,    Same,                   Action::EndCall},
    {State::AwaitingConsent, Event::Shutdown,       State::Closed,          Action::ShutDown},

    {State::AwaitingDelay,   Event::Connect,        State::Resolving,       Action::Resolve},
    {State::AwaitingDelay,   Event::Link,           State::Resolving,       Action::Resolve},
    {State::AwaitingDelay,   Event::Disconnect,     Behind,                 Action::Cancel},
    {State::AwaitingDelay,   Event::DelayElapsed,   State::Connecting,      Action::Open},
    {State::AwaitingDelay,   Event::SocketUp,       Same,                   Action::ChannelsUp},
    {State::AwaitingDelay,   Event::SocketEnded,    Same,                   Action::EndCall},
    {State::AwaitingDelay,   Event::Shutdown,       State::Closed,          Action::ShutDown},

    {State::Connecting,      Event::Connect,        State::Resolving,       Action::Resolve},
    {State::Connecting,      Event::Link,           State::Resolving,       Action::Resolve},
    {State::Connecting,      Event::Disconnect,     Behind,                 Action::Cancel},
    {State::Connecting,      Event::SocketUp,       State::Live,            Action::ChannelsUp},
    {State::Connecting,      Event::SocketEnded,    Behind,                 Action::EndCall},
    {State::Connecting,      Event::Shutdown,       State::Closed,          Action::ShutDown},

    {State::Live,            Event::Connect,        State::Resolving,       Action::Resolve},
    {State::Live,            Event::Link,           State::Resolving,       Action::Resolve},
    {State::Live,            Event::Disconnect,     Behind,                 Action::Cancel},
    {State::Live,            Event::SocketEnded,    Behind,                 Action::EndCall},
    {State::Live,            Event::Shutdown,       State::Closed,          Action::ShutDown},
};
// clang-format on

template <typename E>
const char* nameOf(E value) {
    const char* name = QMetaEnum::fromType<E>().valueToKey(int(value));
    return name ? name : "?";
}

const char* nameOrNone(const std::string& name) {
    return name.empty() ? "'NONE'" : name.c_str();
}

}  // namespace

Session::Transition Session::transition(State state, Event event) {
    for (const Row& row : kTable) {
        if (row.state == state && row.event == event) {
            return {row.next, row.action};
        }
    }
    return {Same, Action::Ignore};
}

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
    connect(&wsSignalling, &WSSignalling::wsConnected, this, [this] { dispatch(Event::SocketUp); });
    connect(&wsSignalling, &WSSignalling::wsDisconnected, this,
            [this] { dispatch(Event::SocketEnded); });
    connect(&wsSignalling, &WSSignalling::errorOccured, this, [this](const char* message) {
        Input input;
        input.text = message;
        dispatch(Event::SocketEnded, input);
    });
}

Session::~Session() {
    shutdown();
}

bool Session::openDisplay() {
    displayOwned = (d == nullptr);
    return initDisplay();
}

void Session::shutdown() {
    dispatch(Event::Shutdown);
}

bool Session::busy() const {
    return connection.has_value() || closing || current == State::Resolving ||
           current == State::Superseded;
}

const ConsentRequest* Session::pendingConsent() const {
    return current == State::AwaitingConsent && pending ? &pending->request : nullptr;
}

Session::State Session::behind() const {
    if (!connection) {
        return State::Idle;
    }
    return connection->up ? State::Live : State::Connecting;
}

bool Session::isCurrent(Event event, quint64 forAttempt) const {
    if (forAttempt == attemptNo) {
        return true;
    }
    cli_log(LL_INFO, "Session: %s of attempt %llu is out of date, ignored\n", nameOf(event),
            ULL(forAttempt));
    return false;
}

void Session::dispatch(Event event) {
    dispatch(event, Input());
}

void Session::dispatch(Event event, const Input& input) {
    const Transition t = transition(current, event);
    if (t.action == Action::Ignore) {
        cli_log(LL_DEBUG, "Session: %s ignored while %s\n", nameOf(event), nameOf(current));
        return;
    }
    cli_log(LL_DEBUG, "Session: %s while %s: %s\n", nameOf(event), nameOf(current),
            nameOf(t.action));
    if (t.next != Same && t.next != Behind) {
        current = t.next;
    }
    std::optional<Queued> followUp;
    switch (t.action) {
        case Action::Ignore:
            break;
        case Action::Refuse:
            cli_log(LL_INFO, "Session: %s ignored, attempt %llu is resolving its settings\n",
                    nameOf(event), ULL(attemptNo));
            break;
        case Action::Resolve:
            resolve(input);
            return;  // the outcome went through the table
        case Action::Queue:
            cli_log(LL_INFO, "Session: %s queued until the outstanding settings request returns\n",
                    nameOf(event));
            queued = Queued{event, input};
            break;
        case Action::Cancel:
            cancel();
            break;
        case Action::RunQueued:
            followUp.swap(queued);
            break;
        case Action::AskUser:
            emit consentRequested(pending->request);
            break;
        case Action::ArmDelay:
            timerAttempt = attemptNo;
            connectTimer.start(pending->request.origin() == Origin::Connect ? 0 : connectDelayMs);
            break;
        case Action::ShowFailure:
            showError(input.text);
            break;
        case Action::Open:
            if (event == Event::Granted) {
                open(*input.grant);
            } else {
                const Grant waiver = *pending->waiver;
                open(waiver);
            }
            return;  // it sets the state itself
        case Action::Drop:
            cli_log(LL_INFO, "Session: attempt %llu refused, nothing changes\n", ULL(attemptNo));
            ++attemptNo;
            pending.reset();
            break;
        case Action::ChannelsUp:
            channelsUp();
            break;
        case Action::EndCall:
            endCall(input.text);
            break;
        case Action::ShutDown:
            shutDown();
            return;
    }
    if (t.next == Behind) {
        current = behind();
    }
    emit changed();
    if (followUp) {
        dispatch(followUp->event, followUp->input);
    }
}

void Session::userConnect(const QString& serverUrl, const QString& sessionId) {
    Input input;
    input.origin = Origin::Connect;
    // Settings of an earlier server (its administrator, its audio) never carry over.
    input.target = SessionTarget{settings.connectionParams, ServerApiParams{}};
    input.target.connection.serverUrl = serverUrl.toStdString();
    input.target.connection.sessionId = sessionId.toStdString();
    dispatch(Event::Connect, input);
}

void Session::userDisconnect() {
    dispatch(Event::Disconnect);
}

void Session::handOver(const QString& url) {
    if (current == State::Closed) {
        return;
    }
    // The URL parser writes the settings; a live session must not see that, so they are put back
    // before anything else runs.
    const ConnectionParams saved = settings.connectionParams;
    const bool parsed = parseFullUrl(url.toUtf8().constData(), settings);
    Input input;
    input.origin = Origin::Link;
    input.target = SessionTarget{settings.connectionParams, ServerApiParams{}};
    settings.connectionParams = saved;
    if (!parsed) {
        cli_log(LL_ERROR, "Cannot parse full url\n");
        return;
    }
    dispatch(Event::Link, input);
}

bool Session::resolveStartupLink() {
    Input input;
    input.origin = Origin::Startup;
    input.target = SessionTarget{settings.connectionParams, ServerApiParams{}};
    dispatch(Event::Link, input);
    if (pending && pending->request.origin() == Origin::Startup) {
        // Nothing else runs yet: the settings describe the start-up link.
        settings.serverApiParams = pending->request.target().serverApi;
        settings.connectionParams.stunUrl = pending->request.target().connection.stunUrl;
    }
    return current == State::AwaitingConsent;
}

void Session::grant(const Grant& grant) {
    if (!isCurrent(Event::Granted, grant.attempt())) {
        return;
    }
    Input input;
    input.grant = &grant;
    dispatch(Event::Granted, input);
}

void Session::refuse(quint64 forAttempt) {
    if (isCurrent(Event::Refused, forAttempt)) {
        dispatch(Event::Refused);
    }
}

void Session::onTimer() {
    if (isCurrent(Event::DelayElapsed, timerAttempt)) {
        dispatch(Event::DelayElapsed);
    }
}

void Session::resolve(const Input& input) {
    connectTimer.stop();
    pending.reset();
    userDisconnected = false;
    const quint64 mine = ++attemptNo;
    if (input.origin == Origin::Connect) {
        // The user's own Connect replaces whatever runs; a link waits beside it until agreed.
        closeConnection();
        if (!validTarget(input.target.connection)) {
            current = behind();
            showError("Cannot validate parameters");
            emit changed();
            return;
        }
    }
    emit changed();

    SessionTarget target = input.target;
    const char* failure = nullptr;
    const bool ok = resolveSessionSettings(serverApiDiscover, serverApiSettings, target.connection,
                                           target.serverApi,
                                           [&failure](const char* message) { failure = message; });
    if (mine != attemptNo || current != State::Resolving) {
        cli_log(LL_INFO, "Session: settings of cancelled attempt %llu dropped\n", ULL(mine));
        dispatch(Event::ReplyDropped);
        return;
    }
    if (!ok) {
        Input failed;
        failed.text = failure ? failure : "Server version error";
        dispatch(Event::ResolveFailed, failed);
        return;
    }

    const QString configured = QString::fromStdString(settings.configuredServerUrl);
    const QString linked = QString::fromStdString(target.connection.serverUrl);
    pending =
        Pending{ConsentRequest(mine, input.origin, target, foreignServerHost(configured, linked)),
                std::nullopt};
    // The server named by a link decides "notifyConnection", and anyone can send a link to a
    // server of their own: only the configured server may waive the user's consent.
    if (!isSameServer(configured, linked)) {
        cli_log(LL_WARNING,
                "The server %s of the link is not the configured server %s, asking the user for "
                "permission\n",
                linked.toUtf8().constData(),
                configured.isEmpty() ? "'NONE'" : configured.toUtf8().constData());
    } else if (!target.serverApi.notifyConnection) {
        pending->waiver = Grant(pending->request);
        dispatch(Event::ConsentWaived);
        return;
    }
    dispatch(Event::AsksConsent);
}

void Session::cancel() {
    queued.reset();
    connectTimer.stop();
    if (pending || current == State::Superseded) {
        cli_log(LL_INFO, "Session: attempt %llu cancelled by Disconnect\n", ULL(attemptNo));
        ++attemptNo;
        pending.reset();
    }
    userDisconnected = true;
    closeConnection();
}

void Session::shutDown() {
    connectTimer.stop();
    ++attemptNo;
    pending.reset();
    queued.reset();
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

// The parameters are checked where the checks read them, and put back: a running session must
// not see a target it may never connect to.
bool Session::validTarget(const ConnectionParams& params) {
    const ConnectionParams saved = settings.connectionParams;
    settings.connectionParams = params;
    const bool valid = validateConnectionParams(settings);
    settings.connectionParams = saved;
    return valid;
}

void Session::open(const Grant& grant) {
    connectTimer.stop();
    pending.reset();
    userDisconnected = false;
    // The new target is checked before the running session is dropped for it.
    if (!validTarget(grant.target().connection)) {
        current = behind();
        showError("Cannot validate parameters");
        emit changed();
        return;
    }
    closeConnection();
    current = State::Connecting;
    emit targetAccepted(QString::fromStdString(grant.target().connection.serverUrl),
                        QString::fromStdString(grant.target().connection.sessionId));
    emit messageCleared();
    startConnection(grant);
}

void Session::startConnection(const Grant& grant) {
    const SessionTarget& target = grant.target();
    const quint64 mine = grant.attempt();
    // The old connection is gone: the settings now describe this one, for the channels.
    settings.connectionParams = target.connection;
    settings.serverApiParams = target.serverApi;
    connection = Connection{target, mine, false};
    emit changed();

    printCliParams("\nRunning with the following parameters:", settings);
    if (settings.waylandSession) {
        emit waylandWarning();
        if (!connection || connection->attempt != mine || current == State::Closed) {
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

void Session::channelsUp() {
    if (!connection || connection->up || closing) {
        cli_log(LL_INFO, "Session: signalling socket of no current connection, ignored\n");
        return;
    }
    connection->up = true;
    wsInput.webSocket.wsConnect();
    wsCursor.webSocket.wsConnect();
    emit signallingUp(QString::fromStdString(connection->target.serverApi.adminName));
}

// The first reason wins: the closure that follows it (or that this session makes itself) reports
// only that the socket closed.
void Session::endCall(const char* reason) {
    if (!connection || closing) {
        return;
    }
    if (reason) {
        showError(reason);
    }
    closeConnection();
}

void Session::showError(const char* message) {
    if (userDisconnected) {
        return;
    }
    cli_log(LL_ERROR, "Terminate. Reason: %s\n", message);
    emit errorShown(message);
}
