// Small helpers shared by the suites.
#pragma once

#include <QString>

namespace testenv {

// Whole text of a file, or an empty string when it cannot be read.
QString readFile(const QString& path);

// GStreamer initialised once per process, as start-up does it.
void initGStreamer();

}  // namespace testenv
