// The local user's consent before the screen is shared.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <optional>

#include "Consent.h"

namespace Ui {
class PermissionDialog;
}

class PermissionDialog : public QDialog {
    Q_OBJECT

public:
    // Keys typed into the dialog this soon after it appeared were meant for something else.
    static constexpr int kKeyGuardMs = 1000;

    // Asks about `request`: its administrator, and its server when that is not the configured one.
    PermissionDialog(const ConsentRequest& request, QWidget* parent);
    // The same question with no request behind it (screenshots): it never grants.
    PermissionDialog(const QString& adminName, const QString& foreignHost, QWidget* parent);
    ~PermissionDialog() override;

    bool isPermissionGiven() const { return granted.has_value(); }
    // The leave to connect, once the user ticked the box and pressed "Give permission".
    const std::optional<Grant>& grant() const { return granted; }
    bool takesKeys() const { return shown.isValid() && shown.hasExpired(kKeyGuardMs); }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    PermissionDialog(const QString& adminName, const QString& foreignHost, QWidget* parent,
                     std::optional<ConsentRequest> request);

    Ui::PermissionDialog* ui;
    const std::optional<ConsentRequest> request;
    std::optional<Grant> granted;
    bool buttonPressed = false;
    QElapsedTimer shown;
};

// Runs the dialog modally; a grant only when the user ticked the box and pressed "Give
// permission".
std::optional<Grant> askPermission(const ConsentRequest& request, QWidget* parent);
