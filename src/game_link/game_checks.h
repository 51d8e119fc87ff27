#pragma once

// The questions every game-facing step asks first: is the game's window there, is a race on,
// does the game have the keyboard focus.

namespace orvel::gamelink {

// A top-level window titled GameTitle exists. Does not attach.
bool isRunning();
// isRunning, and the play value of the chosen edition is above 0.0 and its status word is 0.
// The first call after the game appears cannot answer true: its first read fails and attaches.
bool isPlaying();
// The foreground window is the game window found by the last attach.
bool isFocused();

}  // namespace orvel::gamelink
