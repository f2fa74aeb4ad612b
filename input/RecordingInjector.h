// An injector that writes down what it is asked to do, for tests and fuzzing.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "Injector.h"

class RecordingInjector : public Injector {
public:
    // Keysyms double as key codes, except those listed in `unmappedKeysyms`.
    unsigned keysymToKeycode(int keysym) override;
    int fakeKey(unsigned keycode, bool down) override;
    int fakeButton(unsigned button, bool press) override;
    void warpPointer(int x, int y) override;
    void flush() override;

    // Steps as text: "key 0xffbe down", "key 0x41 up", "button 3 press", "button 3 release",
    // "warp 1930 20", "flush".
    std::vector<std::string> steps;

    std::set<int> unmappedKeysyms;
    int keyResult = 1;
    int buttonResult = 1;
};
