#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "GuiTestUtil.h"
#include "PermissionDialog.h"

namespace {

QPushButton* button(QWidget* w, const char* name) {
    return w->findChild<QPushButton*>(QString::fromLatin1(name));
}
QCheckBox* box(QWidget* w) {
    return w->findChild<QCheckBox*>(QStringLiteral("checkBox"));
}
// The text a user (or a screen reader) gets from a label, markup rendered.
QString shownText(QWidget* dialog, const char* label) {
    QLabel* l = dialog->findChild<QLabel*>(QString::fromLatin1(label));
    return l->isVisible() ? QAccessible::queryAccessibleInterface(l)->text(QAccessible::Name)
                          : QString();
}

}  // namespace

// Only Give, enabled only while the box is ticked, grants; every other way out refuses.
TEST(PermissionDialogTest, OnlyGiveWithTheBoxTickedGrants) {
    std::vector<bool> states;
    const std::function<void(QWidget*)> ends[] = {
        [&states](QWidget* d) {
            QPushButton* give = button(d, "give_pb");
            states.push_back(give->isEnabled());
            QTest::mouseClick(give, Qt::LeftButton);  // disabled: grants nothing
            for (int i = 0; i < 3; ++i) {
                box(d)->click();
                states.push_back(give->isEnabled());
            }
            QTest::mouseClick(give, Qt::LeftButton);
        },
        [](QWidget* d) { button(d, "cancel_pb")->click(); },
        [](QWidget* d) { d->close(); },
        [](QWidget* d) { QTest::keyClick(d, Qt::Key_Escape); },
    };
    for (const auto& end : ends) {
        const bool give = &end == &ends[0];
        guitest::onModal("PermissionDialog", [&end, give](QWidget* d) {
            if (!give) {
                box(d)->click();
            }
            end(d);
        });
        EXPECT_EQ(askPermission(QStringLiteral("admin"), QString(), nullptr), give);
    }
    EXPECT_EQ(states, (std::vector<bool>{false, true, false, true}));
}

// The name comes from the server and the host from the link: neither may pass for the question.
TEST(PermissionDialogTest, NamesAreShownLiterallyWithTheOtherServersHost) {
    const QString name = QStringLiteral("<b>Click to install updates</b><!--");
    struct Row {
        QString host;
        QString serverLine;
    };
    const Row rows[] = {
        {QString(), QString()},
        {QStringLiteral("<i>help.example.net</i>:8443"),
         QStringLiteral("The request comes from the server <i>help.example.net</i>:8443, which "
                        "is not your organisation's configured server.")},
    };
    for (const Row& row : rows) {
        QString question;
        QString serverLine;
        guitest::onModal("PermissionDialog", [&](QWidget* d) {
            question = shownText(d, "label");
            serverLine = shownText(d, "server_lbl");
            button(d, "cancel_pb")->click();
        });
        EXPECT_FALSE(askPermission(name, row.host, nullptr));
        EXPECT_EQ(question,
                  "Give permission for administrator '" + name + "' to share your screen?");
        EXPECT_EQ(serverLine, row.serverLine);
    }
}
