// Stand-in for a second agent process in the single-instance tests: becomes the first instance
// and reports messages, or sends its message to the first one and exits.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "QtLocalPeer.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: peer_helper APP_ID MESSAGE\n");
        return 2;
    }
    QtLocalPeer peer(nullptr, QString::fromUtf8(argv[1]));
    QElapsedTimer clock;
    clock.start();
    const bool client = peer.isClient();
    const qint64 decisionMs = clock.elapsed();
    if (client) {
        const bool acked = peer.sendMessage(QString::fromUtf8(argv[2]), 5000);
        std::printf("client acked=%d decision_ms=%lld\n", acked ? 1 : 0,
                    static_cast<long long>(decisionMs));
        return acked ? 0 : 3;
    }
    QObject::connect(&peer, &QtLocalPeer::messageReceived, [](const QString& message) {
        std::printf("received:%s\n", message.toUtf8().constData());
        std::fflush(stdout);
    });
    std::printf("first decision_ms=%lld\n", static_cast<long long>(decisionMs));
    std::fflush(stdout);
    return app.exec();
}
