#pragma once
// The questions every game-facing step asks first: is the game's window there, is a race on,
// does the game have the keyboard focus.
namespace orvel::gamelink {

// A top-level window titled GameTitle that belongs to the game exists. Does not attach.
bool isRunning();
// isRunning, and raceValuesOn.
// The first call after the game appears cannot answer true: its first read fails and attaches.
bool isPlaying();
// The play value of the chosen edition is above 0.0 and its status word is 0 (the reads only),
// in a game that does not look like the other edition.
bool raceValuesOn();
// The foreground window is the game window found by the last attach.
bool isFocused();

// isPlaying as the game link's tick last answered it, while that answer is fresh (the tick
// runs every 50 ms); asked afresh when no tick has answered lately. For callers that ask for
// every message they receive.
bool isPlayingLately();
// The tick's answer, good for the next two tick periods.
void noteTickAnswer(bool playing);
// Drops the tick's answer (a link that stops ticking, tests).
void ForgetTickAnswer();
// While held, the tick's last answer stays good however old it grows (the tick rests while no
// game is there, and news of a window ends the hold).
void holdTickAnswer(bool held);

}  // namespace orvel::gamelink
