// The agent's entry in the system tray: menu, tooltip and the two notifications.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <cstdint>

class QAction;
class QWidget;

class TrayIcon : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(QWidget* mainWindow);

    void makeTrayHandlers();
    void updateTrayMenuState();
    void hideMainWindowToTray();
    void showMainWindowFromTray();
    void showConnectionMessage();
    void showRequestMessage();

    QWidget* mainWindow;
    QSystemTrayIcon systemTrayIcon;  // the main window sets the tooltip directly

signals:
    void trayMessageClicked();

private:
    bool canShowMessages() const;
    void onExit();
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void onMessageClicked();

    QMenu trayMenu;
    bool windowHidden = false;
    QAction* showAction = nullptr;
    QAction* hideAction = nullptr;
    QAction* exitAction = nullptr;
    int32_t messageType = 1;  // 0: connection established, 1: connection request
};
