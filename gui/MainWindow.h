// The agent's window: connection fields and buttons, and the owner of one remote session.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include "GlobalSettings.h"
#include "ServerApiDiscover.h"
#include "ServerApiSettings.h"
#include "TrayIcon.h"
#include "WSCursor.h"
#include "WSInput.h"
#include "WSSignalling.h"

class QCloseEvent;
class QEvent;
class QShowEvent;
class QTranslator;
class QtLocalPeer;
class Ui_MainWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    static const QString APP_MSG_ACTIVATE;

    void connectServer();
    void disconnectServer();
    void showErrorMessage(const char* message);
    void setGUIParams();
    void installTranslator();
    bool getServerApiSettings();

    // Whether the link the agent was started with needs the user's consent: the server asks for
    // it, or the link names a server other than the configured one.
    bool needsPermission() const { return linkNeedsPermission; }

    // Single-instance decision, made once while the window was built: true when another
    // instance owns the application id (then hand it the link through peer() and exit).
    bool isClient() const { return peerIsClient; }
    QtLocalPeer* peer() const { return localPeer; }

    TrayIcon& tray() { return trayIcon; }

public slots:
    void onPeerMessageReceived(const QString& message);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool decideLinkPermission();
    void onPermissionRequested();
    void onDelayedConnect();
    void onSignallingConnected();

    Ui_MainWindow* ui;
    GlobalSettings& settings;
    WSSignalling wsSignalling;
    WSCursor wsCursor;
    WSInput wsInput;
    TrayIcon trayIcon;
    ServerApiDiscover serverApiDiscover;
    ServerApiSettings serverApiSettings;
    QTimer connectTimer;
    bool isConnected = false;
    bool isUserDisconnect = false;

    bool linkNeedsPermission = false;
    bool firstShowHandled = false;
    QTranslator* translator = nullptr;
    QtLocalPeer* localPeer = nullptr;  // child of the window
    bool peerIsClient = false;
};
