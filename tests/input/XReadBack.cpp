#include "XReadBack.h"

#include "ScreenGlobals.h"

namespace xreadback {

bool openSharedDisplay() {
    if (d == nullptr) {
        d = XOpenDisplay(nullptr);
        if (d != nullptr) {
            w = DefaultRootWindow(d);
        }
    }
    return d != nullptr;
}

Display* observer() {
    static Display* display = XOpenDisplay(nullptr);
    return display;
}

Pointer pointer() {
    Pointer p;
    Display* o = observer();
    Window root = 0;
    Window child = 0;
    int winX = 0;
    int winY = 0;
    XQueryPointer(o, DefaultRootWindow(o), &root, &child, &p.x, &p.y, &winX, &winY, &p.mask);
    return p;
}

bool keyDown(KeySym keysym) {
    char keys[32] = {0};
    Display* o = observer();
    XQueryKeymap(o, keys);
    const KeyCode code = XKeysymToKeycode(o, keysym);
    return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
}

bool noKeyDown() {
    char keys[32] = {0};
    XQueryKeymap(observer(), keys);
    for (const char byte : keys) {
        if (byte != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace xreadback
