#pragma once

#include <QString>
#include <array>
#include <cstdint>

// Process-wide values shared by the game link, the main window and the in-game chat.
namespace orvel {

// Title of the game's main window; every game-link operation takes it as its first argument.
inline const QString GameTitle = QStringLiteral("Brenmoor - Kartova");

// Game edition whose addresses are in use: 0 = standard, 1 = MX. Written only by the main
// window's "MX" check box.
extern int32_t gameVersion;

// Remote car slots 1 to 5 of the game, each holding the player id (DPNID) whose car state goes
// into that slot; 0 means free. Entry 0 does not exist. The race session holds the table.
class SlotPlayerIds {
public:
    static constexpr int kFirst = 1;
    static constexpr int kLast = 5;

    // n must lie in 1..5; anything else is a programming error and aborts.
    uint32_t& operator()(int n);
    uint32_t operator()(int n) const;
    void clear() { ids_.fill(0); }
    // The slot that carries the player's car; 0 for none. Id 0 (a free slot's value) has none.
    int slotOf(uint32_t playerId) const;

private:
    std::array<uint32_t, kLast> ids_{};
};

// The in-game chat's key table: DirectInput key code and shift state in, one character (or the
// empty text for keys that type nothing) out. Letters always come out upper case.
QString KeyToChar(int16_t code, bool shift);

}  // namespace orvel
