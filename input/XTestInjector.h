// Injects input into the X server through XTest, and reads and briefly changes its keyboard
// through XKB.
#pragma once

#include "Injector.h"
#include "ScreenGlobals.h"

struct xkb_context;

class XTestInjector : public Injector {
public:
    // Installs the logging X error handler (once per process). The display stays open while
    // the injector is used.
    explicit XTestInjector(_XDisplay* display = d, unsigned long root = w);
    ~XTestInjector() override;
    XTestInjector(const XTestInjector&) = delete;
    XTestInjector& operator=(const XTestInjector&) = delete;

    xkb_keymap* keymap() override;
    KeyboardState keyboardState() override;
    void lockGroup(uint32_t group) override;
    void lockModifiers(uint32_t affect, uint32_t values) override;
    void bindKeysym(uint32_t keycode, uint32_t keysym) override;
    bool setAutoRepeat(uint32_t keycode, bool on) override;
    int fakeKey(unsigned keycode, bool down) override;
    int fakeButton(unsigned button, bool press) override;
    void warpPointer(int x, int y) override;
    void flush() override;

private:
    _XDisplay* display;
    unsigned long root;
    xkb_context* context = nullptr;
    xkb_keymap* map = nullptr;
    int keyboardId = -1;  // the core keyboard's XKB device; -1 without XKB
    int xkbEventBase = -1;
    bool mapChanged = true;
};
