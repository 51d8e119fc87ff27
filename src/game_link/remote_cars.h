#pragma once
// Cars in the game: the local car's three pieces read out as a car state, and remote players'
// cars: the three pieces of a received car state, written into the car slot that the race
// session gave its sender.
#include "session/race_session.h"
#include "session/wire_messages.h"

namespace orvel::gamelink {

// The three pieces of car slot 0 at the addresses of the given edition; zeros where a read
// failed.
CarState ReadLocalCar(int32_t gameVersion);

// Writes the state into car slot 1..5, one transfer per piece. Nothing is written for any other
// slot (0: the sender holds none), nor into a game of the edition not chosen.
void WriteRemoteCar(int slot, const CarState& state);

// A listener of the race session: while it listens, every car state the session receives goes
// into its slot, while a race is on.
class RemoteCars final : public RaceSession::Listener {
public:
    void onCarState(int slot, const CarState& state) override;
};

}  // namespace orvel::gamelink
