// The administrator's side of a call, for what a browser cannot be made to do: a second webrtcbin
// in the test process that answers the agent's offer, asks for keyframes on demand, breaks its
// data channel, and is started and torn down hundreds of times. Lives on the Qt main thread.
#pragma once

#include <gst/gst.h>

#include <QObject>
#include <QString>

struct PeerCore;

class WebRtcPeer : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~WebRtcPeer() override;

    // A fresh receive-only webrtcbin; false when it cannot be built.
    bool start();
    void stop();

    int packets() const;   // RTP packets of the agent's streams
    int messages() const;  // text messages on the data channel

    void closeDataChannel();
    // Sends a message whose SCTP payload protocol id no data channel knows: a broken peer.
    void sendDataChannelGarbage();
    // Asks the agent for a keyframe (PLI).
    void requestKeyFrame();

public slots:
    // SDP from the agent: an offer is answered through sdpReady.
    void onSdp(QString text, QString type);
    void addIceCandidate(uint mLineIx, QString candidate);

signals:
    void sdpReady(QString text, QString type);
    void iceCandidate(uint mLineIx, QString candidate);

private:
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    PeerCore* core = nullptr;  // owned by webrtc: lives as long as its callbacks can run
};
