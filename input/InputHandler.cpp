#include "InputHandler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <algorithm>

#include "KeyLookup.h"
#include "KeyMaps.h"
#include "ScreenGlobals.h"
#include "logger.h"

// Keysyms only, no Xlib: its macros break the Qt headers above.
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

namespace {

// The X protocol carries pointer coordinates as 16-bit values; beyond them Xlib would wrap.
constexpr long long kMinCoordinate = -32768;
constexpr long long kMaxCoordinate = 32767;

const QString kKeyboardEvent = QStringLiteral("keyboardEvent");
const QString kMouseEvent = QStringLiteral("mouseEvent");
const QString kWheelEvent = QStringLiteral("wheelEvent");
const QString kShortcutEvent = QStringLiteral("shortcutEvent");
const QString kMask = QStringLiteral("*");

// One notch of a mouse wheel in a browser; a touchpad sends fractions of it.
constexpr int kPixelsPerNotch = 100;
constexpr int kMaxNotches = 50;
// How long a lent keycode keeps its symbol after the last use: applications read the keymap
// when they handle the key, which may be after the agent sent it.
constexpr auto kSpareKeyPause = std::chrono::seconds(1);
constexpr size_t kMaxSpareKeys = 16;

bool isLockKey(uint32_t keysym) {
    return keysym == XK_Caps_Lock || keysym == XK_Num_Lock || keysym == XK_Shift_Lock ||
           keysym == XK_Scroll_Lock;
}

bool isKeypadKey(uint32_t keysym) {
    return keysym >= XK_KP_Space && keysym <= XK_KP_Equal;
}

// The keysym of a "key" that is one printable character; 0 for names ("Enter", "Dead"...).
uint32_t characterKeysym(const QString& key) {
    const QVector<uint> chars = key.toUcs4();
    if (chars.size() != 1 || chars[0] < 0x20 || (chars[0] >= 0x7f && chars[0] < 0xa0)) {
        return 0;
    }
    return xkb_utf32_to_keysym(chars[0]);
}

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
    const QJsonObject mouse = message.value(kMouseEvent).toObject();
    const bool move = !message.contains(kKeyboardEvent) && message.contains(kMouseEvent) &&
                      mouse.value(QLatin1String("type")).toString() == QLatin1String("mousemove");
    if (!move) {
        movePointer();  // what came before this event happens before it
    }
    if (message.contains(kKeyboardEvent)) {
        keyboardEvent(message);
        return;
    }
    cli_log(LL_DEBUG, "Received text data from input channel: %s\n", qUtf8Printable(text));
    if (move) {
        pendingMove = std::make_pair(mouse.value(QLatin1String("x")).toInt(),
                                     mouse.value(QLatin1String("y")).toInt());
    } else if (message.contains(kMouseEvent)) {
        mouseEvent(mouse);
    } else if (message.contains(kWheelEvent)) {
        wheelEvent(message.value(kWheelEvent).toObject());
    } else if (message.contains(kShortcutEvent)) {
        shortcutEvent(message.value(kShortcutEvent).toObject());
    } else {
        cli_log(LL_WARNING, "Unknown json message. Skipping\n");
    }
}

void InputHandler::endOfDrain() {
    movePointer();
    injector.flush();
}

// A keyboard event: "keyCode", the browser's key code, and "down". Optional: "key", what the
// key types or its name (KeyboardEvent.key), and "code", the physical key (KeyboardEvent.code).
// A "key" that is one printable character is typed as that character whatever the user's layout,
// unless Ctrl, Alt or Super is held; everything else goes by key.
void InputHandler::keyboardEvent(const QJsonObject& message) {
    const QJsonObject event = message.value(kKeyboardEvent).toObject();
    const int keyCode = event.value(QLatin1String("keyCode")).toInt();
    const bool down = event.value(QLatin1String("down")).toBool();
    const QString key = event.value(QLatin1String("key")).toString();
    const QString code = event.value(QLatin1String("code")).toString();
    cli_log(LL_DEBUG, "Received text data from input channel: %s\n",
            maskedForLog(message).constData());
    const QString id = code.isEmpty() ? QString::number(keyCode) : code;
    if (!down) {
        keyUp(id);
        return;
    }
    if (key == QLatin1String("Dead")) {
        return;  // the character it makes comes with the next key
    }
    const auto held = heldKeys.find(id);
    if (held != heldKeys.end()) {
        // The browser's own repeat: X makes one only from a release and a press.
        if (held->second.modifier) {
            return;
        }
        keyUp(id);
    }
    const uint32_t typed = characterKeysym(key);
    if (typed != 0 && !shortcutModifierHeld()) {
        typeCharacter(id, typed);
    } else {
        keyDown(id, uint32_t(keysymForKeyCode(keyCode, code, key)));
    }
}

bool InputHandler::shortcutModifierHeld() const {
    bool shortcut = false;
    for (const auto& [id, held] : heldKeys) {
        switch (held.keysym) {
            case XK_ISO_Level3_Shift:
                return false;  // AltGr, which some systems send as Ctrl+Alt
            case XK_Control_L:
            case XK_Control_R:
            case XK_Alt_L:
            case XK_Alt_R:
            case XK_Meta_L:
            case XK_Meta_R:
            case XK_Super_L:
            case XK_Super_R:
                shortcut = true;
                break;
            default:
                break;
        }
    }
    return shortcut;
}

void InputHandler::typeCharacter(const QString& id, uint32_t keysym) {
    const KeyboardState state = injector.keyboardState();
    std::optional<KeyPlace> place =
        findKey(injector.keymap(), keysym, state.group, KeyOrder::ActiveGroupFirst);
    if (place && spareKeys.count(keysym) != 0) {
        spareUsed = std::chrono::steady_clock::now();
    }
    if (!place) {
        spareKeys.erase(keysym);  // a new keymap took it
        place = lendSpareKey(keysym, state);
    }
    if (!place) {
        cli_log(LL_WARNING, "%s: no key for the typed character, dropped\n", "keyboardPress");
        return;
    }
    // Exactly the level's modifiers: Caps Lock off, nothing of a shortcut.
    hold(id, *place, keysym, state, place->mods,
         place->relevant | kLockMask | kControlMask | kAltMask | kSuperMask);
}

std::optional<KeyPlace> InputHandler::lendSpareKey(uint32_t keysym, const KeyboardState& state) {
    if (spareKeys.size() >= kMaxSpareKeys) {
        returnSpareKeys();
    }
    std::set<uint32_t> lent;
    for (const auto& [sym, keycode] : spareKeys) {
        lent.insert(keycode);
    }
    const uint32_t keycode = spareKeycode(injector.keymap(), lent);
    if (keycode == 0) {
        return std::nullopt;
    }
    injector.bindKeysym(keycode, keysym);
    spareKeys[keysym] = keycode;
    spareUsed = std::chrono::steady_clock::now();
    // Bound as a two-level key: its level follows Shift only.
    return KeyPlace{keycode, state.group, 0, 0, 0, kShiftMask};
}

void InputHandler::returnSpareKeys() {
    for (const auto& [keysym, keycode] : spareKeys) {
        injector.bindKeysym(keycode, 0);
    }
    spareKeys.clear();
}

void InputHandler::idle() {
    if (spareKeys.empty() || std::chrono::steady_clock::now() - spareUsed < kSpareKeyPause) {
        return;
    }
    for (const auto& [id, held] : heldKeys) {
        for (const auto& [keysym, keycode] : spareKeys) {
            if (held.keycode == keycode) {
                return;  // still down
            }
        }
    }
    returnSpareKeys();
    injector.flush();
}

void InputHandler::keyDown(const QString& id, uint32_t keysym) {
    if (keysym == 0) {
        cli_log(LL_WARNING, "%s: no key code in the event, dropped\n", "keyboardPress");
        return;
    }
    // The state first: its answer comes after any news of a changed keymap.
    const KeyboardState state = injector.keyboardState();
    xkb_keymap* const keymap = injector.keymap();
    std::optional<KeyPlace> place = findKey(keymap, keysym, state.group, KeyOrder::BaseLevelFirst);
    if (!place) {
        // The key itself stays out of the log.
        cli_log(LL_WARNING, "%s: no key on this keyboard for the key code, event dropped\n",
                "keyboardPress");
        return;
    }
    if (!shortcutModifierHeld()) {
        place->group = state.group;  // the key as the user's layout has it
    }
    // The keypad gives what the administrator's did, whatever the user's Num Lock.
    uint32_t mods = state.mods;
    uint32_t changeable = 0;
    if (isKeypadKey(keysym)) {
        const std::optional<KeyPlace> numLock =
            findKey(keymap, XK_Num_Lock, state.group, KeyOrder::BaseLevelFirst);
        const uint32_t numLockMod = numLock ? modsOfKey(keymap, numLock->keycode) : 0;
        if (const auto keeping = modsKeeping(keymap, *place, state.mods, numLockMod)) {
            mods = *keeping;
            changeable = numLockMod;
        }
    }
    hold(id, *place, keysym, state, mods, changeable);
}

void InputHandler::hold(const QString& id, const KeyPlace& place, uint32_t keysym,
                        const KeyboardState& state, uint32_t mods, uint32_t changeable) {
    const bool modifier = modsOfKey(injector.keymap(), place.keycode) != 0 || isLockKey(keysym);
    // Held keys repeat only by the browser's repeated key downs, never on a slow network.
    const bool autoRepeat = !modifier && injector.setAutoRepeat(place.keycode, false);
    heldKeys[id] = HeldKey{place.keycode, keysym, autoRepeat, modifier};
    pressAt(place, state, mods, changeable);
}

void InputHandler::keyUp(const QString& id) {
    const auto held = heldKeys.find(id);
    if (held == heldKeys.end()) {
        return;  // typed as a character, or never pressed
    }
    const HeldKey key = held->second;
    heldKeys.erase(held);
    for (auto& [other, still] : heldKeys) {
        if (still.keycode == key.keycode) {
            // Another key of the administrator's gave the same one: the last release counts.
            still.autoRepeat = still.autoRepeat || key.autoRepeat;
            return;
        }
    }
    const int res = injector.fakeKey(key.keycode, false);
    if (key.autoRepeat) {
        injector.setAutoRepeat(key.keycode, true);
    }
    if (res != 1) {
        cli_log(LL_ERROR, "%s: error sending key %s res = %d\n", "keyboardPress", "*", res);
    }
}

// Presses the key with the modifiers in `changeable` as in `modsToSet`, in the group of
// `place`; then the user's group and locks are put back while the key stays down.
void InputHandler::pressAt(const KeyPlace& place, const KeyboardState& state, uint32_t modsToSet,
                           uint32_t changeable) {
    xkb_keymap* const keymap = injector.keymap();
    const uint32_t unwanted = changeable & ~modsToSet;
    // Modifier keys the administrator holds are let go for the press; the user's are not.
    std::vector<uint32_t> lifted;
    for (const auto& [id, held] : heldKeys) {
        if (held.keycode != place.keycode && !isLockKey(held.keysym) &&
            (modsOfKey(keymap, held.keycode) & unwanted) != 0) {
            lifted.push_back(held.keycode);
        }
    }
    const uint32_t lockOn = changeable & modsToSet & ~state.mods;
    const uint32_t lockOff = unwanted & state.lockedMods;
    const uint32_t groups =
        keymap != nullptr ? std::max<uint32_t>(1, xkb_keymap_num_layouts(keymap)) : 1;
    const bool switchGroup = place.group != state.group;
    if (switchGroup) {
        injector.lockGroup((state.lockedGroup + place.group + groups - state.group % groups) %
                           groups);
    }
    if ((lockOn | lockOff) != 0) {
        injector.lockModifiers(lockOn | lockOff, lockOn);
    }
    for (const uint32_t keycode : lifted) {
        injector.fakeKey(keycode, false);
    }
    const int res = injector.fakeKey(place.keycode, true);
    for (const uint32_t keycode : lifted) {
        injector.fakeKey(keycode, true);
    }
    if ((lockOn | lockOff) != 0) {
        injector.lockModifiers(lockOn | lockOff, state.lockedMods);
    }
    if (switchGroup) {
        injector.lockGroup(state.lockedGroup);
    }
    if (res != 1) {
        cli_log(LL_ERROR, "%s: error sending key %s res = %d\n", "keyboardPress", "*", res);
    }
}

// "buttons" may also hold "back" and "forward" (X buttons 8 and 9).
void InputHandler::mouseEvent(const QJsonObject& event) {
    const QString type = event.value(QLatin1String("type")).toString();
    const QJsonObject buttons = event.value(QLatin1String("buttons")).toObject();
    const std::pair<const char*, unsigned> order[] = {
        {"right", 3}, {"middle", 2}, {"left", 1}, {"back", 8}, {"forward", 9}};
    unsigned button = 0;
    for (const auto& [name, number] : order) {
        if (buttons.value(QLatin1String(name)).toBool()) {
            button = number;
            break;
        }
    }
    mouseClick(button, type == QLatin1String("mousedown"));
}

// "up": one notch, up when negative. Optional "deltaY" and "deltaX": the distance scrolled in
// pixels (positive: down, right), in notches by their size; either one replaces "up".
void InputHandler::wheelEvent(const QJsonObject& event) {
    const QLatin1String axes[] = {QLatin1String("deltaY"), QLatin1String("deltaX")};
    if (!event.contains(axes[0]) && !event.contains(axes[1])) {
        mouseWheel(event.value(QLatin1String("up")).toInt() < 0 ? 4 : 5, 1);
        return;
    }
    for (int axis = 0; axis < 2; ++axis) {
        const double delta = event.value(axes[axis]).toDouble();
        const int pixels = int(std::clamp(delta, -1e6, 1e6));
        if ((pixels < 0) != (wheelRest[axis] < 0)) {
            wheelRest[axis] = 0;  // a turn back starts afresh
        }
        wheelRest[axis] += pixels;
        const int notches = wheelRest[axis] / kPixelsPerNotch;
        wheelRest[axis] -= notches * kPixelsPerNotch;
        if (notches != 0) {
            const unsigned button = axis == 0 ? (notches < 0 ? 4 : 5) : (notches < 0 ? 6 : 7);
            mouseWheel(button, std::min(std::abs(notches), kMaxNotches));
        }
    }
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

void InputHandler::mouseClick(unsigned button, bool press) {
    if (button == 0) {
        cli_log(LL_WARNING, "%s: no button set in the event, event dropped\n", "mouseClick");
        return;
    }
    const int res = sendButton(button, press);
    if (res != 1) {
        cli_log(LL_ERROR, "%s: error sending mouse click %d res = %d\n", "mouseClick", button, res);
    }
}

void InputHandler::mouseWheel(unsigned button, int notches) {
    for (int n = 0; n < notches; ++n) {
        const int pressed = sendButton(button, true);
        const int released = sendButton(button, false);
        if (pressed != 1 || released != 1) {
            cli_log(LL_ERROR, "%s: error sending mouse wheel res = %d\n", "mouseWheel", pressed);
            return;
        }
    }
}

void InputHandler::shortcutPress(const std::vector<int>& keysyms) {
    const uint32_t group = injector.keyboardState().group;
    xkb_keymap* const keymap = injector.keymap();
    for (const bool down : {true, false}) {
        for (const int keysym : keysyms) {
            const std::optional<KeyPlace> place =
                findKey(keymap, uint32_t(keysym), group, KeyOrder::BaseLevelFirst);
            if (!place) {
                cli_log(LL_WARNING, "%s: no key on this keyboard for keysym 0x%x, skipped\n",
                        "shortcutPress", keysym);
                continue;
            }
            const int res = injector.fakeKey(place->keycode, down);
            if (res != 1) {
                cli_log(LL_ERROR, "%s: error sending shortcut res = %d\n", "shortcutPress", res);
            }
        }
    }
}

void InputHandler::movePointer() {
    if (!pendingMove) {
        return;
    }
    const long long rootX = std::clamp(static_cast<long long>(pendingMove->first) + screen->x,
                                       kMinCoordinate, kMaxCoordinate);
    const long long rootY = std::clamp(static_cast<long long>(pendingMove->second) + screen->y,
                                       kMinCoordinate, kMaxCoordinate);
    pendingMove.reset();
    injector.warpPointer(static_cast<int>(rootX), static_cast<int>(rootY));
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
    movePointer();
    if (!anythingPressed()) {
        injector.flush();
        return;
    }
    const size_t buttons = pressedButtons.size();
    size_t keys = 0;
    while (!heldKeys.empty()) {
        keyUp(heldKeys.begin()->first);
        ++keys;
    }
    for (const unsigned button : std::set<unsigned>(pressedButtons)) {
        sendButton(button, false);
    }
    returnSpareKeys();
    injector.flush();
    cli_log(LL_INFO, "Released %zu keys and %zu buttons still held by the administrator\n", keys,
            buttons);
}
