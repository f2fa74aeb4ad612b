// An injector that writes down what it is asked to do, for tests and fuzzing. Its keyboard is a
// keymap compiled from layout names, with the group and locks that the calls set.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "Injector.h"

struct xkb_context;

class RecordingInjector : public Injector {
public:
    explicit RecordingInjector(const char* layouts = "us,ru");
    ~RecordingInjector() override;
    RecordingInjector(const RecordingInjector&) = delete;
    RecordingInjector& operator=(const RecordingInjector&) = delete;

    xkb_keymap* keymap() override { return map; }
    KeyboardState keyboardState() override;
    void lockGroup(uint32_t group) override;
    void lockModifiers(uint32_t affect, uint32_t values) override;
    void bindKeysym(uint32_t keycode, uint32_t keysym) override;
    bool setAutoRepeat(uint32_t keycode, bool on) override;
    int fakeKey(unsigned keycode, bool down) override;
    int fakeButton(unsigned button, bool press) override;
    void warpPointer(int x, int y) override;
    void flush() override;

    // Steps as text, keys by their XKB names: "key AC01 down", "key LFSH up", "group 1",
    // "lock 0x2 0x0", "bind 255 EuroSign", "unbind 255", "repeat AC01 off", "button 3 press",
    // "warp 1930 20", "flush".
    std::vector<std::string> steps;

    int keyResult = 1;
    int buttonResult = 1;
    KeyboardState state;

private:
    std::string keyName(unsigned keycode) const;

    xkb_context* context;
    xkb_keymap* map;
    std::multiset<unsigned> down;
};
