// What the call's transport shows: the packets that go out and come in, the retransmitter's
// requests, ICE's state, and the encoder's keyframes; the tick that asks webrtcbin for its
// statistics, hands them to the rate control and ends a call whose path has died.
#pragma once

#include <gst/gst.h>

class MediaSession;

// Before the pipeline plays: probes on the encoder and payloader, on the transport's elements
// as webrtcbin creates them, and ICE's connection state.
void watchMedia(GstElement* pipeline, GstElement* webrtc, MediaSession* s);
// The tick on the media object's GLib context; the caller destroys and releases the source.
GSource* startTick(GMainContext* context, MediaSession* s);

// The tick's period, and how many ticks apart webrtcbin is asked for its statistics.
constexpr int kTickMs = 100;
constexpr int kStatsEveryTicks = 10;
