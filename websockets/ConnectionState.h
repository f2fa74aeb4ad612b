// The call state. Outgoing SDP and ICE are allowed only from 4000 on; errors map by range.
#pragma once

#include <QMetaType>
#include <cstdint>

enum ConnectionState : int32_t {
    STATE_UNKNOWN = 0,
    STATE_ERROR = 1,

    SERVER_CONNECTING = 1000,
    SERVER_CONNECTION_ERROR = 1001,
    SERVER_CONNECTED = 1002,

    SERVER_REGISTERING = 2000,
    SERVER_REGISTRATION_ERROR = 2001,
    SERVER_REGISTERED = 2002,
    SERVER_CLOSED = 2003,

    PEER_CONNECTING = 3000,
    PEER_CONNECTION_ERROR = 3001,
    PEER_CONNECTED = 3002,

    PEER_CALL_NEGOTIATING = 4000,
    PEER_CALL_STARTED = 4001,
    PEER_CALL_ERROR = 4004,
};

Q_DECLARE_METATYPE(ConnectionState)
