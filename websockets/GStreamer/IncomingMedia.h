// Playback of the media the peer sends: each stream is decoded and played locally.
#pragma once

#include <gst/gst.h>

// "pad-added" of webrtcbin: a decodebin for every source pad.
void onIncomingStream(GstElement* webrtc, GstPad* pad, gpointer);
// "pad-added" of a decodebin: a playback chain for video and audio, nothing for the rest.
void onIncomingDecodeBinStream(GstElement* decodebin, GstPad* pad, gpointer);
// Builds queue ! converter [! audioresample] ! sink in the pipeline and links pad to it. A missing
// element leaves the stream unhandled (false) and the pipeline untouched.
bool handleMediaStream(GstPad* pad, GstBin* pipeline, const char* convertName,
                       const char* sinkName);
