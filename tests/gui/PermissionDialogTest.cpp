#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "GuiTestUtil.h"
#include "LinkTrust.h"
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

TEST(PermissionDialogTest, GiveIsEnabledOnlyWhileTheBoxIsTicked) {
    std::vector<bool> states;
    guitest::onModal("PermissionDialog", [&](QWidget* d) {
        QPushButton* give = button(d, "give_pb");
        states.push_back(give->isEnabled());
        // A click on the disabled button must not grant anything.
        QTest::mouseClick(give, Qt::LeftButton);
        for (int i = 0; i < 3; ++i) {
            box(d)->click();
            states.push_back(give->isEnabled());
        }
        QTest::mouseClick(give, Qt::LeftButton);
    });
    EXPECT_TRUE(askPermission(QStringLiteral("Anna Petrova"), QString(), nullptr));
    EXPECT_EQ(states, (std::vector<bool>{false, true, false, true}));
}

TEST(PermissionDialogTest, EveryOtherWayOutRefuses) {
    const std::function<void(QWidget*)> ends[] = {
        [](QWidget* d) { button(d, "cancel_pb")->click(); },
        [](QWidget* d) { d->close(); },
        [](QWidget* d) { QTest::keyClick(d, Qt::Key_Escape); },
    };
    for (const auto& end : ends) {
        guitest::onModal("PermissionDialog", [&end](QWidget* d) {
            box(d)->click();
            end(d);
        });
        EXPECT_FALSE(askPermission(QStringLiteral("admin"), QString(), nullptr));
    }
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

TEST(PermissionDialogTest, HostNamedForALinkToAnotherServer) {
    const QString configured = QStringLiteral("https://vdi.example.org/assistant");
    const std::pair<const char*, const char*> rows[] = {
        {"https://VDI.example.org:443/assistant", ""},
        {"https://help.example.net/assistant", "help.example.net"},
        {"https://vdi.example.org:8443/assistant", "vdi.example.org:8443"},
        {"http://vdi.example.org/assistant", "vdi.example.org"},
        {"https://аdmin.example.org/a", "xn--dmin-43d.example.org"},  // Cyrillic "а"
    };
    for (const auto& [link, host] : rows) {
        EXPECT_EQ(foreignServerHost(configured, QString::fromUtf8(link)), host) << link;
    }
}
