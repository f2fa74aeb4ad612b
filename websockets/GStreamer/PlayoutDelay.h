// The playout-delay RTP header extension: the sender tells the browser how long it may hold a
// frame before showing it. An agent whose picture follows the administrator's own hand asks for
// no delay at all, so the browser shows each frame as soon as it is decoded.
#pragma once

constexpr const char* kPlayoutDelayUri =
    "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";

// Makes the extension known to GStreamer, so that a payloader whose caps name the URI writes it.
// Safe to call more than once. False if it could not be registered.
bool registerPlayoutDelayExtension();
