#include "RecordingInjector.h"

#include <xkbcommon/xkbcommon.h>

#include <cstdio>

#include "KeyLookup.h"

RecordingInjector::RecordingInjector(const char* layouts)
    : context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES)) {
    const xkb_rule_names names{"evdev", "pc105", layouts, "", ""};
    map = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
}

RecordingInjector::~RecordingInjector() {
    xkb_keymap_unref(map);
    xkb_context_unref(context);
}

KeyboardState RecordingInjector::keyboardState() {
    KeyboardState now = state;
    for (const unsigned keycode : down) {
        now.mods |= modsOfKey(map, keycode);
    }
    now.mods |= now.lockedMods;
    return now;
}

void RecordingInjector::lockGroup(uint32_t group) {
    state.group = state.lockedGroup = group;
    steps.push_back("group " + std::to_string(group));
}

void RecordingInjector::lockModifiers(uint32_t affect, uint32_t values) {
    state.lockedMods = (state.lockedMods & ~affect) | (values & affect);
    char text[40];
    std::snprintf(text, sizeof(text), "lock 0x%x 0x%x", affect, values);
    steps.emplace_back(text);
}

void RecordingInjector::bindKeysym(uint32_t keycode, uint32_t keysym) {
    char name[64] = "";
    xkb_keysym_get_name(keysym, name, sizeof(name));
    steps.push_back((keysym != 0 ? "bind " : "unbind ") + std::to_string(keycode) +
                    (keysym != 0 ? std::string(" ") + name : ""));
}

bool RecordingInjector::setAutoRepeat(uint32_t keycode, bool on) {
    steps.push_back("repeat " + keyName(keycode) + (on ? " on" : " off"));
    return true;
}

int RecordingInjector::fakeKey(unsigned keycode, bool isDown) {
    if (isDown) {
        down.insert(keycode);
    } else if (down.count(keycode) != 0) {
        down.erase(down.find(keycode));
    }
    steps.push_back("key " + keyName(keycode) + (isDown ? " down" : " up"));
    return keyResult;
}

int RecordingInjector::fakeButton(unsigned button, bool press) {
    steps.push_back("button " + std::to_string(button) + (press ? " press" : " release"));
    return buttonResult;
}

void RecordingInjector::warpPointer(int x, int y) {
    steps.push_back("warp " + std::to_string(x) + " " + std::to_string(y));
}

void RecordingInjector::flush() {
    steps.emplace_back("flush");
}

std::string RecordingInjector::keyName(unsigned keycode) const {
    const char* name = map != nullptr ? xkb_keymap_key_get_name(map, keycode) : nullptr;
    return name != nullptr ? name : std::to_string(keycode);
}
