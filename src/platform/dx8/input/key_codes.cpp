#include "platform/dx8/input/key_codes.h"

#include <array>

#include "platform/dx8/input/directinput8.h"

namespace dx8 {

namespace {

// The main block of a PC keyboard, Escape to the keypad's Del, has the same numbers in both code
// sets: set-1 scan code = evdev code = DirectInput code.
constexpr int kLastSharedCode = 0x53;  // KEY_KPDOT / DIK_DECIMAL

struct Pair {
    int evdev;
    int16_t dik;
};

// Keys beyond the main block. The evdev numbers are those of <linux/input-event-codes.h>.
constexpr std::array<Pair, 42> kExtended{{
    {86, DIK_OEM_102},        // KEY_102ND
    {87, DIK_F11},            // KEY_F11
    {88, DIK_F12},            // KEY_F12
    {89, DIK_ABNT_C1},        // KEY_RO
    {92, DIK_CONVERT},        // KEY_HENKAN
    {93, DIK_KANA},           // KEY_KATAKANAHIRAGANA
    {94, DIK_NOCONVERT},      // KEY_MUHENKAN
    {96, DIK_NUMPADENTER},    // KEY_KPENTER
    {97, DIK_RCONTROL},       // KEY_RIGHTCTRL
    {98, DIK_DIVIDE},         // KEY_KPSLASH
    {99, DIK_SYSRQ},          // KEY_SYSRQ (Print Screen)
    {100, DIK_RMENU},         // KEY_RIGHTALT
    {102, DIK_HOME},          // KEY_HOME
    {103, DIK_UP},            // KEY_UP
    {104, DIK_PRIOR},         // KEY_PAGEUP
    {105, DIK_LEFT},          // KEY_LEFT
    {106, DIK_RIGHT},         // KEY_RIGHT
    {107, DIK_END},           // KEY_END
    {108, DIK_DOWN},          // KEY_DOWN
    {109, DIK_NEXT},          // KEY_PAGEDOWN
    {110, DIK_INSERT},        // KEY_INSERT
    {111, DIK_DELETE},        // KEY_DELETE
    {113, DIK_MUTE},          // KEY_MUTE
    {114, DIK_VOLUMEDOWN},    // KEY_VOLUMEDOWN
    {115, DIK_VOLUMEUP},      // KEY_VOLUMEUP
    {116, DIK_POWER},         // KEY_POWER
    {117, DIK_NUMPADEQUALS},  // KEY_KPEQUAL
    {119, DIK_PAUSE},         // KEY_PAUSE
    {121, DIK_NUMPADCOMMA},   // KEY_KPCOMMA
    {124, DIK_YEN},           // KEY_YEN
    {125, DIK_LWIN},          // KEY_LEFTMETA
    {126, DIK_RWIN},          // KEY_RIGHTMETA
    {127, DIK_APPS},          // KEY_COMPOSE (the menu key)
    {142, DIK_SLEEP},         // KEY_SLEEP
    {143, DIK_WAKE},          // KEY_WAKEUP
    {163, DIK_NEXTTRACK},     // KEY_NEXTSONG
    {164, DIK_PLAYPAUSE},     // KEY_PLAYPAUSE
    {165, DIK_PREVTRACK},     // KEY_PREVIOUSSONG
    {166, DIK_MEDIASTOP},     // KEY_STOPCD
    {183, DIK_F13},           // KEY_F13
    {184, DIK_F14},           // KEY_F14
    {185, DIK_F15},           // KEY_F15
}};

constexpr int kTableSize = 256;

constexpr std::array<int16_t, kTableSize> buildTable() {
    std::array<int16_t, kTableSize> table{};
    for (int code = 1; code <= kLastSharedCode; ++code) {
        table[code] = static_cast<int16_t>(code);
    }
    for (const Pair& p : kExtended) {
        table[p.evdev] = p.dik;
    }
    return table;
}

constexpr std::array<int16_t, kTableSize> kTable = buildTable();

}  // namespace

int16_t dikFromEvdev(int evdevCode) {
    if (evdevCode < 0 || evdevCode >= kTableSize) {
        return 0;
    }
    return kTable[evdevCode];
}

int16_t dikFromXKeycode(int xKeycode) {
    return dikFromEvdev(xKeycode - 8);
}

}  // namespace dx8
