#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "PermissionDialog.h"

namespace {

QPushButton* button(QWidget* w, const char* name) {
    return w->findChild<QPushButton*>(QString::fromLatin1(name));
}
QCheckBox* box(QWidget* w) {
    return w->findChild<QCheckBox*>(QStringLiteral("checkBox"));
}

struct PermissionDialogTest : ::testing::Test {
    void SetUp() override {
        logcapture::start();
        logcapture::mark();
    }
};

}  // namespace

TEST_F(PermissionDialogTest, GiveIsEnabledOnlyWhileTheBoxIsTicked) {
    std::vector<bool> states;
    QString question;
    guitest::onModal("PermissionDialog", [&](QWidget* d) {
        question = d->findChild<QLabel*>(QStringLiteral("label"))->text();
        EXPECT_EQ(d->windowTitle(), "Kelvano Assistant");
        EXPECT_EQ(d->size(), QSize(363, 102));
        EXPECT_FALSE(d->windowIcon().isNull());
        QPushButton* give = button(d, "give_pb");
        states.push_back(give->isEnabled());
        // A click on the disabled button must not grant anything.
        QTest::mouseClick(give, Qt::LeftButton);
        box(d)->click();
        states.push_back(give->isEnabled());
        box(d)->click();
        states.push_back(give->isEnabled());
        box(d)->click();
        states.push_back(give->isEnabled());
        QTest::mouseClick(give, Qt::LeftButton);
    });
    EXPECT_TRUE(askPermission(QStringLiteral("Anna Petrova"), nullptr));
    EXPECT_EQ(states, (std::vector<bool>{false, true, false, true}));
    EXPECT_EQ(question, "Give permission for administrator 'Anna Petrova' to share your screen?");
    EXPECT_TRUE(logcapture::sinceMark().contains(
        "PermissionDialog: permission result for 'Anna Petrova': true"));
}

TEST_F(PermissionDialogTest, EveryOtherWayOutRefuses) {
    struct Row {
        const char* what;
        std::function<void(QWidget*)> end;
    };
    const Row rows[] = {
        {"Cancel after ticking",
         [](QWidget* d) {
             box(d)->click();
             button(d, "cancel_pb")->click();
         }},
        {"close button after ticking",
         [](QWidget* d) {
             box(d)->click();
             d->close();
         }},
        {"Escape after ticking",
         [](QWidget* d) {
             box(d)->click();
             QTest::keyClick(d, Qt::Key_Escape);
         }},
    };
    for (const Row& r : rows) {
        guitest::onModal("PermissionDialog", r.end);
        EXPECT_FALSE(askPermission(QStringLiteral("admin"), nullptr)) << r.what;
    }
}

TEST_F(PermissionDialogTest, EmptyNameAsksTheGenericQuestionAndLogsNone) {
    QString question;
    guitest::onModal("PermissionDialog", [&](QWidget* d) {
        question = d->findChild<QLabel*>(QStringLiteral("label"))->text();
        button(d, "cancel_pb")->click();
    });
    EXPECT_FALSE(askPermission(QString(), nullptr));
    EXPECT_EQ(question, "Give permission to share your screen?");
    EXPECT_TRUE(
        logcapture::sinceMark().contains("PermissionDialog: permission result for 'NONE': false"));
}

TEST_F(PermissionDialogTest, FormTextsAndLayout) {
    PermissionDialog d(QStringLiteral("x"), nullptr);
    EXPECT_EQ(d.objectName(), "PermissionDialog");
    EXPECT_EQ(box(&d)->text(), " I agree");
    EXPECT_EQ(button(&d, "give_pb")->text(), "Give permission");
    EXPECT_EQ(button(&d, "cancel_pb")->text(), "Cancel");
    EXPECT_FALSE(d.windowFlags() & Qt::WindowContextHelpButtonHint);
    EXPECT_EQ(d.minimumSize(), QSize(363, 102));
    EXPECT_EQ(d.maximumSize(), QSize(363, 102));
}
