// The environment of a gui test process: a real log file in a private directory, read back by
// the tests, and a private runtime directory so that the single-instance socket of the windows
// made here never meets a running agent or another suite.
#pragma once

#include <QString>

namespace logcapture {

// Opens the log library on a fresh file (once per process); debug lines included.
void start();

// Everything logged since the last mark() (or since start()).
QString sinceMark();
void mark();

}  // namespace logcapture

namespace guitest {

// GStreamer initialised as start-up does it, for suites whose sessions build a pipeline.
void initMedia();

}  // namespace guitest
