#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>

#include "AppInfo.h"
#include "GuiResources.h"
#include "LinkTrust.h"
#include "PermissionDialog.h"
#include "QtLocalPeer.h"
#include "logger.h"
#include "ui_MainWindow.h"

const QString MainWindow::APP_MSG_ACTIVATE = QStringLiteral("activate");

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      ui(new Ui_MainWindow),
      settings(GlobalSettings::instance()),
      sessionObj(this),
      trayIcon(this) {
    initGuiResources();

    installTranslator();
    ui->setupUi(this);
    ui->msg_lbl->setWordWrap(true);
    setWindowIcon(QIcon(QStringLiteral(":/resources/icons/kelvano.svg")));
    setWindowTitle(QString::fromUtf8(kAppName));
    ui->cnt_pb->setEnabled(true);
    ui->dcnt_pb->setEnabled(false);
    setGUIParams();

    connect(&sessionObj, &Session::changed, this, &MainWindow::onSessionChanged);
    connect(&sessionObj, &Session::errorShown, this, &MainWindow::showErrorMessage);
    connect(&sessionObj, &Session::messageCleared, this, [this]() {
        shownError.clear();
        ui->msg_lbl->clear();
    });
    connect(&sessionObj, &Session::targetAccepted, this,
            [this](const QString& serverUrl, const QString& sessionId) {
                ui->srv_le->setText(serverUrl);
                ui->sesID_le->setText(sessionId);
            });
    connect(&sessionObj, &Session::waylandWarning, this, [this]() {
        QMessageBox::warning(this, QString::fromUtf8(kAppName),
                             tr("Usage of wayland protocol is not supported"), QMessageBox::Ok);
    });
    connect(&sessionObj, &Session::signallingUp, this, &MainWindow::onSignallingUp);
    connect(&sessionObj, &Session::connectionClosed, this,
            [this]() { trayIcon.systemTrayIcon.setToolTip(QString::fromUtf8(kAppName)); });
    connect(&sessionObj, &Session::consentRequested, this, [this](const ConsentRequest& request) {
        // Start-up asks before the window is shown (main); the user's Connect asks at once; a
        // handed-over link through a notification. Either way from the event loop, not from
        // inside the session's step.
        switch (request.origin()) {
            case ConsentRequest::Origin::Startup:
                break;
            case ConsentRequest::Origin::Connect:
                QTimer::singleShot(0, this, &MainWindow::onPermissionRequested);
                break;
            case ConsentRequest::Origin::Link:
                QTimer::singleShot(0, &trayIcon, &TrayIcon::showRequestMessage);
                break;
        }
    });

    sessionObj.openDisplay();
    trayIcon.makeTrayHandlers();
    if (settings.fromLink) {
        linkNeedsPermission = sessionObj.resolveStartupLink();
    }

    connect(ui->sesID_le, &QLineEdit::returnPressed, this, &MainWindow::connectServer);
    connect(ui->cnt_pb, &QPushButton::clicked, this, &MainWindow::connectServer);
    connect(ui->dcnt_pb, &QPushButton::clicked, this, &MainWindow::disconnectServer);
    connect(
        &trayIcon, &TrayIcon::trayMessageClicked, &trayIcon, [this]() { onPermissionRequested(); },
        Qt::DirectConnection);

    localPeer = new QtLocalPeer(this, QString::fromUtf8(kAppName));
    peerIsClient = localPeer->isClient();
    connect(localPeer, &QtLocalPeer::messageReceived, this, &MainWindow::onPeerMessageReceived);
}

MainWindow::~MainWindow() {
    // The session ends first: its input thread releases held keys before the display closes.
    sessionObj.shutdown();
    cli_log(LL_INFO, "%s finished\n", kAppName);
    delete ui;
}

void MainWindow::connectServer() {
    sessionObj.userConnect(ui->srv_le->text(), ui->sesID_le->text());
}

void MainWindow::disconnectServer() {
    sessionObj.userDisconnect();
}

void MainWindow::onSessionChanged() {
    const bool busy = sessionObj.busy();
    ui->cnt_pb->setEnabled(!busy);
    ui->dcnt_pb->setEnabled(busy);
}

void MainWindow::onSignallingUp(const QString& adminName) {
    trayIcon.systemTrayIcon.setToolTip(
        adminName.isEmpty() ? TrayIcon::tr("Connection to your desktop has been established")
                            : TrayIcon::tr("'%1' has connected to your desktop").arg(adminName));
    trayIcon.showConnectionMessage();
}

void MainWindow::showErrorMessage(const char* message) {
    shownError = QByteArray(message);
    ui->msg_lbl->setStyleSheet(QStringLiteral("QLabel {color: red }"));
    ui->msg_lbl->setText(QCoreApplication::translate("MainWindow", message));
    onSessionChanged();
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

// A click on the request notification (or at once without notifications, or after Connect): the
// question for the request that is pending now; an answer for an older one is dropped by the
// session.
void MainWindow::onPermissionRequested() {
    const ConsentRequest* pending = sessionObj.pendingConsent();
    if (!pending || pending->origin() == ConsentRequest::Origin::Startup) {
        cli_log(LL_INFO, "No connection request is waiting for permission\n");
        return;
    }
    const ConsentRequest request = *pending;
    if (const std::optional<Grant> granted = askPermission(request, this)) {
        sessionObj.grant(*granted);
    } else {
        sessionObj.refuse(request.attempt());
    }
}

void MainWindow::onPeerMessageReceived(const QString& message) {
    cli_log(LL_INFO, "Message from second instance received: %s\n", message.toUtf8().constData());
    if (message.contains(QLatin1String("activate:"))) {
        cli_log(LL_INFO,
                "Got full url from second instance. Parsing URL and getting permission to "
                "connect\n");
        sessionObj.handOver(message.mid(message.indexOf(QLatin1Char(':')) + 1));
        return;
    }
    if (message == APP_MSG_ACTIVATE) {
        cli_log(LL_INFO, "Got activate message from second instance. Showing window from tray\n");
        trayIcon.showMainWindowFromTray();
    }
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) {
        ui->retranslateUi(this);
        if (!shownError.isEmpty()) {
            ui->msg_lbl->setText(QCoreApplication::translate("MainWindow", shownError.constData()));
        }
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
        // Also before the event loop runs (the start-up fetch or question), where quit() alone
        // would be lost: start-up reads the flag.
        leaving = true;
        sessionObj.userDisconnect();
        QCoreApplication::quit();
    } else {
        event->ignore();
    }
}
