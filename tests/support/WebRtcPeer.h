// The administrator's side of a call for tests: a second webrtcbin in the test process that
// answers the agent's offer, decodes the video and counts what arrives. Lives on the Qt main
// thread; GStreamer's threads reach it only through queued signals and guarded counters.
#pragma once

#include <gst/gst.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

struct PeerCore;

class WebRtcPeer : public QObject {
    Q_OBJECT

public:
    struct Message {
        bool binary = false;
        QByteArray data;
    };

    explicit WebRtcPeer(QObject* parent = nullptr);
    ~WebRtcPeer() override;

    // A fresh receive-only webrtcbin; false when it cannot be built.
    bool start();
    void stop();

    int videoFrames() const;
    int videoWidth() const;
    int videoHeight() const;
    int audioPackets() const;
    std::vector<Message> messages() const;

    // Closes the data channel from this side (the agent must take it as the end of the call).
    void closeDataChannel();
    // Sends a message whose SCTP payload protocol id no data channel knows: a broken peer.
    void sendDataChannelGarbage();
    // Asks the agent for a keyframe the way a decoder does after a loss (PLI).
    void requestKeyFrame();

public slots:
    // SDP from the agent: an offer is answered through sdpReady.
    void onSdp(QString text, QString type);
    void addIceCandidate(uint mLineIx, QString candidate);

signals:
    void sdpReady(QString text, QString type);
    void iceCandidate(uint mLineIx, QString candidate);

private:
    std::shared_ptr<PeerCore> core;
};
