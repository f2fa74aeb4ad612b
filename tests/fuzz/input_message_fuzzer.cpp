// libFuzzer target for the input message handler. One input is a sequence of messages, one per
// line, handled as the input thread would; then the channel "closes" and everything held is
// released. Beyond the sanitizers it checks that no invalid key or button is ever sent and that
// nothing is left pressed after the release.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

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

// Replays the recorded steps and returns what is still held at the end.
size_t heldAfter(const std::vector<std::string>& steps) {
    std::set<std::string> held;
    for (const std::string& step : steps) {
        char kind[16] = {0};
        char what[32] = {0};
        char action[16] = {0};
        if (step == "flush" || step.rfind("warp ", 0) == 0) {
            continue;
        }
        if (std::sscanf(step.c_str(), "%15s %31s %15s", kind, what, action) != 3) {
            fail("unexpected step: " + step);
        }
        const std::string id = std::string(kind) + " " + what;
        if (id == "key 0x0" || id == "button 0") {
            fail("invalid event sent: " + step);
        }
        const std::string a = action;
        if (a == "down" || a == "press") {
            held.insert(id);
        } else {
            held.erase(id);
        }
    }
    return held.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    deinit_logger_cli();
    logger_config cfg{};
    cfg.file_name = "/dev/null";
    cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
    cfg.max_file_size = 10485760;
    cfg.rotate_count = 3;
    cfg.cli_mode = 1;
    cfg.echo_stdout = 0;
    init_logger_cli(&cfg);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));
    // The first byte places the primary monitor, so offsets near the coordinate limits are tried.
    screenSpecs.x = size > 0 ? (static_cast<int8_t>(data[0]) * 1000) : 0;
    screenSpecs.y = size > 1 ? (static_cast<int8_t>(data[1]) * 1000) : 0;

    RecordingInjector injector;
    if (size > 2 && (data[2] & 1) != 0) {
        injector.unmappedKeysyms = {0x41, 0xffe9, 0xff08};
    }
    if (size > 2 && (data[2] & 2) != 0) {
        injector.keyResult = 0;
        injector.buttonResult = 0;
    }
    InputHandler handler(injector);
    for (const QByteArray& line : input.split('\n')) {
        handler.handleMessage(QString::fromUtf8(line));
    }
    handler.releaseAll();
    if (handler.anythingPressed()) {
        fail("handler still holds keys after releaseAll");
    }
    if (heldAfter(injector.steps) != 0) {
        fail("a key or button was left pressed");
    }
    return 0;
}
