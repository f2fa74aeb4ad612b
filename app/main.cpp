#include <gst/gst.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include "AppInfo.h"
#include "AudioSurvey.h"
#include "CmdlineParams.h"
#include "DisplayProbe.h"
#include "GlobalSettings.h"
#include "LogBridges.h"
#include "LoggerWrapper.h"
#include "MainWindow.h"
#include "PermissionDialog.h"
#include "QtLocalPeer.h"
#include "SettingsLog.h"
#include "XErrorHandler.h"
#include "logger.h"

namespace {

// SIGTERM and SIGINT (logout, kill, Ctrl+C) end the event loop like closing the window, so that the
// session is closed and the log finished instead of the process vanishing mid-call. A signal that
// comes while the window is still being built (the settings fetch waits there) has no event loop
// to end yet: it is remembered, and start-up stops as soon as the wait returns.
int signalFds[2] = {-1, -1};
bool terminationRequested = false;

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalFds[0], &byte, 1);
}

void quitOnTerminationSignals(QCoreApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalFds) != 0) {
        cli_log(LL_WARNING, "Cannot watch termination signals: %s\n", std::strerror(errno));
        return;
    }
    auto* notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char bytes[16];
        [[maybe_unused]] const ssize_t n = ::read(signalFds[1], bytes, sizeof bytes);
        if (!terminationRequested) {
            cli_log(LL_INFO, "Termination signal received, finishing\n");
        }
        terminationRequested = true;
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// What a second start tells the running agent: its link, when it was started from one.
QString activationMessage(const GlobalSettings& settings) {
    QString message = MainWindow::APP_MSG_ACTIVATE;
    if (settings.fromLink) {
        const ConnectionParams& params = settings.connectionParams;
        message += QStringLiteral(":%1/%2").arg(QString::fromStdString(params.serverUrl),
                                                QString::fromStdString(params.sessionId));
    }
    return message;
}

}  // namespace

int main(int argc, char** argv) {
    // Every log line is echoed to standard output: a reader that went away must not kill the agent.
    std::signal(SIGPIPE, SIG_IGN);
    LoggerWrapper logger(kOrganisation, kAppName);
    installLogBridges(kAppName);

    if (!gst_is_initialized()) {
        gst_init(nullptr, nullptr);
    }

    GlobalSettings& settings = GlobalSettings::instance();
    surveyAudioDevices(settings);

    if (!parseCmdlineParams(argc, argv, settings)) {
        logger.printLogFilePath();
        cli_log(LL_CRITICAL, "Cannot parse parameters\n");
        return -1;
    }

    logger.setDebug(settings.debug);

    if (settings.printVersion) {
        std::printf("%s\n", kAppVersion);
        return 1;
    }

    logger.printLogFilePath();

    // Without an X display Qt would abort with a core dump, and nothing could be shared anyway.
    if (!canOpenDisplay()) {
        const char* display = std::getenv("DISPLAY");
        std::fprintf(stderr,
                     "%s: cannot open the X display \"%s\". It needs a running X11 session "
                     "(check DISPLAY).\n",
                     kAppName, display ? display : "");
        cli_log(LL_CRITICAL, "Cannot open the X display \"%s\", exiting\n", display ? display : "");
        return 1;
    }

    // The window is plain widgets: without this Qt's GLX integration loads the GL driver (with
    // llvmpipe, tens of megabytes and a good part of the start-up time) for nothing.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) {
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    }
    QApplication app(argc, argv);
    quitOnTerminationSignals(app);

    printCliParams("Params from CLI :", settings);
    readAndLogSystemInfo(QGuiApplication::platformName(), settings);

    // A protocol error on the shared display must not end the process (Xlib's default handler
    // exits): the logging handler is in place before the display is first queried.
    setDisplayOpenedHook([](_XDisplay*) { installXErrorHandler(); });
    auto window = std::make_unique<MainWindow>();
    // Status 0, as when the user closes the window; the window's destructor finishes the log.
    if (terminationRequested || window->isLeaving()) {
        return 0;
    }
    if (window->isClient()) {
        const QString message = activationMessage(settings);
        cli_log(LL_INFO, "Already running. Sending message to first instance %s\n",
                message.toUtf8().constData());
        window->peer()->sendMessage(message, 5000);
        cli_log(LL_INFO, "Exiting: %s, version: %s, with code %d\n", kAppName, kAppVersion, 0);
        return 0;
    }

    cli_log(LL_INFO, "Starting: %s, version %s\n", kAppName, kAppVersion);

    // The link's question comes before the window. Nothing that happens meanwhile (a second
    // start, a tray click) connects: only this grant does.
    if (settings.fromLink && window->needsPermission()) {
        const ConsentRequest* request = window->session().pendingConsent();
        const std::optional<Grant> granted =
            request ? askPermission(*request, nullptr) : std::nullopt;
        if (terminationRequested || window->isLeaving()) {
            return 0;
        }
        if (!granted) {
            return 1;
        }
        window->session().grant(*granted);
    }

    window->show();
    return app.exec();
}
