// The X server as the tests see it: the shared connection `d` for injection, and a second client
// that reads the pointer and keyboard state back.
#pragma once

#include <X11/Xlib.h>

namespace xreadback {

// Opens `d` and `w` once per process (like the display probe does at start-up); false without an
// X display.
bool openSharedDisplay();

// A separate client connection, opened once per process.
Display* observer();

struct Pointer {
    int x = -1;
    int y = -1;
    unsigned mask = 0;
};
Pointer pointer();

bool keyDown(KeySym keysym);
// True when no key at all is down.
bool noKeyDown();

}  // namespace xreadback
