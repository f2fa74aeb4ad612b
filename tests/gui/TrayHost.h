// A system-tray host for the tests: Debian's trayer on the test's X display.
#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QSystemTrayIcon>

#include "GuiTestUtil.h"

class TrayHost {
public:
    // Starts trayer and waits until Qt sees a tray; started() tells whether that worked.
    TrayHost() {
        // Killed with the test process, even when a time-out ends it: a tray left on the shared
        // display would change what the other suites see.
        process.setProgram(QStringLiteral("setpriv"));
        process.setArguments(
            {QStringLiteral("--pdeathsig"), QStringLiteral("KILL"), QStringLiteral("trayer"),
             QStringLiteral("--edge"), QStringLiteral("bottom"), QStringLiteral("--align"),
             QStringLiteral("right"), QStringLiteral("--SetDockType"), QStringLiteral("false")});
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        ok = process.waitForStarted(5000) &&
             guitest::waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000);
    }
    ~TrayHost() {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    bool started() const { return ok; }

private:
    QProcess process;
    bool ok = false;
};

// One tray host for the whole suite; child processes of the suite use their parent's.
class TrayEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("KELVANO_LOCALE_CHILD")) {
            host = new TrayHost;
        }
    }
    void TearDown() override {
        delete host;
        host = nullptr;
    }
    static bool available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

private:
    TrayHost* host = nullptr;
};
