// The executable as a user starts it: exit statuses, the lines it prints, the single-instance
// handshake between two real processes and the window on a real X server.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

const QString kExecutable = QStringLiteral(KELVANO_EXECUTABLE);
const QString kLogRelPath = QStringLiteral("/PELKA/logs/Kelvano Assistant.log");

// A top-level window of process `pid` that is mapped (other than `except`), or 0.
Window findMappedWindow(Display* display, qint64 pid, Window except = 0) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    if (pidAtom == None) {
        return 0;
    }
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (!XQueryTree(display, root, &root, &parent, &children, &count)) {
        return 0;
    }
    for (unsigned int i = 0; i < count && !found; ++i) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type,
                               &format, &items, &after, &data) == Success &&
            data && items == 1 && format == 32) {
            const unsigned long windowPid = *reinterpret_cast<unsigned long*>(data);
            XWindowAttributes attributes;
            if (windowPid == static_cast<unsigned long>(pid) && children[i] != except &&
                XGetWindowAttributes(display, children[i], &attributes) &&
                attributes.map_state == IsViewable && attributes.width > 1) {
                found = children[i];
            }
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

// What a window manager sends when the user clicks the close button.
void sendDeleteWindow(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

// Answers the leave question with its default button, Yes, as a user pressing Enter would.
void pressEnterIn(Display* display, Window window) {
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    const KeyCode enter = XKeysymToKeycode(display, XK_Return);
    XTestFakeKeyEvent(display, enter, True, CurrentTime);
    XTestFakeKeyEvent(display, enter, False, CurrentTime);
    XFlush(display);
}

class Agent {
public:
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
        pid = process.processId();
    }
    bool finish(int timeoutMs = 20000) {
        const bool done = process.waitForFinished(timeoutMs);
        out += QString::fromUtf8(process.readAllStandardOutput());
        err += QString::fromUtf8(process.readAllStandardError());
        return done;
    }
    QProcess process;
    qint64 pid = 0;
    QString out;
    QString err;
};

class StartupProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        ASSERT_TRUE(runtime.isValid());
        env = QProcessEnvironment::systemEnvironment();
        // GStreamer's plug-in registry stays where it was: rebuilding it costs seconds per start.
        if (!env.contains(QStringLiteral("XDG_CACHE_HOME"))) {
            env.insert(QStringLiteral("XDG_CACHE_HOME"),
                       QDir::homePath() + QStringLiteral("/.cache"));
        }
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
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

    QString logPath() const { return home.path() + QStringLiteral("/config") + kLogRelPath; }

    QString readLog() const {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    bool needDisplay() {
        // Windows of the agents come and go while they are looked at; such errors are expected.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        display = XOpenDisplay(nullptr);
        return display != nullptr;
    }

    // Polls the X server until the agent's window is mapped, or the agent ends, or time is up.
    Window waitForWindow(Agent& agent, int timeoutMs = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs && agent.process.state() == QProcess::Running) {
            if (Window window = findMappedWindow(display, agent.process.processId())) {
                return window;
            }
            agent.process.waitForFinished(20);
        }
        return 0;
    }

    // Closes the window like a user: the close button, then Enter on the leave question.
    bool closeAndConfirm(Agent& agent, Window window, int timeoutMs = 20000) {
        sendDeleteWindow(display, window);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs && agent.process.state() == QProcess::Running) {
            if (Window question = findMappedWindow(display, agent.process.processId(), window)) {
                pressEnterIn(display, question);
            }
            agent.process.waitForFinished(50);
        }
        return agent.finish(0) || agent.process.state() == QProcess::NotRunning;
    }

    QTemporaryDir home;
    QTemporaryDir runtime;
    QProcessEnvironment env;
    Display* display = nullptr;
};

TEST_F(StartupProcess, VersionPrintsTheVersionAndExitsOne) {
    Agent agent(env);
    agent.start({QStringLiteral("--version")});
    ASSERT_TRUE(agent.finish());
    EXPECT_EQ(agent.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.process.exitCode(), 1);
    EXPECT_TRUE(agent.out.endsWith(QStringLiteral("\n0.7.0.25167\n"))) << agent.out.toStdString();
    EXPECT_FALSE(agent.out.contains(QStringLiteral("getLogFilename"))) << agent.out.toStdString();
}

TEST_F(StartupProcess, BadTimeoutEndsWith255AfterTheLogPathLine) {
    Agent agent(env);
    agent.start({QStringLiteral("--timeout=abc")});
    ASSERT_TRUE(agent.finish());
    EXPECT_EQ(agent.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.process.exitCode(), 255);
    const QString pathLine = QStringLiteral("getLogFilename: %1 -> %2\n")
                                 .arg(home.path() + QStringLiteral("/config/PELKA"), logPath());
    const int at = agent.out.indexOf(pathLine);
    EXPECT_GE(at, 0) << agent.out.toStdString();
    EXPECT_GT(agent.out.indexOf(QStringLiteral("Cannot parse parameters"), at), at)
        << agent.out.toStdString();
    EXPECT_TRUE(readLog().contains(QStringLiteral("[CRITICAL] Cannot parse parameters\n")))
        << readLog().toStdString();
    EXPECT_TRUE(agent.out.contains(QStringLiteral("Error on initializing: ")));
}

TEST_F(StartupProcess, StandardOutputWithoutAReaderDoesNotKillTheAgent) {
    // Every log line is echoed to standard output; here its reader is gone before the first one.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const QByteArray program = QFile::encodeName(kExecutable);
    std::vector<QByteArray> envText;
    for (const QString& entry : env.toStringList()) {
        envText.push_back(entry.toLocal8Bit());
    }
    std::vector<char*> envp;
    for (QByteArray& entry : envText) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char arg[] = "--timeout=abc";
    char* argv[] = {const_cast<char*>(program.constData()), arg, nullptr};

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(fds[1]);

    int status = 0;
    QElapsedTimer clock;
    clock.start();
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && clock.elapsed() < 20000) {
        QThread::msleep(10);  // polling a child process; nothing to wait on but its status
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the agent did not end";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_TRUE(readLog().contains(QStringLiteral("[CRITICAL] Cannot parse parameters\n")));
}

TEST_F(StartupProcess, UnknownLinkSchemeEndsWith255) {
    Agent agent(env);
    agent.start({QStringLiteral("ftp://files.example.org/a/b")});
    ASSERT_TRUE(agent.finish());
    EXPECT_EQ(agent.process.exitCode(), 255);
    EXPECT_TRUE(agent.out.contains(
        QStringLiteral("The handler for ftp://files.example.org/a/b schema is not implemented")));
}

TEST_F(StartupProcess, HelpListsTheOptionsAndTheSummary) {
    Agent agent(env);
    agent.start({QStringLiteral("--help")});
    ASSERT_TRUE(agent.finish());
    EXPECT_EQ(agent.process.exitCode(), 0);
    for (const char* text :
         {"[URL] - screen video sharing via webrtc", "--session-id=ID",
          "String ID of the peer to connect to", "--server-url=URL", "--timeout=TO",
          "--video-codec=VC", "--audio-codec=AC", "--stun-url=STUN", "--mic-volume=VOL",
          "Disable certificate check", "-v, --version", "-d, --debug", "--help-gst"}) {
        EXPECT_TRUE(agent.out.contains(QString::fromLatin1(text))) << text;
    }
}

TEST_F(StartupProcess, WithoutAnXDisplayItEndsCleanlyWithAMessage) {
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":998"));
    Agent agent(env);
    agent.start({});
    ASSERT_TRUE(agent.finish());
    EXPECT_EQ(agent.process.exitStatus(), QProcess::NormalExit) << "crashed";
    EXPECT_NE(agent.process.exitCode(), 0);
    EXPECT_TRUE(agent.err.contains(QStringLiteral("cannot open the X display \":998\"")))
        << agent.err.toStdString();
    EXPECT_TRUE(agent.out.contains(QStringLiteral("Cannot open the X display")))
        << agent.out.toStdString();
    EXPECT_TRUE(readLog().contains(QStringLiteral("[CRITICAL] Cannot open the X display \":998\"")))
        << readLog().toStdString();

    env.remove(QStringLiteral("DISPLAY"));
    Agent unset(env);
    unset.start({});
    ASSERT_TRUE(unset.finish());
    EXPECT_EQ(unset.process.exitStatus(), QProcess::NormalExit) << "crashed";
    EXPECT_NE(unset.process.exitCode(), 0);
}

TEST_F(StartupProcess, SecondStartHandsItsLinkToTheFirstAndClosingEndsCleanly) {
    if (!needDisplay()) {
        GTEST_SKIP() << "no X display";
    }
    Agent first(env);
    first.start({});
    const Window window = waitForWindow(first);
    ASSERT_NE(window, 0u) << "the main window was not mapped";

    Agent plain(env);
    plain.start({});
    ASSERT_TRUE(plain.finish());
    EXPECT_EQ(plain.process.exitCode(), 0);
    EXPECT_TRUE(plain.out.contains(
        QStringLiteral("Already running. Sending message to first instance activate\n")))
        << plain.out.toStdString();
    EXPECT_TRUE(plain.out.contains(
        QStringLiteral("Exiting: Kelvano Assistant, version: 0.7.0.25167, with code 0")));

    // Nothing listens on port 1 of the loopback address: a settings fetch fails at once.
    Agent linked(env);
    linked.start({QStringLiteral("kvlos://127.0.0.1:1/assistant/ID")});
    ASSERT_TRUE(linked.finish());
    EXPECT_EQ(linked.process.exitCode(), 0);
    EXPECT_TRUE(
        linked.out.contains(QStringLiteral("Already running. Sending message to first instance "
                                           "activate:https://127.0.0.1:1/assistant/ID")))
        << linked.out.toStdString();

    ASSERT_TRUE(closeAndConfirm(first, window));
    first.finish();
    EXPECT_EQ(first.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.process.exitCode(), 0);
    const int width = DisplayWidth(display, 0);
    const int height = DisplayHeight(display, 0);
    EXPECT_TRUE(
        first.out.contains(QStringLiteral("Linux: Primary monitor position:0;0, resolution:%1x%2")
                               .arg(width)
                               .arg(height)))
        << first.out.toStdString();
    EXPECT_TRUE(
        first.out.contains(QStringLiteral("Starting: Kelvano Assistant, version 0.7.0.25167")));
    EXPECT_TRUE(
        first.out.contains(QStringLiteral("Message from second instance received: activate\n")))
        << first.out.toStdString();
    EXPECT_TRUE(first.out.contains(QStringLiteral(
        "Message from second instance received: activate:https://127.0.0.1:1/assistant/ID")));
    EXPECT_TRUE(first.out.trimmed().endsWith(QStringLiteral("Kelvano Assistant finished")))
        << first.out.toStdString();

    // Both instances write the same file; the first one's lines are in order and it ends last.
    const QString log = readLog();
    const QString pid = QStringLiteral("[PID:%1]").arg(first.pid);
    QStringList own;
    for (const QString& line : log.split(QLatin1Char('\n'))) {
        if (line.contains(pid)) {
            own << line;
        }
    }
    const QString ownLog = own.join(QLatin1Char('\n'));
    const int info = ownLog.indexOf(QStringLiteral("[INFO] System info : "));
    const int starting =
        ownLog.indexOf(QStringLiteral("[INFO] Starting: Kelvano Assistant, version 0.7.0.25167"));
    EXPECT_GE(info, 0) << ownLog.toStdString();
    EXPECT_GT(starting, info) << ownLog.toStdString();
    EXPECT_TRUE(ownLog.contains(QStringLiteral("[INFO] Params from CLI :")));
    EXPECT_TRUE(log.trimmed().endsWith(QStringLiteral("[INFO] Kelvano Assistant finished")))
        << log.toStdString();
}

TEST_F(StartupProcess, AfterKillNineTheNextStartIsTheFirstInstance) {
    if (!needDisplay()) {
        GTEST_SKIP() << "no X display";
    }
    Agent crashed(env);
    crashed.start({});
    ASSERT_NE(waitForWindow(crashed), 0u);
    crashed.process.kill();
    ASSERT_TRUE(crashed.finish());

    Agent next(env);
    next.start({});
    EXPECT_NE(waitForWindow(next), 0u) << "the next start did not become the first instance";
    EXPECT_EQ(next.process.state(), QProcess::Running);
    next.out += QString::fromUtf8(next.process.readAllStandardOutput());
    EXPECT_FALSE(next.out.contains(QStringLiteral("Already running")));
}

TEST_F(StartupProcess, TerminationSignalEndsTheEventLoopCleanly) {
    if (!needDisplay()) {
        GTEST_SKIP() << "no X display";
    }
    Agent agent(env);
    agent.start({});
    ASSERT_NE(waitForWindow(agent), 0u);
    agent.process.terminate();
    ASSERT_TRUE(agent.finish());
    EXPECT_EQ(agent.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.process.exitCode(), 0);
    EXPECT_TRUE(agent.out.trimmed().endsWith(QStringLiteral("Kelvano Assistant finished")))
        << agent.out.toStdString();
}

}  // namespace
