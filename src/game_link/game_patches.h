#pragma once

// The two one-byte patches (a near return, 0xC3) that switch off the game's own opponent
// driving and its resetting of stray opponents, so that remote players' cars stay where their
// owners drive them.

namespace orvel::gamelink {

// Writes both patch bytes of the chosen edition. Results are not looked at: a write that fails
// is simply made again at the next tick.
void ApplyGamePatches();

}  // namespace orvel::gamelink
