// Injects input into the X server through XTest, on the shared display connection `d`.
#pragma once

#include "Injector.h"

class XTestInjector : public Injector {
public:
    // Installs the logging X error handler (once per process).
    XTestInjector();

    unsigned keysymToKeycode(int keysym) override;
    int fakeKey(unsigned keycode, bool down) override;
    int fakeButton(unsigned button, bool press) override;
    void warpPointer(int x, int y) override;
    void flush() override;
};
