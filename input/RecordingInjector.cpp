#include "RecordingInjector.h"

#include <cstdio>

unsigned RecordingInjector::keysymToKeycode(int keysym) {
    if (keysym <= 0 || unmappedKeysyms.count(keysym) != 0) {
        return 0;
    }
    return static_cast<unsigned>(keysym);
}

int RecordingInjector::fakeKey(unsigned keycode, bool down) {
    char text[48];
    std::snprintf(text, sizeof(text), "key 0x%x %s", keycode, down ? "down" : "up");
    steps.emplace_back(text);
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
