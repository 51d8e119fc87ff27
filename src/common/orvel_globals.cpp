#include "common/orvel_globals.h"

#include <cstdlib>

namespace orvel {

int32_t gameVersion = 0;

uint32_t& SlotPlayerIds::operator()(int n) {
    if (n < kFirst || n > kLast) {
        std::abort();
    }
    return ids_[static_cast<size_t>(n - kFirst)];
}

uint32_t SlotPlayerIds::operator()(int n) const {
    return const_cast<SlotPlayerIds&>(*this)(n);
}

int SlotPlayerIds::slotOf(uint32_t playerId) const {
    for (int n = kFirst; playerId != 0 && n <= kLast; ++n) {
        if ((*this)(n) == playerId) {
            return n;
        }
    }
    return 0;
}

namespace {

struct KeyEntry {
    char plain;
    char shifted;
};

// Indexed by DirectInput key code 0x00..0x3A; a zero entry types nothing.
constexpr std::array<KeyEntry, 0x3B> kKeyTable = [] {
    std::array<KeyEntry, 0x3B> t{};
    const char* digits = "1234567890";
    const char* digitsShifted = "!@#$%^&*()";
    for (int i = 0; i < 10; ++i) {
        t[0x02 + i] = {digits[i], digitsShifted[i]};
    }
    t[0x0C] = {'-', '_'};
    t[0x0D] = {'=', '+'};
    const char* row1 = "QWERTYUIOP";
    for (int i = 0; i < 10; ++i) {
        t[0x10 + i] = {row1[i], row1[i]};
    }
    t[0x1A] = {'[', '['};
    t[0x1B] = {']', ']'};
    const char* row2 = "ASDFGHJKL";
    for (int i = 0; i < 9; ++i) {
        t[0x1E + i] = {row2[i], row2[i]};
    }
    t[0x27] = {';', ':'};
    t[0x28] = {'\'', '"'};
    t[0x29] = {'`', '~'};
    t[0x2B] = {'\\', '|'};
    const char* row3 = "ZXCVBNM";
    for (int i = 0; i < 7; ++i) {
        t[0x2C + i] = {row3[i], row3[i]};
    }
    t[0x33] = {',', '<'};
    t[0x34] = {'.', '>'};
    t[0x35] = {'/', '?'};
    t[0x37] = {'*', '*'};
    t[0x39] = {' ', ' '};
    return t;
}();

}  // namespace

QString KeyToChar(int16_t code, bool shift) {
    if (code < 0 || static_cast<size_t>(code) >= kKeyTable.size()) {
        return {};
    }
    const KeyEntry& e = kKeyTable[static_cast<size_t>(code)];
    const char c = shift ? e.shifted : e.plain;
    return c ? QString(QChar(c)) : QString();
}

}  // namespace orvel
