#include "PermissionDialog.h"

#include <QCloseEvent>
#include <QIcon>

#include "AppInfo.h"
#include "GuiResources.h"
#include "logger.h"
#include "ui_PermissionDialog.h"

PermissionDialog::PermissionDialog(const QString& adminName, QWidget* parent)
    : QDialog(parent), ui(new Ui::PermissionDialog) {
    initGuiResources();
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/resources/icons/kelvano.svg")));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QString::fromUtf8(kAppName));
    ui->give_pb->setEnabled(false);

    if (adminName.isEmpty()) {
        ui->label->setText(tr("Give permission to share your screen?"));
    } else {
        ui->label->setText(
            tr("Give permission for administrator '%1' to share your screen?").arg(adminName));
    }

    connect(
        ui->checkBox, &QCheckBox::toggled, this,
        [this](bool checked) { ui->give_pb->setEnabled(checked); }, Qt::DirectConnection);
    connect(
        ui->give_pb, &QPushButton::clicked, this,
        [this]() {
            permissionGiven = true;
            buttonPressed = true;
            close();
        },
        Qt::DirectConnection);
    connect(
        ui->cancel_pb, &QPushButton::clicked, this,
        [this]() {
            permissionGiven = false;
            buttonPressed = true;
            close();
        },
        Qt::DirectConnection);
}

PermissionDialog::~PermissionDialog() {
    delete ui;
}

void PermissionDialog::closeEvent(QCloseEvent* event) {
    if (!buttonPressed) {
        permissionGiven = false;
    }
    event->accept();
}

bool askPermission(QString adminName, QWidget* parent) {
    auto* dialog = new PermissionDialog(adminName, parent);
    dialog->exec();
    const bool granted = dialog->isPermissionGiven();
    cli_log(LL_INFO, "PermissionDialog: permission result for '%s': %s\n",
            adminName.isEmpty() ? "NONE" : adminName.toUtf8().constData(),
            granted ? "true" : "false");
    delete dialog;
    return granted;
}
