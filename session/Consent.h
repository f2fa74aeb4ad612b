// The user's consent as values: what a request asks, and the leave to connect that answers it.
#pragma once

#include <QString>
#include <QtGlobal>

#include "GlobalSettings.h"

// What one attempt connects to, copied when it starts: later links, fields or settings never
// change it.
struct SessionTarget {
    ConnectionParams connection;
    ServerApiParams serverApi;
};

// A resolved request that waits for the user's answer or for its delayed connect.
class ConsentRequest {
public:
    // Where it came from: start-up asks before the window, Connect asks at once, a handed-over
    // link through a notification.
    enum class Origin { Startup, Connect, Link };

    quint64 attempt() const { return attemptNo; }
    Origin origin() const { return from; }
    const SessionTarget& target() const { return what; }
    QString adminName() const { return QString::fromStdString(what.serverApi.adminName); }
    // The host of the link's server when it is not the configured one, else empty.
    const QString& foreignHost() const { return foreign; }

private:
    friend class Session;
    ConsentRequest(quint64 attempt, Origin origin, SessionTarget target, QString foreignHost)
        : attemptNo(attempt),
          from(origin),
          what(std::move(target)),
          foreign(std::move(foreignHost)) {}

    quint64 attemptNo;
    Origin from;
    SessionTarget what;
    QString foreign;
};

// Leave to open the connection of one attempt to its target: the only thing that opens the
// signalling socket, and with it the channels and the media. Two makers only: the user's "Give
// permission" in the dialog, and the session when the configured server waives consent for a
// target on itself.
class Grant {
public:
    quint64 attempt() const { return request.attempt(); }
    const SessionTarget& target() const { return request.target(); }

private:
    friend class PermissionDialog;
    friend class Session;
    explicit Grant(const ConsentRequest& answered) : request(answered) {}

    ConsentRequest request;
};
