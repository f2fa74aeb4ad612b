// The media object of a session: the screen-share pipeline around webrtcbin, its negotiation,
// the data channel and incoming media. Lives on the Qt main thread; webrtcbin's callbacks run on
// GStreamer's threads and reach the Qt side only through this object's (queued) signals.
#pragma once

#include <gst/gst.h>

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <string>

#include "ConnectionState.h"
#include "GlobalSettings.h"

class MediaSession;

// The first element of the pipeline (at any depth) made by the factory name, or null. Borrowed.
GstElement* findByFactory(GstElement* pipeline, const char* factory);

class GStreamer : public QObject {
    Q_OBJECT

public:
    static constexpr const char* gstWebRtcBinName = "screenshare";
    // A call whose peer has not been heard from (or whose ICE has been disconnected) for this
    // long ends with "The connection with the administrator is lost".
    static constexpr int kPeerSilenceBoundMs = 10000;

    GStreamer();
    ~GStreamer() override;

    GStreamer(const GStreamer&) = delete;
    GStreamer& operator=(const GStreamer&) = delete;

    // Builds the description from the settings, launches it and sets it playing.
    void screenPipelineStart();
    // true: stop (NULL state) and release; false: release after a failed start.
    void screenPipelineStop(bool stop);

    // The GLib thread iterates the media object's own main context (its thread-default there)
    // between connect and disconnect; the once-a-second work of a call runs on it.
    void startGlibThread();
    void stopGlibThread();
    bool glibThreadRunning() const { return glibThread.isRunning(); }

    // SDP from the peer: exactly "answer" is an answer, anything else an offer.
    void onSdpReceived(const QString& type, const QString& text);

    // Emits an action signal on the WebRTC element, or only warns when there is none.
    // Used by the signalling side for "add-ice-candidate" (media line index, candidate text).
    void screenWebrtcBinEmitSignal(const char* signal, guint mLineIndex, const char* candidate);

    // For tests and diagnostics: the pipeline of the current session (borrowed) or null.
    GstElement* currentPipeline() const { return pipeline; }
    ConnectionState currentConnState() const { return connState.load(); }
    // Sessions whose callbacks may still arrive; 0 once every pipeline is gone.
    static int liveSessions();

    // Texts of the call's own failures, shown to the user.
    static constexpr const char* kErrPipelineStart =
        "ERROR: failed to start the GStreamer pipeline";
    static constexpr const char* kErrPipeline = "ERROR: the media pipeline failed";
    static constexpr const char* kErrVideoRefused = "ERROR: the administrator refused the video";
    static constexpr const char* kErrAnswerRefused =
        "ERROR: the administrator's answer was refused";

signals:
    void connStateChanged(ConnectionState state);
    void mainLoopTerminate(const char* msg, ConnectionState state);
    void sendSdpToPeer(QString text, QString type);
    void IceCandidate(uint mLineIx, QString candidate);

public slots:
    void getConnState(ConnectionState state);

private:
    friend class MediaSession;

    void glibLoop();
    // Whether an event of that call, queued by one of its callbacks, still belongs to the current
    // one; an earlier call's is dropped with a log line naming what.
    bool isCurrentCall(quint64 call, const char* what) const;
    void removeStatsFiles();
    void watchEncoder();

    GMainContext* context;
    GSource* tick = nullptr;
    QObject glibWorker;
    QThread glibThread;
    std::atomic<ConnectionState> connState{STATE_UNKNOWN};
    GstElement* pipeline = nullptr;
    GstElement* webrtcBin = nullptr;
    GObject* dataChannel = nullptr;  // a reference of its own
    GlobalSettings* settings;

    // Callbacks of the current pipeline hold this; it is cut off when the pipeline stops.
    MediaSession* session = nullptr;
    quint64 call = 0;  // the current pipeline's call number; 0 without one
    std::string statsDir;
};
