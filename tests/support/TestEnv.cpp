#include "TestEnv.h"

#include <gst/gst.h>

void testenv::initGStreamer() {
    gst_init(nullptr, nullptr);  // once: later calls return at once
}
