// The few X input calls the input handler needs, so that decoding runs without a display.
#pragma once

class Injector {
public:
    virtual ~Injector() = default;

    // The key code that produces the keysym; 0 when no key of the keyboard does.
    virtual unsigned keysymToKeycode(int keysym) = 0;
    // Results as XTest reports them: 1 when the event was sent.
    virtual int fakeKey(unsigned keycode, bool down) = 0;
    virtual int fakeButton(unsigned button, bool press) = 0;
    // Root-window coordinates.
    virtual void warpPointer(int x, int y) = 0;
    virtual void flush() = 0;
};
