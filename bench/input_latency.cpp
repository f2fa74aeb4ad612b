// Input latency: a loopback server sends "mousemove" events at a fixed rate to an input channel
// (WSInput with its worker injecting through XTest); a separate X client watches the pointer and
// notes when each position arrives. Prints latency from send to arrival at the X server (p50, p99,
// max) and the number of moves a later one of the same drain replaced. Then a burst of 1,000
// moves sent back to back: the time until its last position is on the screen.
//
// Usage: input_latency [events=5000] [rate_per_s=1000]; needs DISPLAY.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "GlobalSettings.h"
#include "ScreenGlobals.h"
#include "WSInput.h"
#include "logger.h"

// Xlib last: its macros (Bool, Status, CursorShape...) break Qt headers.
#include <X11/Xlib.h>
#include <poll.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kColumns = 1000;
constexpr int kBurst = 1000;

int xOf(int i) {
    return 10 + i % kColumns;
}
int yOf(int i) {
    return 10 + 2 * (i / kColumns);
}
int indexOf(int x, int y) {
    if (x < 10 || x >= 10 + kColumns || y < 10 || (y - 10) % 2 != 0) {
        return -1;
    }
    return (y - 10) / 2 * kColumns + (x - 10);
}

// Lives on its own thread: accepts the agent's input channel and sends the events on schedule.
class Sender : public QObject {
public:
    Sender(int count, int rate, std::vector<Clock::time_point>& sent)
        : count(count),
          rate(rate),
          sent(sent),
          server(QStringLiteral("bench"), QWebSocketServer::NonSecureMode, this) {}

    quint16 listen() {
        server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            socket = server.nextPendingConnection();
            // Let the agent start its worker before the clock runs.
            QTimer::singleShot(300, this, [this] { sendAll(); });
        });
        return server.serverPort();
    }

    std::atomic<bool> done{false};

private:
    void sendAll() {
        const auto period = std::chrono::nanoseconds(1000000000LL / rate);
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_until(start + i * period);
            sent[i] = Clock::now();
            socket->sendTextMessage(moveMessage(i));
            socket->flush();
        }
        // The burst, once the paced moves are through.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        sent[count] = Clock::now();
        for (int i = count; i < count + kBurst; ++i) {
            socket->sendTextMessage(moveMessage(i));
        }
        socket->flush();
        done = true;
    }

    static QString moveMessage(int i) {
        return QStringLiteral(R"({"mouseEvent":{"type":"mousemove","x":%1,"y":%2}})")
            .arg(xOf(i))
            .arg(yOf(i));
    }

    int count;
    int rate;
    std::vector<Clock::time_point>& sent;
    QWebSocketServer server;
    QWebSocket* socket = nullptr;
};

// A separate X client: records when each position is first seen.
void observe(std::vector<Clock::time_point>& arrived, std::vector<bool>& seen,
             std::atomic<int>& seenCount, std::atomic<bool>& stop, std::atomic<bool>& ready) {
    Display* display = XOpenDisplay(nullptr);
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, PointerMotionMask);
    XSync(display, True);
    ready = true;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    while (!stop) {
        if (XPending(display) == 0) {
            poll(&fd, 1, 20);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != MotionNotify) {
            continue;
        }
        const Clock::time_point now = Clock::now();
        const int i = indexOf(event.xmotion.x_root, event.xmotion.y_root);
        if (i >= 0 && i < int(seen.size()) && !seen[i]) {
            seen[i] = true;
            arrived[i] = now;
            seenCount = std::max(seenCount.load(), i + 1);
        }
    }
    XCloseDisplay(display);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[at];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? atoi(argv[1]) : 5000;
    const int rate = argc > 2 ? atoi(argv[2]) : 1000;
    if (count <= 0 || rate <= 0) {
        std::fprintf(stderr, "usage: input_latency [events] [rate_per_s]\n");
        return 2;
    }

    const QByteArray logFile = QFile::encodeName(QDir::tempPath() + "/input_latency.log");
    deinit_logger_cli();
    logger_config cfg{};
    cfg.file_name = logFile.constData();
    cfg.level_mask = 2071;  // the agent's default
    cfg.max_file_size = 10485760;
    cfg.rotate_count = 3;
    cfg.cli_mode = 1;
    init_logger_cli(&cfg);

    d = XOpenDisplay(nullptr);
    if (d == nullptr) {
        std::fprintf(stderr, "input_latency: no X display\n");
        return 1;
    }
    w = DefaultRootWindow(d);
    screenSpecs = ScreenSpecs{0, 0, DisplayWidth(d, 0), DisplayHeight(d, 0)};
    const int total = count + kBurst;
    if (screenSpecs.width < 10 + kColumns || screenSpecs.height < 10 + 2 * (total / kColumns + 1)) {
        std::fprintf(stderr, "input_latency: screen too small\n");
        return 1;
    }

    std::vector<Clock::time_point> sent(total);
    std::vector<Clock::time_point> arrived(total);
    std::vector<bool> seen(total, false);
    std::atomic<int> seenCount{0};  // one past the last index seen
    std::atomic<bool> stopObserver{false};
    std::atomic<bool> observerReady{false};
    std::thread observer(observe, std::ref(arrived), std::ref(seen), std::ref(seenCount),
                         std::ref(stopObserver), std::ref(observerReady));
    while (!observerReady) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    QThread serverThread;
    Sender sender(count, rate, sent);
    sender.moveToThread(&serverThread);
    serverThread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(
        &sender, [&] { port = sender.listen(); }, Qt::BlockingQueuedConnection);

    ConnectionParams& params = GlobalSettings::instance().connectionParams;
    params.serverUrl = QStringLiteral("http://127.0.0.1:%1").arg(port).toStdString();
    params.sessionId = "bench";
    int status = 0;
    {
        WSInput input;
        input.webSocket.wsConnect();
        QTimer poll;
        Clock::time_point finishedAt{};
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (!sender.done) {
                return;
            }
            if (finishedAt == Clock::time_point{}) {
                finishedAt = Clock::now();
            }
            if (seenCount == total || Clock::now() - finishedAt > std::chrono::seconds(2)) {
                app.quit();
            }
        });
        poll.start(10);
        QTimer::singleShot(std::chrono::seconds(count / rate + 30), &app, [&] {
            std::fprintf(stderr, "input_latency: gave up waiting\n");
            status = 1;
            app.quit();
        });
        app.exec();
        input.webSocket.close();
        QTimer::singleShot(std::chrono::milliseconds(200), &app, [&] { app.quit(); });
        app.exec();
    }
    stopObserver = true;
    observer.join();
    serverThread.quit();
    serverThread.wait();

    std::vector<double> latencies;
    int coalesced = 0;
    for (int i = 0; i < count; ++i) {
        if (!seen[i]) {
            ++coalesced;
            continue;
        }
        latencies.push_back(
            std::chrono::duration<double, std::milli>(arrived[i] - sent[i]).count());
    }
    const bool lastSeen = seen[count - 1] && seen[total - 1];
    int burstMoves = 0;
    for (int i = count; i < total; ++i) {
        burstMoves += seen[i] ? 1 : 0;
    }
    const double drain =
        std::chrono::duration<double, std::milli>(arrived[total - 1] - sent[count]).count();
    std::printf("input latency: %d mousemove events at %d/s through WSInput into the X server\n",
                count, rate);
    std::printf("  p50 %.3f ms  p99 %.3f ms  max %.3f ms  replaced by a later move %d\n",
                percentile(latencies, 50), percentile(latencies, 99), percentile(latencies, 100),
                coalesced);
    std::printf("  burst of %d moves: drained in %.3f ms as %d pointer moves\n", kBurst,
                seen[total - 1] ? drain : -1.0, burstMoves);
    std::printf("  targets: p99 < 2 ms, the last position of each reached: %s\n",
                (percentile(latencies, 99) < 2.0 && lastSeen) ? "met" : "NOT met");
    XCloseDisplay(d);
    d = nullptr;
    return status;
}
