// Browser key codes that differ from X keysyms, and the key combinations an administrator can send.
#pragma once

#include <QString>
#include <string>
#include <unordered_map>
#include <vector>

// Browser key code -> X keysym, Chrome's and Firefox's codes both. Codes not listed (digits,
// space...) are keysyms already; letters stand for their lower case.
extern const std::unordered_map<int, int> key_map;

// Shortcut name (case-sensitive) -> keysyms held down together, in pressing order.
extern const std::unordered_map<std::string, std::vector<int>> shortcut_map;

// The keysym of the key a browser event names: by "code" where it tells left from right, by
// "key" for AltGr, else by key code. 0 when there is none.
int keysymForKeyCode(int keyCode, const QString& code = QString(), const QString& key = QString());
