#include "TestEnv.h"

#include <QFile>

#include <gst/gst.h>

namespace testenv {

QString readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void initGStreamer() {
    gst_init(nullptr, nullptr);  // once: later calls return at once
}

}  // namespace testenv
