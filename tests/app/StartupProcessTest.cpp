// The executable as a user starts it: exit statuses, the single-instance hand-over between two
// real processes, and how it ends on the window's close button or a termination signal.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include "HttpTestServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

const QString kExecutable = QStringLiteral(KELVANO_EXECUTABLE);

// A mapped top-level window of process `pid` other than `except`, or 0.
Window findMappedWindow(Display* display, qint64 pid, Window except = 0) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (pidAtom == None || !XQueryTree(display, root, &root, &parent, &children, &count)) {
        return 0;
    }
    for (unsigned int i = 0; i < count && !found; ++i) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        XWindowAttributes attributes;
        if (XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type,
                               &format, &items, &after, &data) == Success &&
            data && items == 1 && *reinterpret_cast<unsigned long*>(data) == quint64(pid) &&
            children[i] != except && XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable && attributes.width > 1) {
            found = children[i];
        }
        if (data) {
            XFree(data);
        }
    }
    if (children) {
        XFree(children);
    }
    return found;
}

// Its standard output may be a pipe whose reader is gone before the first line.
struct AgentProcess : QProcess {
    bool readerGone = false;
    void setupChildProcess() override {
        int fds[2];
        if (readerGone && ::pipe(fds) == 0) {
            ::close(fds[0]);
            ::dup2(fds[1], STDOUT_FILENO);
        }
    }
};

struct Agent {
    explicit Agent(const QProcessEnvironment& env) { process.setProcessEnvironment(env); }
    ~Agent() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    void start(const QStringList& args) {
        process.start(kExecutable, args);
        ASSERT_TRUE(process.waitForStarted(5000));
    }
    bool finish(int timeoutMs = 20000) {
        const bool done = process.waitForFinished(timeoutMs);
        out += QString::fromUtf8(process.readAllStandardOutput());
        err += QString::fromUtf8(process.readAllStandardError());
        return done;
    }
    AgentProcess process;
    QString out;
    QString err;
};

class StartupProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid() && runtime.isValid());
        env = QProcessEnvironment::systemEnvironment();
        // GStreamer's plug-in registry stays where it was: rebuilding it costs seconds per start.
        if (!env.contains(QStringLiteral("XDG_CACHE_HOME"))) {
            env.insert(QStringLiteral("XDG_CACHE_HOME"), QDir::homePath() + "/.cache");
        }
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + "/config");
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        for (const char* name :
             {"KVNO_SESSION_ID", "KVNO_VDI_URL", "KVNO_TIMEOUT", "KVNO_DEBUG", "KVNO_VIDEO_CODEC",
              "KVNO_AUDIO_CODEC", "KVNO_STUN_URL", "QT_QPA_PLATFORM", "SESSION_MANAGER"}) {
            env.remove(QString::fromLatin1(name));
        }
    }
    void TearDown() override {
        if (display) {
            XCloseDisplay(display);
        }
    }

    QString readLog() const {
        QFile file(home.path() + "/config/PELKA/logs/Kelvano Assistant.log");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    bool needDisplay() {
        // Windows of the agents come and go while they are looked at; such errors are expected.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        display = XOpenDisplay(nullptr);
        return display != nullptr;
    }

    // Polls the X server until the agent's window (other than `except`) is mapped, or the agent
    // ends, or time is up.
    Window waitForWindow(Agent& agent, Window except = 0, int timeoutMs = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs && agent.process.state() == QProcess::Running) {
            if (Window window = findMappedWindow(display, agent.process.processId(), except)) {
                return window;
            }
            agent.process.waitForFinished(20);
        }
        return 0;
    }

    // The process ended normally with `status` and its log's last line says it finished.
    void expectFinished(Agent& agent, int status) {
        EXPECT_EQ(agent.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(agent.process.exitCode(), status);
        EXPECT_TRUE(readLog().trimmed().endsWith("[INFO] Kelvano Assistant finished"))
            << readLog().toStdString();
    }

    QTemporaryDir home;
    QTemporaryDir runtime;
    QProcessEnvironment env;
    Display* display = nullptr;
};

TEST_F(StartupProcess, EndsWithoutAWindow) {
    struct Row {
        QStringList args;
        const char* display;  // nullptr: the test's display
        int status;
        const char* printed;  // on standard output or standard error
        bool readerGone = false;
    };
    const Row rows[] = {
        {{"--version"}, nullptr, 1, "\n0.7.0.25167\n"},
        {{"--timeout=abc"}, nullptr, 255, "Cannot parse parameters"},
        {{"ftp://files.example.org/a/b"}, nullptr, 255, "schema is not implemented"},
        // Without an X display it says so, instead of Qt's abort with a core dump.
        {{}, ":998", 1, "cannot open the X display \":998\""},
        // Every log line is echoed to standard output: no SIGPIPE when nobody reads it.
        {{"--timeout=abc"}, nullptr, 255, "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        QProcessEnvironment rowEnv = env;
        if (row.display) {
            rowEnv.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(row.display));
        }
        Agent agent(rowEnv);
        agent.process.readerGone = row.readerGone;
        agent.start(row.args);
        ASSERT_TRUE(agent.finish());
        EXPECT_EQ(agent.process.exitStatus(), QProcess::NormalExit)
            << "ended by signal " << agent.process.exitCode();
        EXPECT_EQ(agent.process.exitCode(), row.status);
        EXPECT_TRUE((agent.out + agent.err).contains(QString::fromLatin1(row.printed)))
            << agent.out.toStdString() << agent.err.toStdString();
    }
}

TEST_F(StartupProcess, SecondStartHandsItsLinkToTheFirstAndClosingEndsCleanly) {
    if (!needDisplay()) {
        GTEST_SKIP() << "no X display";
    }
    Agent first(env);
    first.start({});
    const Window window = waitForWindow(first);
    ASSERT_NE(window, 0u) << "the main window was not mapped";

    struct Row {
        QStringList args;
        const char* message;
    };
    // Nothing listens on port 1 of the loopback address: a settings fetch fails at once.
    const Row rows[] = {
        {{}, "activate"},
        {{"kvlos://127.0.0.1:1/assistant/ID"}, "activate:https://127.0.0.1:1/assistant/ID"}};
    for (const Row& row : rows) {
        Agent second(env);
        second.start(row.args);
        ASSERT_TRUE(second.finish());
        EXPECT_EQ(second.process.exitCode(), 0);
        EXPECT_TRUE(second.out.contains(
            QStringLiteral("Already running. Sending message to first instance %1\n")
                .arg(row.message)))
            << second.out.toStdString();
    }

    // The close button, then Enter on the leave question (its default button is Yes).
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    const Window question = waitForWindow(first, window);
    ASSERT_NE(question, 0u);
    XSetInputFocus(display, question, RevertToParent, CurrentTime);
    const KeyCode enter = XKeysymToKeycode(display, XK_Return);
    XTestFakeKeyEvent(display, enter, True, CurrentTime);
    XTestFakeKeyEvent(display, enter, False, CurrentTime);
    XFlush(display);
    ASSERT_TRUE(first.finish());
    expectFinished(first, 0);
    EXPECT_TRUE(first.out.contains(QStringLiteral(
        "Message from second instance received: activate:https://127.0.0.1:1/assistant/ID")));
}

// SIGTERM ends the agent as closing the window does: at once when the window is up, and, during
// the settings fetch at start-up, as soon as the fetch's wait returns.
TEST_F(StartupProcess, TerminationSignalEndsTheAgentCleanly) {
    if (!needDisplay()) {
        GTEST_SKIP() << "no X display";
    }
    constexpr int kFetchMs = 2000;  // below the client's time limit of 3 s
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    server.setRoute("/assistant/api/discover/", 200, R"({"server": {"version": "0.7.0"}})");
    server.setRoute("/assistant/12/settings", 200, R"({"notifyConnection": false})", kFetchMs);
    env.insert(QStringLiteral("KVNO_VDI_URL"), server.baseUrl() + "/assistant");

    Agent shown(env);
    shown.start({});
    ASSERT_NE(waitForWindow(shown), 0u);
    shown.process.terminate();
    ASSERT_TRUE(shown.finish());
    expectFinished(shown, 0);

    Agent starting(env);
    starting.start({QStringLiteral("kvlo://127.0.0.1:%1/assistant/12").arg(server.port())});
    ASSERT_TRUE(server.waitForRequests(2, 15000)) << "no settings request";
    starting.process.terminate();
    ASSERT_TRUE(starting.finish(kFetchMs + 5000)) << "the signal was lost";
    expectFinished(starting, 0);
}

}  // namespace
