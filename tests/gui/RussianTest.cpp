// The window under a Russian system locale. The locale is read once per process, so the test
// runs in a child process of this same binary.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>

#include "GlobalSettings.h"
#include "GuiTestUtil.h"
#include "LogCapture.h"
#include "MainWindow.h"
#include "TrayIcon.h"
#include "WaitFor.h"

TEST(Locale, RussianSystemLocaleTranslatesTheWindowAndKeepsItsError) {
    if (qEnvironmentVariableIsEmpty("KELVANO_LOCALE_CHILD")) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KELVANO_LOCALE_CHILD"), QStringLiteral("1"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("ru_RU.UTF-8"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=Locale.*")});
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAll());
        EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
        return;
    }
    LogCapture::initLogger();
    ASSERT_EQ(QLocale::system().name(), "ru_RU");
    // A start-up link to a server that is not there: the error appears while the window is built.
    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = "http://127.0.0.1:1/assistant";
    s.connectionParams.sessionId = "7";
    s.fromLink = true;
    MainWindow w;
    s.fromLink = false;
    w.show();
    EXPECT_EQ(w.findChild<QPushButton*>("cnt_pb")->text(), "Подключиться");
    QStringList menu;
    for (QAction* a : w.tray().systemTrayIcon.contextMenu()->actions()) {
        menu << a->text();
    }
    EXPECT_EQ(menu, QStringList({"Показать", "Скрыть", "", "Выход"}));

    // The language change posted when the translator was installed re-applies the form; the
    // error shown meanwhile stays.
    QLabel* msg = w.findChild<QLabel*>("msg_lbl");
    EXPECT_TRUE(waitFor([&] { return w.windowTitle() == "Kelvano assistant"; }, 5000));
    EXPECT_EQ(msg->text(), "Ошибка версии сервера");

    // An error text may live only during the signal that carries it; the window keeps a copy for
    // the next language change.
    QByteArray transient("Connection with the server is closed");
    w.showErrorMessage(transient.constData());
    transient[0] = 'X';
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&w, &change);
    EXPECT_EQ(msg->text(), "Соединение с сервером закрыто") << transient.constData();
}
