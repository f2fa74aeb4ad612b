#include "MediaHarness.h"

#include <X11/Xlib.h>

#include <QMetaType>

namespace media_test {

ScreenSpecs xScreen() {
    ScreenSpecs s;
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        return s;
    }
    s.width = DisplayWidth(dpy, DefaultScreen(dpy));
    s.height = DisplayHeight(dpy, DefaultScreen(dpy));
    XCloseDisplay(dpy);
    return s;
}

void initMedia() {
    gst_init(nullptr, nullptr);
    qRegisterMetaType<ConnectionState>("ConnectionState");
}

}  // namespace media_test
