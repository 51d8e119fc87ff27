#pragma once

// Placeholder until the game link lands.
namespace orvel {

class CarStateTick {
public:
    void run() {}
};

}  // namespace orvel
