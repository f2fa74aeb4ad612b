#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QTranslator>

#include "AppInfo.h"
#include "CmdlineParams.h"
#include "DisplayProbe.h"
#include "GuiResources.h"
#include "LinkTrust.h"
#include "PermissionDialog.h"
#include "QtLocalPeer.h"
#include "ScreenGlobals.h"
#include "SessionSettingsResolution.h"
#include "SettingsLog.h"
#include "Validation.h"
#include "logger.h"
#include "ui_MainWindow.h"

// Xlib last: its macros (None, Bool, Status) clash with Qt's headers.
#include <X11/Xlib.h>

const QString MainWindow::APP_MSG_ACTIVATE = QStringLiteral("activate");

namespace {

constexpr int kDelayedConnectMs = 5000;

const char* nameOrNone(const std::string& name) {
    return name.empty() ? "'NONE'" : name.c_str();
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      ui(new Ui_MainWindow),
      settings(GlobalSettings::instance()),
      wsSignalling(this),
      wsCursor(nullptr),
      wsInput(nullptr),
      trayIcon(this),
      serverApiDiscover(nullptr, QString()),
      serverApiSettings(nullptr, QString()) {
    initGuiResources();
    connectTimer.setSingleShot(true);
    connectTimer.setTimerType(Qt::PreciseTimer);

    installTranslator();
    ui->setupUi(this);
    ui->msg_lbl->setWordWrap(true);
    setWindowIcon(QIcon(QStringLiteral(":/resources/icons/kelvano.svg")));
    setWindowTitle(QString::fromUtf8(kAppName));
    ui->cnt_pb->setEnabled(true);
    ui->dcnt_pb->setEnabled(false);
    setGUIParams();

    initDisplay();
    trayIcon.makeTrayHandlers();
    if (settings.fromLink) {
        getServerApiSettings();
        linkNeedsPermission = decideLinkPermission();
    }

    qRegisterMetaType<ConnectionState>("ConnectionState");

    connect(ui->sesID_le, &QLineEdit::returnPressed, this, [this]() {
        isUserDisconnect = false;
        connectServer();
    });
    connect(ui->cnt_pb, &QPushButton::clicked, this, [this]() {
        isUserDisconnect = false;
        connectServer();
    });
    connect(ui->dcnt_pb, &QPushButton::clicked, this, [this]() {
        isUserDisconnect = true;
        disconnectServer();
    });
    connect(
        &trayIcon, &TrayIcon::trayMessageClicked, &trayIcon, [this]() { onPermissionRequested(); },
        Qt::DirectConnection);
    connect(&wsSignalling, &WSSignalling::wsDisconnected, this, &MainWindow::disconnectServer);
    connect(&wsSignalling, &WSSignalling::errorOccured, this, [this](const char* message) {
        showErrorMessage(message);
        disconnectServer();
    });
    connect(&wsSignalling, &WSSignalling::wsConnected, this, &MainWindow::onSignallingConnected);
    connect(&connectTimer, &QTimer::timeout, this, &MainWindow::onDelayedConnect);

    localPeer = new QtLocalPeer(this, QString::fromUtf8(kAppName));
    peerIsClient = localPeer->isClient();
    connect(localPeer, &QtLocalPeer::messageReceived, this, &MainWindow::onPeerMessageReceived);
}

MainWindow::~MainWindow() {
    if (isConnected) {
        disconnectServer();
    }
    if (d) {
        XCloseDisplay(d);
    }
    d = nullptr;
    w = 0;
    screenSpecs = ScreenSpecs{};
    cli_log(LL_INFO, "%s finished\n", kAppName);
    delete ui;
}

void MainWindow::connectServer() {
    ui->cnt_pb->setEnabled(false);
    ui->dcnt_pb->setEnabled(true);

    ConnectionParams& params = settings.connectionParams;
    params.sessionId = ui->sesID_le->text().toStdString();
    params.serverUrl = ui->srv_le->text().toStdString();

    if (!validateConnectionParams(settings)) {
        showErrorMessage("Cannot validate parameters");
        return;
    }
    ui->msg_lbl->clear();

    if (!settings.fromLink && !getServerApiSettings()) {
        return;
    }

    printCliParams("\nRunning with the following parameters:", settings);

    if (settings.waylandSession) {
        QMessageBox::warning(this, QString::fromUtf8(kAppName),
                             tr("Usage of wayland protocol is not supported"), QMessageBox::Ok);
    }

    cli_log(LL_INFO, "Connecting to the server %s/ws/signalling with sessionID %s and admin %s\n",
            params.serverUrl.c_str(), params.sessionId.c_str(),
            nameOrNone(settings.serverApiParams.adminName));

    if (wsSignalling.webSocket.wsConnect()) {
        if (wsSignalling.connectionState() != SERVER_CONNECTING) {
            wsSignalling.setConnState(SERVER_CONNECTING);
        }
        wsSignalling.gstreamer.startGlibThread();
        cli_log(LL_DEBUG, "Glib thread started\n");
    }

    ui->cnt_pb->setEnabled(false);
    ui->dcnt_pb->setEnabled(true);
    isConnected = true;
}

void MainWindow::onSignallingConnected() {
    wsInput.webSocket.wsConnect();
    wsCursor.webSocket.wsConnect();
    const std::string& adminName = settings.serverApiParams.adminName;
    trayIcon.systemTrayIcon.setToolTip(
        adminName.empty() ? TrayIcon::tr("Connection to your desktop has been established")
                          : TrayIcon::tr("'%1' has connected to your desktop")
                                .arg(QString::fromStdString(adminName)));
    trayIcon.showConnectionMessage();
}

void MainWindow::disconnectServer() {
    const ConnectionParams& params = settings.connectionParams;
    cli_log(LL_INFO,
            "Disconnecting from the server %s/ws/signalling with sessionID %s and admin %s\n",
            params.serverUrl.c_str(), params.sessionId.c_str(),
            nameOrNone(settings.serverApiParams.adminName));

    wsCursor.webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    wsInput.webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    wsSignalling.gstreamer.screenPipelineStop(true);
    wsSignalling.gstreamer.stopGlibThread();
    // A socket still opening is dropped too: otherwise it would connect after the user's
    // Disconnect and start the session anyway.
    WebSocketBase& socket = wsSignalling.webSocket;
    if (socket.state() == QAbstractSocket::ConnectedState) {
        socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    } else if (socket.state() != QAbstractSocket::UnconnectedState) {
        socket.abort();
    }

    ui->cnt_pb->setEnabled(true);
    ui->dcnt_pb->setEnabled(false);
    trayIcon.systemTrayIcon.setToolTip(QString::fromUtf8(kAppName));
    isConnected = false;
}

void MainWindow::showErrorMessage(const char* message) {
    if (!isUserDisconnect) {
        ui->msg_lbl->setStyleSheet(QStringLiteral("QLabel {color: red }"));
        ui->msg_lbl->setText(QCoreApplication::translate("MainWindow", message));
        cli_log(LL_ERROR, "Terminate. Reason: %s\n", message);
    }
    ui->cnt_pb->setEnabled(true);
    ui->dcnt_pb->setEnabled(false);
}

void MainWindow::setGUIParams() {
    ui->srv_le->setText(QString::fromStdString(settings.connectionParams.serverUrl));
    ui->sesID_le->setText(QString::fromStdString(settings.connectionParams.sessionId));
}

void MainWindow::installTranslator() {
    const QString localeName = QLocale::system().name();
    if (localeName == QLatin1String("en_US")) {
        cli_log(LL_INFO, "Use %s default locale\n", localeName.toUtf8().constData());
        return;
    }
    if (!translator) {
        translator = new QTranslator(this);
    }
    if (!translator->load(QLocale(localeName), QStringLiteral("assistant"), QStringLiteral("_"),
                          QStringLiteral(":/localizations/"))) {
        cli_log(LL_ERROR, "Unable to load translation file\n");
        return;
    }
    if (QCoreApplication::installTranslator(translator)) {
        cli_log(LL_INFO, "%s localization file install successfully\n",
                localeName.toUtf8().constData());
    } else {
        cli_log(LL_ERROR, "Unable to install translator\n");
    }
}

bool MainWindow::getServerApiSettings() {
    return resolveSessionSettings(serverApiDiscover, serverApiSettings, settings,
                                  [this](const char* message) { showErrorMessage(message); });
}

// The server named by a link decides "notifyConnection", and anyone can send a link to a server
// of their own. Only the configured server is trusted to waive the user's consent.
bool MainWindow::decideLinkPermission() {
    const QString configured = QString::fromStdString(settings.configuredServerUrl);
    const QString linked = QString::fromStdString(settings.connectionParams.serverUrl);
    if (!isSameServer(configured, linked)) {
        cli_log(LL_WARNING,
                "The server %s of the link is not the configured server %s, asking the user for "
                "permission\n",
                linked.toUtf8().constData(),
                configured.isEmpty() ? "'NONE'" : configured.toUtf8().constData());
        return true;
    }
    return settings.serverApiParams.notifyConnection;
}

void MainWindow::onPermissionRequested() {
    if (!askPermission(QString::fromStdString(settings.serverApiParams.adminName),
                       foreignServerHost(settings), this)) {
        return;
    }
    if (isConnected) {
        disconnectServer();
    }
    setGUIParams();
    ui->cnt_pb->click();
}

void MainWindow::onDelayedConnect() {
    if (isConnected) {
        disconnectServer();
    }
    setGUIParams();
    isUserDisconnect = false;
    connectServer();
}

void MainWindow::onPeerMessageReceived(const QString& message) {
    cli_log(LL_INFO, "Message from second instance received: %s\n", message.toUtf8().constData());
    if (message.contains(QLatin1String("activate:"))) {
        cli_log(LL_INFO,
                "Got full url from second instance. Parsing URL and getting permission to "
                "connect\n");
        const QByteArray url = message.mid(message.indexOf(QLatin1Char(':')) + 1).toUtf8();
        if (!parseFullUrl(url.constData(), settings)) {
            cli_log(LL_ERROR, "Cannot parse full url\n");
            return;
        }
        if (!getServerApiSettings()) {
            return;
        }
        if (decideLinkPermission()) {
            trayIcon.showRequestMessage();
        } else {
            connectTimer.start(kDelayedConnectMs);
        }
        return;
    }
    if (message == APP_MSG_ACTIVATE) {
        cli_log(LL_INFO, "Got activate message from second instance. Showing window from tray\n");
        trayIcon.showMainWindowFromTray();
    }
}

// Only the first show after start-up connects by itself: restoring the window from the tray
// must neither drop a running session nor reconnect after the user pressed Disconnect.
void MainWindow::showEvent(QShowEvent* event) {
    if (!firstShowHandled) {
        firstShowHandled = true;
        if (settings.fromLink) {
            if (linkNeedsPermission) {
                isUserDisconnect = false;
                connectServer();
            } else {
                connectTimer.start(kDelayedConnectMs);
            }
        }
    }
    event->accept();
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) {
        ui->retranslateUi(this);
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(kAppName),
                    tr("Do you really want to leave?"), QMessageBox::Yes | QMessageBox::No, this);
    box.button(QMessageBox::Yes)->setText(tr("Yes"));
    box.button(QMessageBox::No)->setText(tr("No"));
    if (box.exec() == QMessageBox::Yes) {
        event->accept();
        QCoreApplication::quit();
    } else {
        event->ignore();
    }
}
