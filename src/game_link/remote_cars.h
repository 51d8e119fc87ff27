#pragma once
// Remote players' cars in the game: the three pieces of a received car state, written into the
// car slot that the roster gave its sender.
#include <cstdint>

#include "session/wire_messages.h"

namespace orvel::gamelink {

// Writes the state into the sender's slot, one transfer per piece. Nothing is written for a
// sender without a slot (never joined, or left since).
void WriteRemoteCar(uint32_t senderId, const CarState& state);

}  // namespace orvel::gamelink
