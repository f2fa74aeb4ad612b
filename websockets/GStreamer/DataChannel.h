// The data channel the agent opens with its pipeline: a greeting when it opens, the peer's text
// messages logged, and the call ended when it reports an error or closes.
#pragma once

#include <gst/gst.h>

class MediaSession;

// Asks webrtcbin for the channel and connects it; a reference of its own, or null without
// SCTP support.
GObject* createDataChannel(GstElement* webrtc, MediaSession* s);
