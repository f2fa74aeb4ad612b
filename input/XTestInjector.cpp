#include "XTestInjector.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "ScreenGlobals.h"
#include "XErrorHandler.h"

XTestInjector::XTestInjector() {
    installXErrorHandler();
}

unsigned XTestInjector::keysymToKeycode(int keysym) {
    return XKeysymToKeycode(d, static_cast<KeySym>(keysym));
}

int XTestInjector::fakeKey(unsigned keycode, bool down) {
    return XTestFakeKeyEvent(d, keycode, down ? True : False, CurrentTime);
}

int XTestInjector::fakeButton(unsigned button, bool press) {
    return XTestFakeButtonEvent(d, button, press ? True : False, CurrentTime);
}

void XTestInjector::warpPointer(int x, int y) {
    XWarpPointer(d, None, w, 0, 0, 0, 0, x, y);
}

void XTestInjector::flush() {
    XFlush(d);
}
