#include "InputHandler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <algorithm>

#include "KeyMaps.h"
#include "ScreenGlobals.h"
#include "logger.h"

namespace {

// The X protocol carries pointer coordinates as 16-bit values; beyond them Xlib would wrap.
constexpr long long kMinCoordinate = -32768;
constexpr long long kMaxCoordinate = 32767;

const QString kKeyboardEvent = QStringLiteral("keyboardEvent");
const QString kMouseEvent = QStringLiteral("mouseEvent");
const QString kWheelEvent = QStringLiteral("wheelEvent");
const QString kShortcutEvent = QStringLiteral("shortcutEvent");
const QString kMask = QStringLiteral("*");

QJsonValue masked(const QJsonValue& value);

QJsonObject maskedObject(const QJsonObject& object) {
    QJsonObject copy;
    for (auto it = object.begin(); it != object.end(); ++it) {
        copy.insert(it.key(), masked(it.value()));
    }
    const auto keyboard = copy.find(kKeyboardEvent);
    if (keyboard != copy.end()) {
        const QJsonObject event = keyboard.value().toObject();
        QJsonObject hidden;
        for (auto it = event.begin(); it != event.end(); ++it) {
            const bool plainDown = it.key() == QLatin1String("down") && it.value().isBool();
            hidden.insert(it.key(), plainDown ? it.value() : QJsonValue(kMask));
        }
        hidden.insert(QStringLiteral("keyCode"), kMask);
        hidden.insert(QStringLiteral("key"), kMask);
        keyboard.value() = hidden;
    }
    return copy;
}

QJsonValue masked(const QJsonValue& value) {
    if (value.isObject()) {
        return maskedObject(value.toObject());
    }
    if (value.isArray()) {
        QJsonArray copy;
        for (const QJsonValue& item : value.toArray()) {
            copy.append(masked(item));
        }
        return copy;
    }
    return value;
}

}  // namespace

InputHandler::InputHandler(Injector& injector, const ScreenSpecs* screen)
    : injector(injector), screen(screen) {}

QByteArray InputHandler::maskedForLog(const QJsonObject& message) {
    return QJsonDocument(maskedObject(message)).toJson(QJsonDocument::Compact);
}

void InputHandler::handleMessage(const QString& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        cli_log(LL_WARNING, "Error parsing json: %s at pos %i\n",
                qUtf8Printable(error.errorString()), error.offset);
        return;
    }
    if (!document.isObject()) {
        // An array may hold keyboard events too: it is logged masked.
        const QByteArray shown =
            QJsonDocument(masked(document.array()).toArray()).toJson(QJsonDocument::Compact);
        cli_log(LL_ERROR, "Unknown json message '%s', ignoring", shown.constData());
        return;
    }
    const QJsonObject message = document.object();
    if (message.contains(kKeyboardEvent)) {
        keyboardEvent(message);
        return;
    }
    cli_log(LL_DEBUG, "Received text data from input channel: %s\n", qUtf8Printable(text));
    if (message.contains(kMouseEvent)) {
        mouseEvent(message.value(kMouseEvent).toObject());
    } else if (message.contains(kWheelEvent)) {
        wheelEvent(message.value(kWheelEvent).toObject());
    } else if (message.contains(kShortcutEvent)) {
        shortcutEvent(message.value(kShortcutEvent).toObject());
    } else {
        cli_log(LL_WARNING, "Unknown json message. Skipping\n");
    }
}

void InputHandler::keyboardEvent(const QJsonObject& message) {
    const QJsonObject event = message.value(kKeyboardEvent).toObject();
    const int keyCode = event.value(QLatin1String("keyCode")).toInt();
    const bool down = event.value(QLatin1String("down")).toBool();
    keyboardPress(keysymForKeyCode(keyCode), down);
    cli_log(LL_DEBUG, "Received text data from input channel: %s\n",
            maskedForLog(message).constData());
}

void InputHandler::mouseEvent(const QJsonObject& event) {
    const QString type = event.value(QLatin1String("type")).toString();
    if (type == QLatin1String("mousemove")) {
        warpPointer(event.value(QLatin1String("x")).toInt(),
                    event.value(QLatin1String("y")).toInt());
        return;
    }
    const QJsonObject buttons = event.value(QLatin1String("buttons")).toObject();
    unsigned button = 0;
    if (buttons.value(QLatin1String("right")).toBool()) {
        button = 3;
    } else if (buttons.value(QLatin1String("middle")).toBool()) {
        button = 2;
    } else if (buttons.value(QLatin1String("left")).toBool()) {
        button = 1;
    }
    mouseClick(button, type == QLatin1String("mousedown"));
}

void InputHandler::wheelEvent(const QJsonObject& event) {
    mouseWheel(event.value(QLatin1String("up")).toInt() < 0 ? 4 : 5);
}

void InputHandler::shortcutEvent(const QJsonObject& event) {
    const QByteArray name = event.value(QLatin1String("key")).toString().toUtf8();
    const auto it = shortcut_map.find(std::string(name.constData(), size_t(name.size())));
    if (it == shortcut_map.end()) {
        cli_log(LL_ERROR, "%s: unrecognized shortcut '%s'\n", "shortcutPress", name.constData());
        return;
    }
    shortcutPress(it->second);
}

void InputHandler::keyboardPress(int keysym, bool down) {
    const unsigned keycode = injector.keysymToKeycode(keysym);
    if (keycode == 0) {
        // The key itself stays out of the log.
        cli_log(LL_WARNING, "%s: no key on this keyboard for the key code, event dropped\n",
                "keyboardPress");
        return;
    }
    const int res = sendKey(keycode, down);
    injector.flush();
    if (res != 1) {
        cli_log(LL_ERROR, "%s: error sending key %s res = %d\n", "keyboardPress", "*", res);
    }
}

void InputHandler::mouseClick(unsigned button, bool press) {
    if (button == 0) {
        cli_log(LL_WARNING, "%s: no button set in the event, event dropped\n", "mouseClick");
        return;
    }
    const int res = sendButton(button, press);
    if (res != 1) {
        cli_log(LL_ERROR, "%s: error sending mouse click %d res = %d\n", "mouseClick", button, res);
    }
    injector.flush();
}

void InputHandler::mouseWheel(unsigned button) {
    const int pressed = sendButton(button, true);
    const int released = sendButton(button, false);
    if (pressed != 1 || released != 1) {
        cli_log(LL_ERROR, "%s: error sending mouse wheel res = %d\n", "mouseWheel", pressed);
    }
    injector.flush();
}

void InputHandler::shortcutPress(const std::vector<int>& keysyms) {
    for (const bool down : {true, false}) {
        for (const int keysym : keysyms) {
            const unsigned keycode = injector.keysymToKeycode(keysym);
            if (keycode == 0) {
                cli_log(LL_WARNING, "%s: no key on this keyboard for keysym 0x%x, skipped\n",
                        "shortcutPress", keysym);
                continue;
            }
            const int res = sendKey(keycode, down);
            if (res != 1) {
                cli_log(LL_ERROR, "%s: error sending shortcut res = %d\n", "shortcutPress", res);
            }
        }
        injector.flush();
    }
}

void InputHandler::warpPointer(int x, int y) {
    const long long rootX =
        std::clamp(static_cast<long long>(x) + screen->x, kMinCoordinate, kMaxCoordinate);
    const long long rootY =
        std::clamp(static_cast<long long>(y) + screen->y, kMinCoordinate, kMaxCoordinate);
    injector.warpPointer(static_cast<int>(rootX), static_cast<int>(rootY));
    injector.flush();
}

int InputHandler::sendKey(unsigned keycode, bool down) {
    if (down) {
        pressedKeys.insert(keycode);
    } else {
        pressedKeys.erase(keycode);
    }
    return injector.fakeKey(keycode, down);
}

int InputHandler::sendButton(unsigned button, bool press) {
    if (press) {
        pressedButtons.insert(button);
    } else {
        pressedButtons.erase(button);
    }
    return injector.fakeButton(button, press);
}

void InputHandler::releaseAll() {
    if (!anythingPressed()) {
        return;
    }
    const size_t keys = pressedKeys.size();
    const size_t buttons = pressedButtons.size();
    for (const unsigned keycode : std::set<unsigned>(pressedKeys)) {
        sendKey(keycode, false);
    }
    for (const unsigned button : std::set<unsigned>(pressedButtons)) {
        sendButton(button, false);
    }
    injector.flush();
    cli_log(LL_INFO, "Released %zu keys and %zu buttons still held by the administrator\n", keys,
            buttons);
}
