// The offer/answer exchange with the administrator, run by webrtcbin's callbacks and promises.
#pragma once

#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

class MediaSession;

// Connects webrtcbin's negotiation and ICE candidate signals to the session.
void connectNegotiation(GstElement* webrtc, MediaSession* s);
// The answer's video line with port 0: the peer takes the call without the picture.
bool videoRefused(const GstSDPMessage* sdp);
// "set-remote-description" of the peer's answer; the call starts only once it is applied.
void applyAnswer(GstElement* webrtc, GstWebRTCSessionDescription* answer, MediaSession* s);
// "set-remote-description" of the peer's offer, answered when it is applied.
void applyOffer(GstElement* webrtc, GstWebRTCSessionDescription* offer, MediaSession* s);
