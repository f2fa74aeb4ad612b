// Turns input-event messages of the administrator into injection steps. No X calls of its own:
// everything reaches the display through the injector, so the decoding runs without one.
#pragma once

#include <QString>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "Injector.h"
#include "ScreenGlobals.h"

class QJsonObject;
struct KeyPlace;

class InputHandler {
public:
    // Pointer positions are relative to `screen`, the shared monitor, which outlives the handler.
    explicit InputHandler(Injector& injector, const ScreenSpecs* screen = &screenSpecs);

    // One WebSocket text frame. Bad input is logged and dropped; nothing here throws or exits.
    // A pointer move waits for the next event or endOfDrain: a run of moves becomes one.
    void handleMessage(const QString& text);
    // After the messages taken from the queue at once: the last move is made and all of it is
    // sent to the X server in one flush.
    void endOfDrain();
    // While no message comes: symbols lent to spare keycodes are taken back after a pause, when
    // applications have read the keys typed with them.
    void idle();

    // Releases every key and button that an event pressed and no event released yet, and takes
    // back every lent keycode.
    void releaseAll();

    bool anythingPressed() const {
        return !heldKeys.empty() || !pressedButtons.empty() || !spareKeys.empty();
    }

    // The message as it may be logged: in every "keyboardEvent" object all members but "down"
    // read "*", and "keyCode" and "key" are always there.
    static QByteArray maskedForLog(const QJsonObject& message);

private:
    struct HeldKey {
        uint32_t keycode;
        uint32_t keysym;
        bool autoRepeat;  // the X server's setting for the key before it was held
        bool modifier;
    };

    void keyboardEvent(const QJsonObject& message);
    void mouseEvent(const QJsonObject& event);
    void wheelEvent(const QJsonObject& event);
    void shortcutEvent(const QJsonObject& event);

    void typeCharacter(const QString& id, uint32_t keysym);
    void keyDown(const QString& id, uint32_t keysym);
    void hold(const QString& id, const KeyPlace& place, uint32_t keysym, const KeyboardState& state,
              uint32_t mods, uint32_t changeable);
    void keyUp(const QString& id);
    void pressAt(const KeyPlace& place, const KeyboardState& state, uint32_t modsToSet,
                 uint32_t changeable);
    bool shortcutModifierHeld() const;
    std::optional<KeyPlace> lendSpareKey(uint32_t keysym, const KeyboardState& state);
    void returnSpareKeys();

    void mouseClick(unsigned button, bool press);
    void mouseWheel(unsigned button, int notches);
    void shortcutPress(const std::vector<int>& keysyms);
    void movePointer();

    int sendButton(unsigned button, bool press);

    Injector& injector;
    const ScreenSpecs* screen;
    std::map<QString, HeldKey> heldKeys;  // by the browser's "code", else its key code
    std::set<unsigned> pressedButtons;
    std::map<uint32_t, uint32_t> spareKeys;  // keysym -> the spare keycode lent to it
    std::chrono::steady_clock::time_point spareUsed;
    std::optional<std::pair<int, int>> pendingMove;
    int wheelRest[2] = {0, 0};  // pixels short of a notch, vertical and horizontal
};
