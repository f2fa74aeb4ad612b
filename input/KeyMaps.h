// Browser key codes that differ from X keysyms, and the key combinations an administrator can send.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

// Browser key code -> X keysym. Codes not listed (letters, digits, space...) are keysyms already.
extern const std::unordered_map<int, int> key_map;

// Shortcut name (case-sensitive) -> keysyms held down together, in pressing order.
extern const std::unordered_map<std::string, std::vector<int>> shortcut_map;

// The keysym for a browser key code.
int keysymForKeyCode(int keyCode);
