// The few X input calls the input handler needs, so that decoding runs without a display.
#pragma once

#include <cstdint>

struct xkb_keymap;

// What the user's keyboard is doing now: the group in effect and the real modifiers.
struct KeyboardState {
    uint32_t group = 0;        // in effect (base + latched + locked)
    uint32_t lockedGroup = 0;  // what a group lock set
    uint32_t mods = 0;         // in effect: held, latched and locked
    uint32_t lockedMods = 0;
};

class Injector {
public:
    virtual ~Injector() = default;

    // The keyboard's keymap as it is now, owned by the injector and valid until the next call;
    // nullptr when it cannot be read.
    virtual xkb_keymap* keymap() = 0;
    virtual KeyboardState keyboardState() = 0;
    virtual void lockGroup(uint32_t group) = 0;
    // Sets the locked state of the modifiers in `affect` to their bits in `values`.
    virtual void lockModifiers(uint32_t affect, uint32_t values) = 0;
    // Gives the keycode the keysym on every level and group; keysym 0 takes it away again.
    virtual void bindKeysym(uint32_t keycode, uint32_t keysym) = 0;
    // The X server's own auto-repeat for one key; returns whether it was on.
    virtual bool setAutoRepeat(uint32_t keycode, bool on) = 0;

    // Results as XTest reports them: 1 when the event was sent.
    virtual int fakeKey(unsigned keycode, bool down) = 0;
    virtual int fakeButton(unsigned button, bool press) = 0;
    // Root-window coordinates.
    virtual void warpPointer(int x, int y) = 0;
    virtual void flush() = 0;
};
