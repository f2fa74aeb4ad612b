#include "KeyLookup.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <bitset>
#include <memory>

namespace {

constexpr uint32_t kNeverUsed = kControlMask | kAltMask | kSuperMask;
// X sends no keycode beyond 255; a keymap compiled from names has more.
constexpr uint32_t kMaxKeycode = 255;

using State = std::unique_ptr<xkb_state, decltype(&xkb_state_unref)>;

// The cheapest modifiers that reach a level, with its cost; nullopt when none may be used.
std::optional<std::pair<uint32_t, int>> cheapestMods(const xkb_mod_mask_t* masks, size_t count,
                                                     uint32_t level) {
    if (count == 0 && level == 0) {
        return std::make_pair(0u, 0);
    }
    std::optional<std::pair<uint32_t, int>> best;
    for (size_t i = 0; i < count; ++i) {
        if ((masks[i] & kNeverUsed) != 0) {
            continue;
        }
        const int cost = int(std::bitset<32>(masks[i]).count()) + ((masks[i] & kLockMask) ? 8 : 0);
        if (!best || cost < best->second) {
            best = std::make_pair(masks[i], cost);
        }
    }
    return best;
}

}  // namespace

std::optional<KeyPlace> findKey(xkb_keymap* keymap, uint32_t keysym, uint32_t activeGroup,
                                KeyOrder order) {
    const bool groupFirst = order == KeyOrder::ActiveGroupFirst;
    if (keymap == nullptr || keysym == XKB_KEY_NoSymbol) {
        return std::nullopt;
    }
    const State state(xkb_state_new(keymap), &xkb_state_unref);
    if (!state) {
        return std::nullopt;
    }
    xkb_state_update_mask(state.get(), 0, 0, 0, 0, 0, activeGroup);
    std::optional<KeyPlace> best;
    int bestCost = 0;
    const uint32_t last = std::min(xkb_keymap_max_keycode(keymap), kMaxKeycode);
    for (uint32_t key = xkb_keymap_min_keycode(keymap); key <= last; ++key) {
        const uint32_t active = xkb_state_key_get_layout(state.get(), key);
        for (uint32_t layout = 0; layout < xkb_keymap_num_layouts_for_key(keymap, key); ++layout) {
            xkb_mod_mask_t masks[16];
            uint32_t relevant = 0;
            std::optional<std::pair<uint32_t, int>> found;
            uint32_t level = 0;
            const uint32_t levels = xkb_keymap_num_levels_for_key(keymap, key, layout);
            for (uint32_t at = 0; at < levels; ++at) {
                const size_t count =
                    xkb_keymap_key_get_mods_for_level(keymap, key, layout, at, masks, 16);
                for (size_t i = 0; i < count; ++i) {
                    relevant |= masks[i];
                }
                const xkb_keysym_t* syms = nullptr;
                const int symCount =
                    xkb_keymap_key_get_syms_by_level(keymap, key, layout, at, &syms);
                if (found || symCount != 1 || syms[0] != keysym) {
                    continue;
                }
                found = cheapestMods(masks, count, at);
                if (found) {
                    found->second += int(at) * (groupFirst ? 16 : 10000);
                    level = at;
                }
            }
            if (!found) {
                continue;
            }
            const int cost = found->second + (layout == active ? 0 : 1000);
            if (!best || cost < bestCost) {
                bestCost = cost;
                best = KeyPlace{key,          layout == active ? activeGroup : layout,
                                layout,       level,
                                found->first, relevant};
            }
        }
    }
    return best;
}

std::optional<uint32_t> modsKeeping(xkb_keymap* keymap, const KeyPlace& place, uint32_t current,
                                    uint32_t changeable) {
    if (keymap == nullptr) {
        return std::nullopt;
    }
    xkb_mod_mask_t masks[16];
    size_t count = xkb_keymap_key_get_mods_for_level(keymap, place.keycode, place.layout,
                                                     place.level, masks, 16);
    if (count == 0 && place.level == 0) {
        masks[count++] = 0;
    }
    for (size_t i = 0; i < count; ++i) {
        if (((masks[i] ^ current) & place.relevant & ~changeable) == 0) {
            return masks[i];
        }
    }
    return std::nullopt;
}

uint32_t modsOfKey(xkb_keymap* keymap, uint32_t keycode) {
    if (keymap == nullptr) {
        return 0;
    }
    const State state(xkb_state_new(keymap), &xkb_state_unref);
    if (!state) {
        return 0;
    }
    xkb_state_update_key(state.get(), keycode, XKB_KEY_DOWN);
    return xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED);
}

uint32_t spareKeycode(xkb_keymap* keymap, const std::set<uint32_t>& taken) {
    if (keymap == nullptr) {
        return 0;
    }
    const int64_t first = xkb_keymap_min_keycode(keymap);
    for (int64_t key = std::min(xkb_keymap_max_keycode(keymap), kMaxKeycode); key >= first; --key) {
        if (xkb_keymap_num_layouts_for_key(keymap, uint32_t(key)) == 0 &&
            taken.count(uint32_t(key)) == 0) {
            return uint32_t(key);
        }
    }
    return 0;
}
