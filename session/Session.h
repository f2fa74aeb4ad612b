// One remote-assistance session's life: the requests that may start it (Connect, a link from the
// command line or from a second instance), the settings resolution, the wait for the user's
// consent or the delayed connect, the three channels with the media object, and their orderly end.
// Every event goes through one table (Session.cpp); the window only shows what happens here and
// passes the user's actions in.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

#include "Consent.h"
#include "GlobalSettings.h"
#include "ServerApiDiscover.h"
#include "ServerApiSettings.h"
#include "WSCursor.h"
#include "WSInput.h"
#include "WSSignalling.h"

class Session : public QObject {
    Q_OBJECT

public:
    // The newest request's state while there is one, else the connection's: a request that
    // resolves or waits leaves a running connection alone, behind it.
    enum class State {
        Idle,
        Resolving,        // the server is asked for the settings (a blocking wait is on the stack)
        Superseded,       // that wait's request was cancelled; what came meanwhile is queued
        AwaitingConsent,  // the user's answer
        AwaitingDelay,    // the configured server waived consent; the delayed connect
        Connecting,
        Live,
        Closed,  // shut down: nothing more happens
    };
    Q_ENUM(State)

    enum class Event {
        Connect,        // the user's Connect (button or Enter)
        Link,           // a link at start-up or from a second instance
        Disconnect,     // the user's Disconnect
        AsksConsent,    // the settings arrived and the user must agree
        ConsentWaived,  // the settings arrived and the configured server waives consent
        ResolveFailed,
        ReplyDropped,  // the settings of a cancelled request arrived
        Granted,
        Refused,
        DelayElapsed,
        SocketUp,     // the signalling socket connected
        SocketEnded,  // the connection ended, with a reason or not
        Shutdown,
    };
    Q_ENUM(Event)

    enum class Action {
        Ignore,
        Refuse,       // logged: one settings request at a time
        Resolve,      // a new attempt asks the server (blocks)
        Queue,        // kept until the outstanding wait returns
        Cancel,       // the pending request and the connection end
        RunQueued,    // after a dropped reply
        AskUser,      // consentRequested
        ArmDelay,     // the delayed connect
        ShowFailure,  // the resolution's error
        Open,         // the one door: closes the old connection, opens the granted one
        Drop,         // the request is refused, the connection behind stays
        ChannelsUp,   // input and cursor channels open
        EndCall,      // the connection ends with its reason
        ShutDown,
    };
    Q_ENUM(Action)

    // Table values only: the state is left as it is, or becomes the connection's (Idle,
    // Connecting or Live).
    static constexpr State Same = State(100);
    static constexpr State Behind = State(101);
    struct Transition {
        State next;
        Action action;
    };
    // The table's answer; Ignore for every pair it does not list.
    static Transition transition(State state, Event event);

    explicit Session(QObject* parent = nullptr);
    ~Session() override;

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the X display that input is injected into; it is closed at shutdown, after the input
    // thread has released what it held.
    bool openDisplay();
    // Ends everything: the connection, the worker threads (joined), then the display. Repeatable.
    void shutdown();

    State state() const { return current; }
    // Incremented by every request, cancel and supersession: a continuation whose number is no
    // longer current does nothing.
    quint64 attempt() const { return attemptNo; }
    // What the buttons show: something runs that Disconnect can stop.
    bool busy() const;
    // The connection's target (valid while state() is Connecting or Live, or a request waits
    // in front of a connection).
    const SessionTarget& liveTarget() const { return connection->target; }
    // The request waiting for the user's answer, if any.
    const ConsentRequest* pendingConsent() const;

    // Delay of the automatic connect of a link that needs no consent.
    int connectDelayMs = 5000;

    // Start-up with a link (in GlobalSettings): resolves it now (blocking). True when the user
    // must agree before it connects (answer through pendingConsent()); otherwise it connects
    // after the delay.
    bool resolveStartupLink();

    // The user's Connect (button or Enter) with the fields' values.
    void userConnect(const QString& serverUrl, const QString& sessionId);
    // The user's Disconnect: cancels whatever is pending and closes the connection.
    void userDisconnect();
    // A link handed over by a second instance (the text after "activate:").
    void handOver(const QString& url);
    // The user's answers to the request pendingConsent() showed.
    void grant(const Grant& grant);
    void refuse(quint64 forAttempt);

    WSSignalling wsSignalling;
    WSCursor wsCursor;
    WSInput wsInput;
    ServerApiDiscover serverApiDiscover;
    ServerApiSettings serverApiSettings;

signals:
    // Anything that busy() or state() reflect may have changed.
    void changed();
    // A text to show (a translation key of context "MainWindow"); valid during the emission.
    void errorShown(const char* message);
    void messageCleared();
    // The newest request needs the user's consent; answer with grant() or refuse().
    void consentRequested(const ConsentRequest& request);
    // An accepted request is about to connect: the fields show its target.
    void targetAccepted(const QString& serverUrl, const QString& sessionId);
    // Emitted, direct, before connecting on a wayland session; the receiver warns the user.
    void waylandWarning();
    void signallingUp(const QString& adminName);
    void connectionClosed();

private:
    // What an event brings with it.
    struct Input {
        ConsentRequest::Origin origin = ConsentRequest::Origin::Connect;
        SessionTarget target;          // Connect, Link
        const Grant* grant = nullptr;  // Granted
        const char* text = nullptr;    // ResolveFailed, SocketEnded
    };
    struct Connection {
        SessionTarget target;
        quint64 attempt = 0;
        bool up = false;
    };
    struct Pending {
        ConsentRequest request;
        std::optional<Grant> waiver;
    };
    struct Queued {
        Event event;
        Input input;
    };

    void dispatch(Event event);
    void dispatch(Event event, const Input& input);
    // Whether an event that belongs to `forAttempt` is still current; logs when not.
    bool isCurrent(Event event, quint64 forAttempt) const;
    State behind() const;

    void resolve(const Input& input);
    void classify(const Input& input, const SessionTarget& resolved, quint64 mine);
    void cancel();
    void shutDown();
    void open(const Grant& grant);
    bool validTarget(const ConnectionParams& params);
    void startConnection(const Grant& grant);
    void closeConnection();
    void channelsUp();
    void endCall(const char* reason);
    void showError(const char* message);
    void onTimer();

    GlobalSettings& settings;
    QTimer connectTimer;
    State current = State::Idle;
    quint64 attemptNo = 0;
    quint64 timerAttempt = 0;
    std::optional<Pending> pending;
    std::optional<Connection> connection;
    std::optional<Queued> queued;
    bool closing = false;
    bool userDisconnected = false;  // errors after the user's Disconnect are not shown
    bool displayOwned = false;
};
