// One remote-assistance session's life: the requests that may start it (Connect, a link from the
// command line or from a second instance), the settings resolution, the wait for the user's
// consent or the delayed connect, the three channels with the media object, and their orderly end.
// The window only shows what happens here and passes the user's actions in.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

#include "GlobalSettings.h"
#include "ServerApiDiscover.h"
#include "ServerApiSettings.h"
#include "WSCursor.h"
#include "WSInput.h"
#include "WSSignalling.h"

// What one attempt connects to, copied when it starts: later links, fields or settings never
// change it.
struct SessionTarget {
    ConnectionParams connection;
    ServerApiParams serverApi;
};

class Session : public QObject {
    Q_OBJECT

public:
    // Idle: nothing runs. Resolving: the server is asked for the settings of the newest request.
    // WaitingForConsent: a resolved request waits for the user's answer or, when it needs none,
    // for its delayed connect. Connecting, Live: the channels are opening, are up. Closing: they
    // are being closed. A request that resolves or waits leaves a running connection alone.
    enum class State { Idle, Resolving, WaitingForConsent, Connecting, Live, Closing };
    Q_ENUM(State)

    explicit Session(QObject* parent = nullptr);
    ~Session() override;

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the X display that input is injected into; it is closed at shutdown, after the input
    // thread has released what it held.
    bool openDisplay();
    // Ends everything: the connection, the worker threads (joined), then the display. Repeatable.
    void shutdown();

    State state() const;
    // Incremented by every request, cancel and supersession: a continuation whose number is no
    // longer current does nothing.
    quint64 attempt() const { return attemptNo; }
    // What the buttons show: something runs that Disconnect can stop.
    bool busy() const;
    bool hasConnection() const { return connection.has_value(); }
    // The connection's target (valid while hasConnection()).
    const SessionTarget& liveTarget() const { return connection->target; }
    // The request waiting for consent or its delayed connect, if any.
    const SessionTarget* pendingTarget() const { return pending ? &pending->target : nullptr; }
    bool consentPending() const;

    // Delay of the automatic connect of a request that needs no consent.
    int connectDelayMs = 5000;

    // Start-up with a link (in GlobalSettings): resolves it now (blocking) into a pending request.
    // True when the user must agree before it connects. On success the resolved settings are
    // also stored in GlobalSettings, since nothing else runs yet.
    bool resolveStartupLink();
    // First show of the window: the start-up request connects now (consent was given) or after
    // the delay (it needed none).
    void releaseStartupLink();

    // The user's Connect (button or Enter) with the fields' values.
    void userConnect(const QString& serverUrl, const QString& sessionId);
    // The user's Disconnect: cancels whatever is pending and closes the connection.
    void userDisconnect();
    // A link handed over by a second instance (the text after "activate:").
    void handOver(const QString& url);
    // The user's answer to the consent request of `forAttempt`.
    void answerConsent(quint64 forAttempt, bool granted);

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
    // The newest request needs the user's consent; answer with answerConsent(forAttempt, ...).
    void consentRequested(quint64 forAttempt);
    // An accepted request is about to connect: the fields show its target.
    void targetAccepted(const QString& serverUrl, const QString& sessionId);
    // Emitted, direct, before connecting on a wayland session; the receiver warns the user.
    void waylandWarning();
    void signallingUp(const QString& adminName);
    void connectionClosed();

private:
    struct Connection {
        SessionTarget target;
        quint64 attempt = 0;
        bool up = false;
    };
    struct Pending {
        SessionTarget target;
        bool needsConsent = true;
        bool startup = false;
    };
    // What arrives while a settings request is out: run when its wait returns.
    struct Queued {
        bool isLink = false;
        QString url;                   // link
        QString serverUrl, sessionId;  // Connect
    };
    enum class Phase { Quiet, Resolving, WaitingForConsent };

    quint64 beginAttempt();
    void cancelPending(const char* why);
    void setPhase(Phase next);
    // Resolves `target` against its server; false when it failed (shown) or went stale.
    bool resolve(SessionTarget& target, quint64 mine);
    void runQueued();
    void resolveLink(const SessionTarget& target);
    bool linkNeedsConsent(const SessionTarget& target) const;
    void goAhead();
    bool adoptValidated(const ConnectionParams& params);
    void startConnection(const SessionTarget& target, quint64 mine);
    void closeConnection();
    void onSignallingConnected();
    void onSignallingDisconnected();
    void onSignallingError(const char* message);
    void showError(const char* message);
    void onTimer();

    GlobalSettings& settings;
    QTimer connectTimer;
    quint64 attemptNo = 0;
    quint64 timerAttempt = 0;
    Phase phase = Phase::Quiet;
    std::optional<Pending> pending;
    std::optional<Connection> connection;
    std::optional<Queued> queued;
    std::optional<SessionTarget> lastConnected;
    bool closing = false;
    int waits = 0;                  // settings requests on the stack
    bool userDisconnected = false;  // errors after the user's Disconnect are not shown
    bool displayOwned = false;
    bool shutDown = false;
};
