#pragma once
// The game Orvel started itself (`orvel -- COMMAND`): then only a window of that process or of
// one of its descendants is the game (under Wine the game's window belongs to a descendant of
// the command), whatever other window carries the title, even above it.
#include <cstdint>

namespace orvel::gamelink {

// From now on only the process and its descendants may be the game; 0 lifts the rule.
void LinkOnlyToDescendantsOf(uint32_t processId);
// The process given to LinkOnlyToDescendantsOf; 0 when any process may be the game.
uint32_t StartedGame();
// True when the process may be the game: any process when Orvel started no game, else the
// started one and its descendants.
bool MayBeTheGame(uint32_t processId);

}  // namespace orvel::gamelink
