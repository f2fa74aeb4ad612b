// Injects input into the X server through XTest.
#pragma once

#include "Injector.h"
#include "ScreenGlobals.h"

class XTestInjector : public Injector {
public:
    // Installs the logging X error handler (once per process). The display stays open while
    // the injector is used.
    explicit XTestInjector(_XDisplay* display = d, unsigned long root = w);

    unsigned keysymToKeycode(int keysym) override;
    int fakeKey(unsigned keycode, bool down) override;
    int fakeButton(unsigned button, bool press) override;
    void warpPointer(int x, int y) override;
    void flush() override;

private:
    _XDisplay* display;
    unsigned long root;
};
