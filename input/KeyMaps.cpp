#include "KeyMaps.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <map>

namespace {

constexpr int kFirstFunctionKey = 112;  // browser code of F1
constexpr int kFirstKeypadDigit = 96;   // browser code of keypad 0

// 229 is an input method at work: its text comes as characters, the key itself presses nothing.
std::unordered_map<int, int> buildKeyMap() {
    // clang-format off
    std::unordered_map<int, int> map = {
        {8, XK_BackSpace},          {9, XK_Tab},                {12, XK_KP_Begin},
        {13, XK_Return},            {16, XK_Shift_L},           {17, XK_Control_L},
        {18, XK_Alt_L},             {19, XK_Pause},             {20, XK_Caps_Lock},
        {27, XK_Escape},            {33, XK_Prior},             {34, XK_Next},
        {35, XK_End},               {36, XK_Home},              {37, XK_Left},
        {38, XK_Up},                {39, XK_Right},             {40, XK_Down},
        {44, XK_Print},             {45, XK_Insert},            {46, XK_Delete},
        {59, XK_semicolon},         {61, XK_equal},             {91, XK_Super_L},
        {92, XK_Super_R},           {93, XK_Menu},              {106, XK_KP_Multiply},
        {107, XK_KP_Add},           {109, XK_KP_Subtract},      {110, XK_KP_Decimal},
        {111, XK_KP_Divide},        {144, XK_Num_Lock},         {145, XK_Scroll_Lock},
        {173, XK_minus},            {186, XK_semicolon},        {187, XK_equal},
        {188, XK_comma},            {189, XK_minus},            {190, XK_period},
        {191, XK_slash},            {192, XK_grave},            {219, XK_bracketleft},
        {220, XK_backslash},        {221, XK_bracketright},     {222, XK_apostrophe},
        {224, XK_Super_L},          {225, XK_ISO_Level3_Shift}, {226, XK_less},
        {229, 0},
    };
    // clang-format on
    for (int n = 0; n < 12; ++n) {
        map.emplace(kFirstFunctionKey + n, XK_F1 + n);
    }
    for (int n = 0; n < 10; ++n) {
        map.emplace(kFirstKeypadDigit + n, XK_KP_0 + n);
    }
    for (int letter = 'A'; letter <= 'Z'; ++letter) {
        map.emplace(letter, letter - 'A' + XK_a);
    }
    return map;
}

// Physical keys a key code leaves ambiguous.
const std::map<QString, int> code_map = {
    {QStringLiteral("ShiftRight"), XK_Shift_R},
    {QStringLiteral("ControlRight"), XK_Control_R},
    {QStringLiteral("AltRight"), XK_Alt_R},
    {QStringLiteral("MetaRight"), XK_Super_R},
    {QStringLiteral("OSRight"), XK_Super_R},
    {QStringLiteral("NumpadEnter"), XK_KP_Enter},
    {QStringLiteral("AudioVolumeMute"), XF86XK_AudioMute},
};

std::unordered_map<std::string, std::vector<int>> buildShortcutMap() {
    std::unordered_map<std::string, std::vector<int>> map = {
        {"CTRL_ALT_DELETE", {XK_Control_L, XK_Alt_L, XK_Delete}},
    };
    for (int n = 1; n <= 12; ++n) {
        map.emplace("CTRL_ALT_F" + std::to_string(n),
                    std::vector<int>{XK_Control_L, XK_Alt_L, XK_F1 + n - 1});
    }
    return map;
}

}  // namespace

const std::unordered_map<int, int> key_map = buildKeyMap();
const std::unordered_map<std::string, std::vector<int>> shortcut_map = buildShortcutMap();

int keysymForKeyCode(int keyCode, const QString& code, const QString& key) {
    if (key == QLatin1String("AltGraph")) {
        return XK_ISO_Level3_Shift;
    }
    const auto byCode = code_map.find(code);
    if (byCode != code_map.end()) {
        return byCode->second;
    }
    const auto it = key_map.find(keyCode);
    if (it != key_map.end()) {
        return it->second;
    }
    // Other codes are keysyms of Latin-1 only; beyond that a browser code means something else.
    return keyCode > 0 && keyCode < 0x100 ? keyCode : 0;
}
