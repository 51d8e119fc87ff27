#pragma once
// How the game looks to Orvel, for the player: found or not, settling, on the menu or racing,
// and why Orvel cannot work with it.
#include <QString>
#include <cstdint>

namespace orvel::gamelink {

enum class GameState {
    NotFound,       // no window of the game's title belongs to the game
    Settling,       // just found; given a second before anything touches it
    Menu,           // found, no race on
    Racing,         // a race is on: cars travel
    AccessRefused,  // the system refuses Orvel the game's memory
    InUse,          // another Orvel holds this game
};

// The status line's text; the edition is the one chosen with "MX".
QString GameStatusText(GameState state, int32_t gameVersion);

}  // namespace orvel::gamelink
