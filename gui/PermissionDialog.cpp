#include "PermissionDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QLayout>
#include <QPushButton>

#include "AppInfo.h"
#include "GuiResources.h"
#include "logger.h"
#include "ui_PermissionDialog.h"

PermissionDialog::PermissionDialog(const ConsentRequest& request, QWidget* parent)
    : PermissionDialog(request.adminName(), request.foreignHost(), parent, request) {}

PermissionDialog::PermissionDialog(const QString& adminName, const QString& foreignHost,
                                   QWidget* parent)
    : PermissionDialog(adminName, foreignHost, parent, std::nullopt) {}

PermissionDialog::PermissionDialog(const QString& adminName, const QString& foreignHost,
                                   QWidget* parent, std::optional<ConsentRequest> asked)
    : QDialog(parent), ui(new Ui::PermissionDialog), request(std::move(asked)) {
    initGuiResources();
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/resources/icons/kelvano.svg")));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QString::fromUtf8(kAppName));
    ui->give_pb->setEnabled(false);
    // No button answers Enter: a chat line typed on while the dialog pops up must not grant.
    for (QPushButton* button : {ui->give_pb, ui->cancel_pb}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    qApp->installEventFilter(this);

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
            if (request) {
                granted = Grant(*request);
            }
            buttonPressed = true;
            close();
        },
        Qt::DirectConnection);
    connect(
        ui->cancel_pb, &QPushButton::clicked, this,
        [this]() {
            granted.reset();
            buttonPressed = true;
            close();
        },
        Qt::DirectConnection);
}

PermissionDialog::~PermissionDialog() {
    delete ui;
}

void PermissionDialog::showEvent(QShowEvent* event) {
    if (!shown.isValid()) {
        shown.start();
    }
    QDialog::showEvent(event);
}

void PermissionDialog::closeEvent(QCloseEvent* event) {
    if (!buttonPressed) {
        granted.reset();
    }
    event->accept();
}

// Keys for the dialog or anything in it are dropped until it has been up for a moment.
bool PermissionDialog::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease ||
         type == QEvent::ShortcutOverride) &&
        !takesKeys() && watched->isWidgetType() &&
        (watched == this || isAncestorOf(static_cast<QWidget*>(watched)))) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

std::optional<Grant> askPermission(const ConsentRequest& request, QWidget* parent) {
    auto* dialog = new PermissionDialog(request, parent);
    dialog->exec();
    const std::optional<Grant> granted = dialog->grant();
    const QString adminName = request.adminName();
    cli_log(LL_INFO, "PermissionDialog: permission result for '%s': %s\n",
            adminName.isEmpty() ? "NONE" : adminName.toUtf8().constData(),
            granted ? "true" : "false");
    delete dialog;
    return granted;
}
