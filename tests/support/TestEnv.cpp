#include "TestEnv.h"

#include <QFile>
#include <QTemporaryDir>

namespace testenv {

QString tempDir() {
    static QTemporaryDir dir;
    return dir.path();
}

QString readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

}  // namespace testenv
