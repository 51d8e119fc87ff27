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
    OtherUser,      // the window of the game's title belongs to another user's process
    OtherEdition,   // the game looks like the edition that is not chosen: left alone
    Unclaimable,    // no private runtime folder to keep Orvel's claim on the game in
};

// The status line's text; the edition is the one chosen with "MX". For OtherUser, detail is the
// user the game runs as and ourUser the one Orvel runs as; for Unclaimable, detail says why
// there is no private runtime folder.
QString GameStatusText(GameState state, int32_t gameVersion, const QString& detail = {},
                       const QString& ourUser = {});

}  // namespace orvel::gamelink
