#pragma once
// The two one-byte patches (a near return, 0xC3) that switch off the game's own opponent
// driving and its resetting of stray opponents, so that remote players' cars stay where their
// owners drive them. The byte first found at each site is kept, so the game can be given back.
namespace orvel::gamelink {

// Writes both patch bytes of the chosen edition. A site is written only once the byte it held
// before Orvel came is known. Results are not looked at: a write that fails is simply made
// again at the next tick. A game of the edition not chosen is not written; once a game's
// edition is seen, the bytes written at the other edition's sites go back.
void ApplyGamePatches();
// Writes every kept byte back into the held game, unless the game has gone or been replaced
// since, and forgets them.
void RestoreGamePatches();

}  // namespace orvel::gamelink
