// X key codes to DirectInput key codes.
#include <gtest/gtest.h>

#include <set>

#include "platform/dx8/input/directinput8.h"
#include "platform/dx8/input/key_codes.h"

using namespace dx8;

namespace {

TEST(KeyCodes, TheMainBlockKeepsItsNumbers) {
    // Everything the in-game chat can see, Escape to Caps Lock, and the keypad up to Del.
    for (int code = 1; code <= 0x53; ++code) {
        EXPECT_EQ(dikFromEvdev(code), code) << code;
        EXPECT_EQ(dikFromXKeycode(code + 8), code) << code;
    }
    EXPECT_EQ(dikFromXKeycode(38), DIK_A);  // X key code of A on an evdev server
    EXPECT_EQ(dikFromXKeycode(36), DIK_RETURN);
    EXPECT_EQ(dikFromXKeycode(50), DIK_LSHIFT);
    EXPECT_EQ(dikFromXKeycode(59), DIK_COMMA);
}

TEST(KeyCodes, KeysBeyondTheChatTableGetCodesAbove58) {
    const std::pair<int, int16_t> extended[] = {
        {111, DIK_UP},          {116, DIK_DOWN},     {113, DIK_LEFT},   {114, DIK_RIGHT},
        {67, DIK_F1},           {76, DIK_F10},       {95, DIK_F11},     {96, DIK_F12},
        {104, DIK_NUMPADENTER}, {105, DIK_RCONTROL}, {108, DIK_RMENU},  {106, DIK_DIVIDE},
        {110, DIK_HOME},        {115, DIK_END},      {112, DIK_PRIOR},  {117, DIK_NEXT},
        {118, DIK_INSERT},      {119, DIK_DELETE},   {133, DIK_LWIN},   {135, DIK_APPS},
        {127, DIK_PAUSE},       {107, DIK_SYSRQ},    {94, DIK_OEM_102}, {79, DIK_NUMPAD7},
    };
    for (const auto& [xcode, dik] : extended) {
        EXPECT_EQ(dikFromXKeycode(xcode), dik) << xcode;
        EXPECT_GT(dikFromXKeycode(xcode), 0x3A) << xcode;
    }
}

TEST(KeyCodes, UnknownAndOutOfRangeCodesGiveNothing) {
    for (int xcode : {-1, 0, 1, 7, 8, 92, 256, 1000, 100000}) {
        EXPECT_EQ(dikFromXKeycode(xcode), 0) << xcode;
    }
    // No two keys share a code, and every code fits the 256-byte key state.
    std::set<int16_t> seen;
    for (int xcode = 0; xcode < 256; ++xcode) {
        const int16_t dik = dikFromXKeycode(xcode);
        if (dik != 0) {
            EXPECT_TRUE(seen.insert(dik).second) << xcode;
            EXPECT_LT(dik, 256);
        }
    }
    EXPECT_GT(seen.size(), 120u);
}

}  // namespace
