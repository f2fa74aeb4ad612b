#include "PermissionDialog.h"

#include <QCloseEvent>
#include <QIcon>
#include <QLayout>

#include "AppInfo.h"
#include "GuiResources.h"
#include "logger.h"
#include "ui_PermissionDialog.h"

PermissionDialog::PermissionDialog(const QString& adminName, const QString& foreignHost,
                                   QWidget* parent)
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
    // Both labels are plain text (set in the form): the name and the host come from the server
    // and the link, and markup in them must not pass for the question.
    ui->server_lbl->setVisible(!foreignHost.isEmpty());
    if (!foreignHost.isEmpty()) {
        ui->server_lbl->setText(tr("The request comes from the server %1, which is not your "
                                   "organisation's configured server.")
                                    .arg(foreignHost));
    }
    // The width is fixed; a long name or the server line makes the dialog taller.
    setFixedSize(width(), qMax(height(), layout()->totalHeightForWidth(width())));

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

bool askPermission(QString adminName, QString foreignHost, QWidget* parent) {
    auto* dialog = new PermissionDialog(adminName, foreignHost, parent);
    dialog->exec();
    const bool granted = dialog->isPermissionGiven();
    cli_log(LL_INFO, "PermissionDialog: permission result for '%s': %s\n",
            adminName.isEmpty() ? "NONE" : adminName.toUtf8().constData(),
            granted ? "true" : "false");
    delete dialog;
    return granted;
}
