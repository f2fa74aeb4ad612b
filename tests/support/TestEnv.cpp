#include "TestEnv.h"

#include <QFile>
#include <QTemporaryDir>

#include <gst/gst.h>

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

void initGStreamer() {
    if (!gst_is_initialized()) {
        gst_init(nullptr, nullptr);
    }
}

}  // namespace testenv
