// libFuzzer target for the input message handler: one message per line, handled as the input
// thread would, then everything held is released as when the channel closes. Beyond the
// sanitizers: no invalid key, button or pointer position is sent, and nothing is left pressed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <QByteArray>
#include <QList>
#include <QString>

#include "InputHandler.h"
#include "RecordingInjector.h"
#include "ScreenGlobals.h"
#include "logger.h"

namespace {

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "input fuzzer: %s\n", why.c_str());
    std::abort();
}

// Replays the steps ("key AC01 down", "warp 10 20", "bind 255 EuroSign"...) and returns how
// many keys and buttons stay held, keycodes stay lent, or keys stay without auto-repeat.
size_t heldAfter(const std::vector<std::string>& steps) {
    std::set<std::string> held;
    for (const std::string& step : steps) {
        const std::string id = step.substr(0, step.rfind(' '));
        const std::string action = step.substr(step.rfind(' ') + 1);  // "flush": the whole step
        int x, y;
        unsigned keycode;
        const bool offScreen = std::sscanf(step.c_str(), "warp %d %d", &x, &y) == 2 &&
                               (int16_t(x) != x || int16_t(y) != y);  // beyond X's 16 bits
        if (offScreen || id == "key 0" || id == "button 0") {
            fail("invalid event sent: " + step);
        }
        if (action == "down" || action == "press" || action == "off") {
            held.insert(id);
        } else if (action == "up" || action == "release" || action == "on") {
            held.erase(id);
        } else if (std::sscanf(step.c_str(), "bind %u", &keycode) == 1) {
            held.insert("lent " + std::to_string(keycode));
        } else if (std::sscanf(step.c_str(), "unbind %u", &keycode) == 1) {
            held.erase("lent " + std::to_string(keycode));
        }
    }
    return held.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every level to a file, so that logging each message runs too.
    logger_config cfg{};
    cfg.file_name = "/dev/null";
    cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
    return init_logger_cli(&cfg);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first bytes place the primary monitor, so offsets near the coordinate limits are tried,
    // and choose the user's layouts and a failing injector.
    screenSpecs.x = size > 0 ? static_cast<int8_t>(data[0]) * 1000 : 0;
    screenSpecs.y = size > 1 ? static_cast<int8_t>(data[1]) * 1000 : 0;
    const uint8_t flags = size > 2 ? data[2] : 0;
    static RecordingInjector usRu("us,ru");
    static RecordingInjector usOnly("us");
    RecordingInjector& injector = (flags & 1) ? usOnly : usRu;
    injector.steps.clear();
    injector.state = KeyboardState{};
    injector.keyResult = injector.buttonResult = (flags & 2) ? 0 : 1;
    InputHandler handler(injector);
    for (const QByteArray& line :
         QByteArray(reinterpret_cast<const char*>(data), int(size)).split('\n')) {
        handler.handleMessage(QString::fromUtf8(line));
        if (line.isEmpty()) {
            handler.endOfDrain();
        }
    }
    handler.endOfDrain();
    handler.releaseAll();
    if (handler.anythingPressed() || heldAfter(injector.steps) != 0) {
        fail("a key or button is still held after releaseAll");
    }
    return 0;
}
