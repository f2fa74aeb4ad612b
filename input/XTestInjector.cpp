#include "XTestInjector.h"

#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <xkbcommon/xkbcommon-x11.h>

#include "XErrorHandler.h"
#include "logger.h"

namespace {
constexpr unsigned long kMapEvents = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
}

XTestInjector::XTestInjector(_XDisplay* display, unsigned long root)
    : display(display), root(root) {
    installXErrorHandler();
    if (display == nullptr) {
        return;
    }
    int opcode = 0, errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    xcb_connection_t* connection = XGetXCBConnection(display);
    if (!XkbQueryExtension(display, &opcode, &xkbEventBase, &errorBase, &major, &minor) ||
        !xkb_x11_setup_xkb_extension(
            connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
            XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
        cli_log(LL_ERROR, "No XKB on the display: typed characters are dropped\n");
        return;
    }
    keyboardId = xkb_x11_get_core_keyboard_device_id(connection);
    context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    // Told when the user's keymap changes, so the copy here is read again only then.
    XkbSelectEvents(display, XkbUseCoreKbd, kMapEvents, kMapEvents);
}

XTestInjector::~XTestInjector() {
    if (keyboardId >= 0) {
        XkbSelectEvents(display, XkbUseCoreKbd, kMapEvents, 0);
    }
    xkb_keymap_unref(map);
    xkb_context_unref(context);
}

xkb_keymap* XTestInjector::keymap() {
    if (keyboardId < 0 || context == nullptr) {
        return nullptr;
    }
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        mapChanged = mapChanged || event.type == xkbEventBase || event.type == MappingNotify;
    }
    if (mapChanged || map == nullptr) {
        xkb_keymap_unref(map);
        map = xkb_x11_keymap_new_from_device(context, XGetXCBConnection(display), keyboardId,
                                             XKB_KEYMAP_COMPILE_NO_FLAGS);
        mapChanged = false;
    }
    return map;
}

KeyboardState XTestInjector::keyboardState() {
    XkbStateRec state{};
    if (keyboardId < 0 || XkbGetState(display, XkbUseCoreKbd, &state) != Success) {
        return {};
    }
    return {state.group, state.locked_group, state.mods, state.locked_mods};
}

void XTestInjector::lockGroup(uint32_t group) {
    XkbLockGroup(display, XkbUseCoreKbd, group);
}

void XTestInjector::lockModifiers(uint32_t affect, uint32_t values) {
    XkbLockModifiers(display, XkbUseCoreKbd, affect, values);
}

void XTestInjector::bindKeysym(uint32_t keycode, uint32_t keysym) {
    // The same symbol twice: a two-level key, so that no case pair is made up for it.
    KeySym symbols[2] = {keysym, keysym};
    XChangeKeyboardMapping(display, int(keycode), keysym != 0 ? 2 : 1, symbols, 1);
    mapChanged = true;
}

bool XTestInjector::setAutoRepeat(uint32_t keycode, bool on) {
    XKeyboardState state{};
    XGetKeyboardControl(display, &state);
    XKeyboardControl control{};
    control.key = int(keycode);
    control.auto_repeat_mode = on ? AutoRepeatModeOn : AutoRepeatModeOff;
    XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &control);
    return keycode < 256 && (state.auto_repeats[keycode / 8] & (1 << (keycode % 8))) != 0;
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
