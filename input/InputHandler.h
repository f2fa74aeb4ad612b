// Turns one input-event message of the administrator into injection steps. No X calls of its own:
// everything reaches the display through the injector, so the decoding runs without one.
#pragma once

#include <QString>
#include <set>
#include <vector>

#include "Injector.h"
#include "ScreenGlobals.h"

class QJsonObject;

class InputHandler {
public:
    // Pointer positions are relative to `screen`, the shared monitor, which outlives the handler.
    explicit InputHandler(Injector& injector, const ScreenSpecs* screen = &screenSpecs);

    // One WebSocket text frame. Bad input is logged and dropped; nothing here throws or exits.
    void handleMessage(const QString& text);

    // Releases every key and button that an event pressed and no event released yet.
    void releaseAll();

    bool anythingPressed() const { return !pressedKeys.empty() || !pressedButtons.empty(); }

    // The message as it may be logged: in every "keyboardEvent" object all members but "down"
    // read "*", and "keyCode" and "key" are always there.
    static QByteArray maskedForLog(const QJsonObject& message);

private:
    void keyboardEvent(const QJsonObject& message);
    void mouseEvent(const QJsonObject& event);
    void wheelEvent(const QJsonObject& event);
    void shortcutEvent(const QJsonObject& event);

    void keyboardPress(int keysym, bool down);
    void mouseClick(unsigned button, bool press);
    void mouseWheel(unsigned button);
    void shortcutPress(const std::vector<int>& keysyms);
    void warpPointer(int x, int y);

    int sendKey(unsigned keycode, bool down);
    int sendButton(unsigned button, bool press);

    Injector& injector;
    const ScreenSpecs* screen;
    std::set<unsigned> pressedKeys;
    std::set<unsigned> pressedButtons;
};
