// Where a keysym is on the user's keyboard, read from the keymap as data: no X calls, so it runs
// on a keymap compiled from names as well as on the X server's.
#pragma once

#include <cstdint>
#include <optional>
#include <set>

struct xkb_keymap;

// Real modifiers as X numbers them (ShiftMask, LockMask, ControlMask, Mod1Mask...).
constexpr uint32_t kShiftMask = 1u << 0;
constexpr uint32_t kLockMask = 1u << 1;
constexpr uint32_t kControlMask = 1u << 2;
constexpr uint32_t kAltMask = 1u << 3;    // Mod1
constexpr uint32_t kSuperMask = 1u << 6;  // Mod4

struct KeyPlace {
    uint32_t keycode = 0;
    uint32_t group = 0;  // the group the key gives the keysym in
    uint32_t layout = 0;
    uint32_t level = 0;
    uint32_t mods = 0;      // the modifiers that select the keysym's level
    uint32_t relevant = 0;  // every modifier the key's level depends on
};

enum class KeyOrder {
    ActiveGroupFirst,  // to type a character: in another group only when the active has none
    BaseLevelFirst,    // to press a key: the one that has the keysym unshifted, in any group
};

// The key that gives `keysym`, the lowest level first. Levels needing Control, Alt or Super are
// never chosen, and Lock only when no other modifiers reach the level.
std::optional<KeyPlace> findKey(xkb_keymap* keymap, uint32_t keysym, uint32_t activeGroup,
                                KeyOrder order);

// Modifiers that reach `place`'s level and differ from `current` only in `changeable`.
std::optional<uint32_t> modsKeeping(xkb_keymap* keymap, const KeyPlace& place, uint32_t current,
                                    uint32_t changeable);

// The modifiers a key sets while it is held (Shift_L: Shift); 0 for keys that set none.
uint32_t modsOfKey(xkb_keymap* keymap, uint32_t keycode);

// The highest keycode that carries no symbol and is not in `taken`; 0 when there is none.
uint32_t spareKeycode(xkb_keymap* keymap, const std::set<uint32_t>& taken);
