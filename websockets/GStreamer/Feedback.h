// What the administrator's side says about the path, read from webrtcbin's statistics: the
// transport-wide feedback (every packet's arrival, before any repair) and, where a browser does
// not take that extension, the receiver reports. Pure functions over the "get-stats" reply.
#pragma once

#include <gst/gst.h>

#include <cstdint>

struct TransportFeedback {
    bool found = false;
    double lossBeforeRepair = 0;  // 0..1 of the packets the feedback covers
    double delayGradientMs = 0;   // mean change of the one-way delay between packets
    double sentKbps = 0;          // what the covered packets carried, as sent ...
    double receivedKbps = 0;      // ... and as received
    double packets = 0;           // how many packets it covers
};

struct VideoReceiverReport {
    bool found = false;
    double fractionLost = 0;  // 0..1, since the previous report
    double rttMs = 0;         // 0 when unknown
    // Identifies the report: the receiver's extended highest sequence number.
    bool hasHighestSeq = false;
    uint32_t highestSeq = 0;
};

TransportFeedback transportFeedbackOf(const GstStructure* stats);
// The report about the video sender with that SSRC.
VideoReceiverReport videoReportOf(const GstStructure* stats, guint ssrc);
