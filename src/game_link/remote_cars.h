#pragma once
// Remote players' cars in the game: the three pieces of a received car state, written into the
// car slot that the race session gave its sender.
#include "session/wire_messages.h"

namespace orvel {
class RaceSession;
}

namespace orvel::gamelink {

// Writes the state into car slot 1..5, one transfer per piece. Nothing is written for any other
// slot (0: the sender holds none).
void WriteRemoteCar(int slot, const CarState& state);

// From here on every car state the session receives goes into its slot, while a race is on.
void FollowRemoteCars(RaceSession& session);

}  // namespace orvel::gamelink
