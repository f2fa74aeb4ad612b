// The local user's consent before the screen is shared.
#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class PermissionDialog;
}

class PermissionDialog : public QDialog {
    Q_OBJECT

public:
    // `foreignHost`: the host of a link's server that is not the configured one; empty for the
    // configured server.
    PermissionDialog(const QString& adminName, const QString& foreignHost, QWidget* parent);
    ~PermissionDialog() override;

    bool isPermissionGiven() const { return permissionGiven; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Ui::PermissionDialog* ui;
    bool permissionGiven = false;
    bool buttonPressed = false;
};

// Runs the dialog modally; true only when the user ticked the box and pressed "Give permission".
// `foreignHost` as for the dialog.
bool askPermission(QString adminName, QString foreignHost, QWidget* parent);
