// The relays of a call on webrtcbin, and which path the call took.
#pragma once

#include <gst/gst.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include "GlobalSettings.h"

// Every relay the server named, else the one of KVNO_TURN_URL; set before the first offer.
void applyIceServers(GstElement* webrtc, const ConnectionParams& connection,
                     const ServerApiParams& serverApi);

// Once ICE is connected (again), logs at INFO the pair in use: the candidate types and the
// protocols.
void logSelectedPair(GstElement* webrtc, GstWebRTCICEConnectionState state);
