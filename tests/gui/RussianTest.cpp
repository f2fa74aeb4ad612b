#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>

#include "GlobalSettings.h"
#include "GuiTestEnv.h"
#include "GuiTestUtil.h"
#include "MainWindow.h"
#include "PermissionDialog.h"
#include "TrayIcon.h"

// The system locale is read once per process, so each language runs in a child process of this
// same binary (the tests below skip unless they are that child).
namespace {

const char* kChildVar = "KELVANO_LOCALE_CHILD";

bool isChild(const char* locale) {
    return qEnvironmentVariable(kChildVar) == QLatin1String(locale);
}

int runChild(const char* locale, const char* filter, QString* output) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildVar), QString::fromLatin1(locale));
    env.insert(QStringLiteral("LANG"), QString::fromLatin1(locale) + ".UTF-8");
    env.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale) + ".UTF-8");
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gtest_filter=") + QString::fromLatin1(filter)});
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    *output = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QStringList menuTexts(TrayIcon& tray) {
    QStringList texts;
    if (QMenu* menu = tray.systemTrayIcon.contextMenu()) {
        for (QAction* a : menu->actions()) {
            if (!a->isSeparator()) {
                texts << a->text();
            }
        }
    }
    return texts;
}

void resetSettings() {
    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = "https://vdi.example.org/assistant";
    s.connectionParams.sessionId = "7";
    s.fromLink = false;
}

}  // namespace

TEST(Locale, RussianSystemLocaleTranslatesWindowDialogAndTrayMenu) {
    QString out;
    EXPECT_EQ(runChild("ru_RU", "LocaleChild.Russian", &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
    EXPECT_TRUE(out.contains("ru_RU localization file install successfully")) << out.toStdString();
}

TEST(Locale, EnglishSystemLocaleInstallsNoTranslator) {
    QString out;
    EXPECT_EQ(runChild("en_US", "LocaleChild.English", &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
    EXPECT_TRUE(out.contains("Use en_US default locale")) << out.toStdString();
    EXPECT_FALSE(out.contains("localization file install successfully")) << out.toStdString();
}

TEST(LocaleChild, Russian) {
    if (!isChild("ru_RU")) {
        GTEST_SKIP() << "runs as a child process";
    }
    logcapture::start();
    ASSERT_EQ(QLocale::system().name(), "ru_RU");
    resetSettings();
    // A start-up link to a server that is not there: the error appears while the window is built.
    auto& s = GlobalSettings::instance();
    s.fromLink = true;
    s.connectionParams.serverUrl = "http://127.0.0.1:1/assistant";
    MainWindow w;
    s.fromLink = false;
    w.show();
    EXPECT_EQ(w.findChild<QLabel*>("srv_lbl")->text(), "URL сервера");
    EXPECT_EQ(w.findChild<QLabel*>("sesID_lbl")->text(), "Идентификатор сессии");
    EXPECT_EQ(w.findChild<QPushButton*>("cnt_pb")->text(), "Подключиться");
    EXPECT_EQ(w.findChild<QPushButton*>("dcnt_pb")->text(), "Отключиться");
    EXPECT_EQ(menuTexts(w.tray()), QStringList({"Показать", "Скрыть", "Выход"}));

    // The language change posted when the translator was installed re-applies the form; the
    // error shown meanwhile stays.
    QLabel* msg = w.findChild<QLabel*>("msg_lbl");
    EXPECT_TRUE(guitest::waitFor([&] { return w.windowTitle() == "Kelvano assistant"; }));
    EXPECT_EQ(msg->text(), "Ошибка версии сервера");

    // A text raised elsewhere reaches the window as a key of the catalogue, and survives a later
    // language change.
    w.showErrorMessage("Connection with the server is closed");
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&w, &change);
    EXPECT_EQ(msg->text(), "Соединение с сервером закрыто");

    QString question, agree, give, cancel;
    guitest::onModal("PermissionDialog", [&](QWidget* d) {
        question = d->findChild<QLabel*>("label")->text();
        agree = d->findChild<QCheckBox*>("checkBox")->text();
        give = d->findChild<QPushButton*>("give_pb")->text();
        cancel = d->findChild<QPushButton*>("cancel_pb")->text();
        d->findChild<QPushButton*>("cancel_pb")->click();
    });
    EXPECT_FALSE(askPermission(QStringLiteral("Анна"), QString(), &w));
    EXPECT_EQ(question, "Дать разрешение администратору 'Анна' на просмотр вашего экрана?");
    EXPECT_EQ(agree, " Да, я согласен");
    EXPECT_EQ(give, "Разрешить");
    EXPECT_EQ(cancel, "Отмена");
}

TEST(LocaleChild, English) {
    if (!isChild("en_US")) {
        GTEST_SKIP() << "runs as a child process";
    }
    logcapture::start();
    ASSERT_EQ(QLocale::system().name(), "en_US");
    resetSettings();
    MainWindow w;
    w.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.windowTitle(), "Kelvano Assistant");
    EXPECT_EQ(w.findChild<QPushButton*>("cnt_pb")->text(), "Connect");
    EXPECT_EQ(menuTexts(w.tray()), QStringList({"Show", "Hide", "Exit"}));
    EXPECT_EQ(QCoreApplication::translate("MainWindow", "Server not found"), "Server not found");
}
