// The executable as a user starts it: exit statuses, the single-instance hand-over between two
// real processes, and how it ends on the window's close button or a termination signal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

#include "HttpTestServer.h"
#include "TestEnv.h"
#include "WaitFor.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

// The real executable, output and error merged; `readerGone`: its output is a pipe nobody reads.
struct Agent : QProcess {
    Agent(const QProcessEnvironment& env, const QStringList& args = {}, bool readerGone = false)
        : readerGone(readerGone) {
        setProcessEnvironment(env);
        setProcessChannelMode(QProcess::MergedChannels);
        start(QStringLiteral(KELVANO_EXECUTABLE), args);
    }
    ~Agent() override {
        kill();
        waitForFinished(5000);
    }
    void setupChildProcess() override {
        int fds[2];
        if (readerGone && ::pipe(fds) == 0) {
            ::close(fds[0]);
            ::dup2(fds[1], STDOUT_FILENO);
        }
    }
    bool finish(int timeoutMs = 20000) {
        const bool done = waitForFinished(timeoutMs);
        out += QString::fromUtf8(readAll());
        return done;
    }
    const bool readerGone;
    QString out;
};

class StartupProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid() && runtime.isValid());
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

    // A visible window of the agent other than `except`; 0 once the agent ends or time is up.
    static unsigned long waitForWindow(Agent& agent, unsigned long except = 0) {
        unsigned long found = 0;
        waitFor(
            [&] {
                QProcess search;
                search.start(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--pid",
                                                         QString::number(agent.processId())});
                search.waitForFinished();
                for (const QByteArray& id : search.readAllStandardOutput().trimmed().split('\n')) {
                    if (id.toULong() != except) {
                        found = id.toULong();
                    }
                }
                return found || agent.state() == QProcess::NotRunning;
            },
            20000);
        return found;
    }

    // Status 0 and the log's last line says it finished.
    void expectFinishedCleanly(Agent& agent) {
        EXPECT_EQ(agent.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(agent.exitCode(), 0);
        const QString log =
            testenv::readFile(home.path() + "/config/PELKA/logs/Kelvano Assistant.log");
        EXPECT_TRUE(log.trimmed().endsWith("[INFO] Kelvano Assistant finished"))
            << log.toStdString();
    }

    QTemporaryDir home;
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

TEST_F(StartupProcess, EndsWithoutAWindow) {
    const struct {
        QStringList args;
        const char* display;  // nullptr: the test's display
        int status;
        const char* printed;
        bool readerGone = false;
    } rows[] = {
        {{"--version"}, nullptr, 1, "\n0.7.0.25167\n"},
        {{"--timeout=abc"}, nullptr, 255, "Cannot parse parameters"},
        // Without an X display it says so, instead of Qt's abort with a core dump.
        {{}, ":998", 1, "cannot open the X display \":998\""},
        // Every log line is echoed to standard output: no SIGPIPE when nobody reads it.
        {{"--timeout=abc"}, nullptr, 255, "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        env.insert(QStringLiteral("DISPLAY"),
                   row.display ? QString(row.display) : qEnvironmentVariable("DISPLAY"));
        Agent agent(env, row.args, row.readerGone);
        ASSERT_TRUE(agent.finish());
        EXPECT_EQ(agent.exitStatus(), QProcess::NormalExit) << "signal " << agent.exitCode();
        EXPECT_EQ(agent.exitCode(), row.status);
        EXPECT_TRUE(agent.out.contains(QString::fromLatin1(row.printed)))
            << agent.out.toStdString();
    }
}

TEST_F(StartupProcess, SecondStartHandsItsLinkToTheFirstAndClosingEndsCleanly) {
    Agent first(env);
    const unsigned long window = waitForWindow(first);
    ASSERT_NE(window, 0u) << "the main window was not mapped\n" << first.readAll().toStdString();

    // Nothing listens on port 1 of the loopback address: a settings fetch fails at once.
    Agent second(env, {"kvlos://127.0.0.1:1/assistant/ID"});
    ASSERT_TRUE(second.finish()) << second.out.toStdString() << "\nFIRST:\n"
                                 << first.readAll().toStdString();
    EXPECT_EQ(second.exitCode(), 0);

    // The close button as a window manager sends it, then Enter (Yes) on the leave question.
    const std::unique_ptr<Display, int (*)(Display*)> display{XOpenDisplay(nullptr), XCloseDisplay};
    ASSERT_TRUE(display);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
    XSendEvent(display.get(), window, False, NoEventMask, &event);
    XFlush(display.get());
    const unsigned long question = waitForWindow(first, window);
    ASSERT_NE(question, 0u);
    // Enter sent to the question itself: other suites share this X server and its focus, and a
    // key pressed through XTest into a window that closes could stay down for them.
    XEvent key{};
    key.xkey = {KeyPress, 0,
                False,    display.get(),
                question, DefaultRootWindow(display.get()),
                None,     CurrentTime,
                0,        0,
                0,        0,
                0,        XKeysymToKeycode(display.get(), XK_Return),
                True};
    XSendEvent(display.get(), question, True, KeyPressMask, &key);
    key.xkey.type = KeyRelease;
    XSendEvent(display.get(), question, True, KeyReleaseMask, &key);
    XFlush(display.get());
    ASSERT_TRUE(first.finish());
    expectFinishedCleanly(first);
    EXPECT_TRUE(first.out.contains(QStringLiteral(
        "Message from second instance received: activate:https://127.0.0.1:1/assistant/ID")));
}

// SIGTERM ends the agent as closing the window does: at once when the window is up, and, during
// the settings fetch at start-up, as soon as the fetch's wait returns.
TEST_F(StartupProcess, TerminationSignalEndsTheAgentCleanly) {
    constexpr int kFetchMs = 2000;  // below the client's time limit of 3 s
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    server.setRoute("/assistant/api/discover/", 200, R"({"server": {"version": "0.7.0"}})");
    server.setRoute("/assistant/12/settings", 200, R"({"notifyConnection": false})", kFetchMs);
    env.insert(QStringLiteral("KVNO_VDI_URL"), server.baseUrl() + "/assistant");

    Agent shown(env);
    ASSERT_NE(waitForWindow(shown), 0u);
    shown.terminate();
    ASSERT_TRUE(shown.finish());
    expectFinishedCleanly(shown);

    Agent starting(env, {QStringLiteral("kvlo://127.0.0.1:%1/assistant/12").arg(server.port())});
    ASSERT_TRUE(waitFor([&] { return server.requests().size() == 2; }, 15000))
        << "no settings request";
    starting.terminate();
    ASSERT_TRUE(starting.finish(kFetchMs + 5000)) << "the signal was lost";
    expectFinishedCleanly(starting);
}

}  // namespace
