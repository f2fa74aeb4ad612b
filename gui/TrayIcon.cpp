#include "TrayIcon.h"

#include <QAction>
#include <QWidget>

#include "AppInfo.h"
#include "GlobalSettings.h"
#include "GuiResources.h"
#include "logger.h"

namespace {
constexpr int kMessageTimeoutMs = 10000;
}

TrayIcon::TrayIcon(QWidget* window) : mainWindow(window) {
    initGuiResources();
}

void TrayIcon::makeTrayHandlers() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        cli_log(LL_WARNING, "System tray is not available\n");
        return;
    }
    showAction = new QAction(tr("Show"), &trayMenu);
    hideAction = new QAction(tr("Hide"), &trayMenu);
    exitAction = new QAction(tr("Exit"), &trayMenu);

    trayMenu.addAction(showAction);
    trayMenu.addAction(hideAction);
    trayMenu.addSeparator();
    trayMenu.addAction(exitAction);
    systemTrayIcon.setContextMenu(&trayMenu);

    systemTrayIcon.setIcon(QIcon(QStringLiteral(":/resources/icons/kelvano.ico")));
    systemTrayIcon.setVisible(true);
    systemTrayIcon.setToolTip(QString::fromUtf8(kAppName));

    connect(showAction, &QAction::triggered, this, &TrayIcon::showMainWindowFromTray);
    connect(hideAction, &QAction::triggered, this, &TrayIcon::hideMainWindowToTray);
    connect(exitAction, &QAction::triggered, this, &TrayIcon::onExit);
    connect(&systemTrayIcon, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
    connect(&systemTrayIcon, &QSystemTrayIcon::messageClicked, this, &TrayIcon::onMessageClicked);

    updateTrayMenuState();
}

void TrayIcon::updateTrayMenuState() {
    if (!showAction) {
        return;
    }
    showAction->setEnabled(windowHidden);
    showAction->setVisible(windowHidden);
    hideAction->setEnabled(!windowHidden);
    hideAction->setVisible(!windowHidden);
}

void TrayIcon::hideMainWindowToTray() {
    cli_log(LL_INFO, "TrayIcon: hide mainwindow to tray\n");
    if (!windowHidden) {
        mainWindow->hide();
        windowHidden = true;
        updateTrayMenuState();
    }
}

void TrayIcon::showMainWindowFromTray() {
    cli_log(LL_INFO, "TrayIcon: show mainwindow from tray\n");
    if (windowHidden) {
        mainWindow->show();
        windowHidden = false;
        updateTrayMenuState();
    }
    mainWindow->show();
    mainWindow->setVisible(true);
    mainWindow->raise();
    mainWindow->activateWindow();
}

// Without a visible tray entry Qt accepts a message and shows nothing, so a request would be
// lost; only a visible entry on a platform with notifications counts.
bool TrayIcon::canShowMessages() const {
    return systemTrayIcon.isVisible() && QSystemTrayIcon::supportsMessages();
}

void TrayIcon::showConnectionMessage() {
    messageType = 0;
    cli_log(LL_INFO, "TrayIcon: showing notification tray message\n");
    if (canShowMessages()) {
        const std::string& adminName = GlobalSettings::instance().serverApiParams.adminName;
        const QString text =
            adminName.empty()
                ? tr("Connection to your desktop has been established")
                : tr("'%1' has connected to your desktop").arg(QString::fromStdString(adminName));
        systemTrayIcon.showMessage(QString::fromUtf8(kAppName), text, QSystemTrayIcon::Information,
                                   kMessageTimeoutMs);
    } else {
        cli_log(LL_WARNING, "TrayIcon: show tray message does not supported on current platform\n");
    }
}

void TrayIcon::showRequestMessage() {
    messageType = 1;
    cli_log(LL_INFO, "TrayIcon: showing request tray message\n");
    if (canShowMessages()) {
        systemTrayIcon.showMessage(QString::fromUtf8(kAppName),
                                   tr("Someone requested to share your desktop"),
                                   QSystemTrayIcon::Information, kMessageTimeoutMs);
    } else {
        cli_log(LL_WARNING,
                "TrayIcon: show tray message does not supoported on current platform\n");
        emit trayMessageClicked();
    }
}

void TrayIcon::onExit() {
    mainWindow->setVisible(true);
    mainWindow->close();
    if (windowHidden) {
        mainWindow->hide();
    }
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
        showMainWindowFromTray();
    }
}

void TrayIcon::onMessageClicked() {
    if (messageType == 0) {
        return;
    }
    windowHidden = true;
    showMainWindowFromTray();
    emit trayMessageClicked();
}
