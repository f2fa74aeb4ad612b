// Wires a GStreamer media object straight to an in-process WebRtcPeer, standing in for the
// signalling relay: SDP and ICE cross over queued signals, and the state is fed back the way
// the signalling side does it.
#pragma once

#include <gst/gst.h>

#include <QCoreApplication>
#include <QObject>
#include <QStringList>

#include "ConnectionState.h"
#include "GStreamer.h"
#include "GlobalSettings.h"
#include "ScreenGlobals.h"
#include "WaitFor.h"
#include "WebRtcPeer.h"

namespace media_test {

// Size of the X screen the tests capture, or 0x0 without a display.
ScreenSpecs xScreen();

void initMedia();

inline void configure(const char* video, const char* audio, bool enableAudio,
                      const ScreenSpecs& screen) {
    GlobalSettings& g = GlobalSettings::instance();
    g.connectionParams.videoCodec = video;
    g.connectionParams.audioCodec = audio;
    g.connectionParams.stunUrl.clear();
    g.connectionParams.micVolume = 100;
    g.serverApiParams.showCursor = true;
    g.serverApiParams.enableAudio = enableAudio;
    g.audioAvailable = true;
    screenSpecs = screen;
}

class Harness {
public:
    Harness() {
        QObject::connect(&gst, &GStreamer::connStateChanged, &ctx, [this](ConnectionState s) {
            state = s;
            states << s;
            gst.getConnState(s);
        });
        QObject::connect(&gst, &GStreamer::mainLoopTerminate, &ctx,
                         [this](const char* msg, ConnectionState) { terminations << msg; });
        QObject::connect(&gst, &GStreamer::sendSdpToPeer, &ctx, [this](QString text, QString t) {
            ++sdpSent;
            if (connectPeer) {
                peer.onSdp(text, t);
            }
        });
        QObject::connect(&gst, &GStreamer::IceCandidate, &ctx, [this](uint ix, QString c) {
            if (connectPeer) {
                peer.addIceCandidate(ix, c);
            }
        });
        QObject::connect(&peer, &WebRtcPeer::sdpReady, &ctx,
                         [this](QString text, QString t) { gst.onSdpReceived(t, text); });
        QObject::connect(&peer, &WebRtcPeer::iceCandidate, &ctx, [this](uint ix, QString c) {
            gst.screenWebrtcBinEmitSignal("add-ice-candidate", ix, c.toUtf8().constData());
        });
    }
    ~Harness() { stop(); }

    // Starts both sides the way "SESSION_OK" does on the agent.
    bool start() {
        if (!peer.start()) {
            return false;
        }
        gst.startGlibThread();
        state = PEER_CONNECTED;
        gst.getConnState(PEER_CONNECTED);
        gst.screenPipelineStop(true);
        gst.screenPipelineStart();
        return gst.currentPipeline() != nullptr;
    }

    // The administrator leaves first, so the agent's teardown is the one under test.
    void stop() {
        peer.stop();
        gst.screenPipelineStop(true);
        gst.stopGlibThread();
    }

    QObject ctx;
    GStreamer gst;
    WebRtcPeer peer;
    bool connectPeer = true;
    ConnectionState state = STATE_UNKNOWN;
    QList<ConnectionState> states;
    QStringList terminations;
    int sdpSent = 0;
};

}  // namespace media_test
