// The agent's window: connection fields and buttons, texts, tray and dialogs. It shows the
// session's state and hands the user's actions to it.
#pragma once

#include <QMainWindow>
#include <QString>

#include "GlobalSettings.h"
#include "Session.h"
#include "TrayIcon.h"

class QCloseEvent;
class QEvent;
class QTranslator;
class QtLocalPeer;
class Ui_MainWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    static const QString APP_MSG_ACTIVATE;

    // The Connect and Disconnect reactions.
    void connectServer();
    void disconnectServer();
    void showErrorMessage(const char* message);
    void setGUIParams();
    void installTranslator();

    // Whether the link the agent was started with needs the user's consent: the server asks for
    // it, or the link names a server other than the configured one.
    bool needsPermission() const { return linkNeedsPermission; }

    // The user chose to leave (the window's close button or the tray's Exit, then Yes).
    bool isLeaving() const { return leaving; }

    // Single-instance decision, made once while the window was built: true when another
    // instance owns the application id (then hand it the link through peer() and exit).
    bool isClient() const { return peerIsClient; }
    QtLocalPeer* peer() const { return localPeer; }

    TrayIcon& tray() { return trayIcon; }
    Session& session() { return sessionObj; }

public slots:
    void onPeerMessageReceived(const QString& message);

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void onPermissionRequested();
    void onSessionChanged();
    void onSignallingUp(const QString& adminName);

    Ui_MainWindow* ui;
    GlobalSettings& settings;
    Session sessionObj;
    TrayIcon trayIcon;
    // The key of the error on show, re-applied after a language change retranslates the form.
    QByteArray shownError;

    bool linkNeedsPermission = false;
    bool leaving = false;
    QTranslator* translator = nullptr;
    QtLocalPeer* localPeer = nullptr;  // child of the window
    bool peerIsClient = false;
};
