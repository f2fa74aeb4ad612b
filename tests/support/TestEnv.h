// Small helpers shared by the suites.
#pragma once

#include <QFile>
#include <QString>

namespace testenv {

// Whole text of a file, or an empty string when it cannot be read.
inline QString readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

}  // namespace testenv
