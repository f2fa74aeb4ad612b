#include "XTestInjector.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "XErrorHandler.h"

XTestInjector::XTestInjector(_XDisplay* display, unsigned long root)
    : display(display), root(root) {
    installXErrorHandler();
}

unsigned XTestInjector::keysymToKeycode(int keysym) {
    return XKeysymToKeycode(display, static_cast<KeySym>(keysym));
}

int XTestInjector::fakeKey(unsigned keycode, bool down) {
    return XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
}

int XTestInjector::fakeButton(unsigned button, bool press) {
    return XTestFakeButtonEvent(display, button, press ? True : False, CurrentTime);
}

void XTestInjector::warpPointer(int x, int y) {
    XWarpPointer(display, None, root, 0, 0, 0, 0, x, y);
}

void XTestInjector::flush() {
    XFlush(display);
}
