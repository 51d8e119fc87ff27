#pragma once
// Which process is the game, and Orvel's hold on it. A window of the game's title counts only
// when its process has the game's memory; once a game is chosen, Orvel stays with it while one
// of its windows is there, whatever else opens with that title. Only one Orvel on a machine
// holds a given game; the others leave it alone. Letting a game go gives it back as it was:
// the patched bytes return to their first values, unless the process has since been replaced.
#include <QString>
#include <cstdint>

#include "platform/os/os_services.h"

namespace orvel::gamelink {

struct FoundGame {
    os::WindowHandle window = 0;
    uint32_t processId = 0;
};

// The game's window and process as the window system shows them now; zeros when no window of
// the title belongs to the game. Asks nothing of the game itself. The held game's window is
// taken to be still its own: the cheap look, for every tick.
FoundGame FindGame(const QString& title);
// The same, asking the owner of every window of the title, so that a window id the X server
// has handed on to a new program (a game restarted quickly) is told apart.
FoundGame LookUpGame(const QString& title);

// When the last look found no game: the user whose process shows a window of the title, if that
// is not Orvel's user (such a game is out of Orvel's reach); empty otherwise.
QString OtherUsersGame();

// Takes hold of the process (letting go of any other first). False when another Orvel holds
// it; the game is then left untouched.
bool HoldGame(const FoundGame& game);
// The process Orvel holds; 0 for none.
uint32_t HeldGame();
// True when the held process is still the run that was taken (not gone, not replaced).
bool HeldGameUnchanged();
// True when the last attempt to take a game found it held by another Orvel.
bool GameInUseElsewhere();
// True when the last attempt to take a game failed for want of a private runtime folder to keep
// the claim in.
bool GameUnclaimable();
// Puts the patched bytes back, closes the game's memory and lets the claim go. Safe to call at
// any time, also with nothing held.
void ReleaseGame();

}  // namespace orvel::gamelink
