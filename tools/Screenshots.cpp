// Renders the main window (idle and with an error) and the permission dialog (for the configured
// server and for another one) into PNG files.
// Usage: gui_screenshots <output directory> <file prefix>
#include <QApplication>
#include <QDir>
#include <QTimer>

#include "GlobalSettings.h"
#include "MainWindow.h"
#include "PermissionDialog.h"

namespace {

bool save(QWidget& w, const QString& path) {
    w.show();
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
    }
    return w.grab().save(path);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QString prefix = QString::fromLocal8Bit(argv[2]);

    auto& s = GlobalSettings::instance();
    s.connectionParams.serverUrl = "https://vdi.example.org/assistant";
    s.connectionParams.sessionId = "1024";
    s.configuredServerUrl = s.connectionParams.serverUrl;

    bool ok = true;
    {
        MainWindow w;
        // The language change from installing the translator arrives with the first events.
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
        }
        w.setWindowTitle(QStringLiteral("Kelvano Assistant"));
        ok &= save(w, out.filePath(prefix + "-idle.png"));
        w.showErrorMessage("Server not found");
        ok &= save(w, out.filePath(prefix + "-error.png"));
        w.hide();
        // The translator belongs to the window, so the dialog is made while it lives.
        PermissionDialog d(QStringLiteral("Anna Petrova"), QString(), nullptr);
        ok &= save(d, out.filePath(prefix + "-permission.png"));
        PermissionDialog other(QStringLiteral("Anna Petrova"), QStringLiteral("help.example.net"),
                               nullptr);
        ok &= save(other, out.filePath(prefix + "-permission-other-server.png"));
    }
    return ok ? 0 : 1;
}
