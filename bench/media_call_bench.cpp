// Two halves of a benchmark call, one per process, meeting over a loopback TCP socket that
// carries the SDP and ICE messages as JSON lines.
//   media_call_bench agent PORT SECONDS  - the agent's media object sharing the screen (VP8)
//   media_call_bench peer PORT SECONDS   - a webrtcbin that answers and decodes
// The agent prints its CPU time over SECONDS from the start of the call; the peer prints the
// frames per second it decoded over SECONDS from its first frame.
#include <gst/gst.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>

#include "GStreamer.h"
#include "GlobalSettings.h"
#include "MediaHarness.h"
#include "ScreenGlobals.h"
#include "WebRtcPeer.h"

namespace {

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void sendJson(QTcpSocket* socket, const QJsonObject& o) {
    socket->write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
}

QJsonObject sdpMessage(const QString& text, const QString& type) {
    return {{"sdp", QJsonObject{{"sdp", text}, {"type", type}}}};
}

QJsonObject iceMessage(uint index, const QString& candidate) {
    return {{"ice", QJsonObject{{"candidate", candidate}, {"sdpMLineIndex", int(index)}}}};
}

// Calls onLine for every complete line that arrives.
template <typename F>
void readLines(QTcpSocket* socket, F onLine) {
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, onLine] {
        while (socket->canReadLine()) {
            onLine(QJsonDocument::fromJson(socket->readLine()).object());
        }
    });
}

int runAgent(quint16 port, int seconds) {
    screenSpecs = media_test::xScreen();
    if (screenSpecs.width == 0) {
        std::fprintf(stderr, "agent: no X display\n");
        return 1;
    }
    GlobalSettings& g = GlobalSettings::instance();
    g.connectionParams.videoCodec = vcVp8;
    g.connectionParams.audioCodec = acOpus;
    g.connectionParams.micVolume = 100;
    g.serverApiParams.enableAudio = false;
    g.serverApiParams.showCursor = true;

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, port)) {
        std::fprintf(stderr, "agent: cannot listen\n");
        return 1;
    }
    GStreamer gst;
    QTcpSocket* socket = nullptr;
    double cpuAtStart = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        socket = server.nextPendingConnection();
        QObject::connect(&gst, &GStreamer::sendSdpToPeer, socket, [&](QString text, QString type) {
            sendJson(socket, sdpMessage(text, type));
        });
        QObject::connect(&gst, &GStreamer::IceCandidate, socket,
                         [&](uint ix, QString c) { sendJson(socket, iceMessage(ix, c)); });
        readLines(socket, [&](const QJsonObject& o) {
            if (o.value("sdp").isObject()) {
                const QJsonObject s = o.value("sdp").toObject();
                gst.onSdpReceived(s.value("type").toString(), s.value("sdp").toString());
            } else if (o.value("ice").isObject()) {
                const QJsonObject i = o.value("ice").toObject();
                gst.screenWebrtcBinEmitSignal("add-ice-candidate",
                                              guint(i.value("sdpMLineIndex").toInt()),
                                              i.value("candidate").toString().toUtf8().constData());
            }
        });
        gst.startGlibThread();
        gst.getConnState(PEER_CONNECTED);
        gst.screenPipelineStart();
    });
    QObject::connect(&gst, &GStreamer::connStateChanged, [&](ConnectionState s) {
        gst.getConnState(s);
        if (s != PEER_CALL_STARTED) {
            return;
        }
        cpuAtStart = cpuSeconds();
        QTimer::singleShot(seconds * 1000, [&, seconds] {
            std::printf("agent_cpu_seconds=%.2f window=%d\n", cpuSeconds() - cpuAtStart, seconds);
            std::fflush(stdout);
            // Leave the peer time to finish its own window before hanging up.
            QTimer::singleShot(3000, [] { QCoreApplication::quit(); });
        });
    });
    QObject::connect(&gst, &GStreamer::mainLoopTerminate, [](const char* msg, ConnectionState) {
        std::fprintf(stderr, "agent: %s\n", msg);
        QCoreApplication::exit(1);
    });
    const int rc = QCoreApplication::exec();
    gst.screenPipelineStop(true);
    gst.stopGlibThread();
    return rc;
}

int runPeer(quint16 port, int seconds) {
    WebRtcPeer peer;
    QTcpSocket socket;
    if (!peer.start()) {
        std::fprintf(stderr, "peer: cannot build the pipeline\n");
        return 1;
    }
    QObject::connect(&peer, &WebRtcPeer::sdpReady, &socket, [&](QString text, QString type) {
        sendJson(&socket, sdpMessage(text, type));
    });
    QObject::connect(&peer, &WebRtcPeer::iceCandidate, &socket,
                     [&](uint ix, QString c) { sendJson(&socket, iceMessage(ix, c)); });
    readLines(&socket, [&](const QJsonObject& o) {
        if (o.value("sdp").isObject()) {
            const QJsonObject s = o.value("sdp").toObject();
            peer.onSdp(s.value("sdp").toString(), s.value("type").toString());
        } else if (o.value("ice").isObject()) {
            const QJsonObject i = o.value("ice").toObject();
            peer.addIceCandidate(uint(i.value("sdpMLineIndex").toInt()),
                                 i.value("candidate").toString());
        }
    });
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000)) {
        std::fprintf(stderr, "peer: cannot connect\n");
        return 1;
    }
    // Counts over a window that starts at the first decoded frame.
    QElapsedTimer window;
    int framesAtStart = 0;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!window.isValid()) {
            if (peer.videoFrames() > 0) {
                framesAtStart = peer.videoFrames();
                window.start();
            }
            return;
        }
        if (window.elapsed() >= seconds * 1000) {
            const int frames = peer.videoFrames() - framesAtStart;
            std::printf("peer_fps=%.2f frames=%d size=%dx%d\n",
                        frames * 1000.0 / double(window.elapsed()), frames, peer.videoWidth(),
                        peer.videoHeight());
            std::fflush(stdout);
            QCoreApplication::quit();
        }
    });
    poll.start();
    QTimer::singleShot((seconds + 60) * 1000, [] {
        std::fprintf(stderr, "peer: no video\n");
        QCoreApplication::exit(1);
    });
    const int rc = QCoreApplication::exec();
    peer.stop();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    QCoreApplication app(argc, argv);
    qRegisterMetaType<ConnectionState>("ConnectionState");
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s agent|peer PORT SECONDS\n", argv[0]);
        return 2;
    }
    const QString mode = argv[1];
    const quint16 port = quint16(atoi(argv[2]));
    const int seconds = atoi(argv[3]);
    if (mode == "agent") {
        return runAgent(port, seconds);
    }
    if (mode == "peer") {
        return runPeer(port, seconds);
    }
    return 2;
}
