#pragma once

// Timing rules for links that are slow, lossy or briefly dark: how long a step of a join may
// take on a link of a given round trip, and when losing a link means we are the ones cut off.

#include <QtGlobal>
#include <vector>

namespace dx8 {

// A step's base time covers round trips up to kBaseRoundTripMs; on a slower link it stretches in
// proportion, up to kMaxStretch times. A round trip not measured yet keeps the base.
constexpr int kBaseRoundTripMs = 100;
constexpr int kMaxStretch = 4;
int stretchedMs(int baseMs, int roundTripMs);

// A link that has heard nothing for this long is as good as dark.
constexpr qint64 kDarkLinkMs = 2500;

// Losing a link to one player while every other link has gone dark as well: we are the one cut
// off, not all of them. With no other player to ask, nothing can be told apart.
bool cutOffFromAll(const std::vector<qint64>& othersSilentMs);

}  // namespace dx8
