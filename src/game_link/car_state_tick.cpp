#include "game_link/car_state_tick.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "common/orvel_globals.h"
#include "game_link/game_checks.h"
#include "game_link/game_log.h"
#include "game_link/game_memory_map.h"
#include "game_link/game_patches.h"
#include "game_link/memory.h"
#include "platform/dx8/dx8_types.h"
#include "session/mod_dplay.h"
#include "session/wire_messages.h"

namespace orvel {

CarStateTick::CarStateTick()
    : sleep_([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

void CarStateTick::run() {
    if (gamelink::isRunning()) {
        if (!gameDetected_) {
            // A game that has just appeared gets a second to set itself up before anything
            // touches it. The wait blocks the window on purpose.
            qCDebug(lcGame) << "game window found; settling";
            sleep_(kSettlingMilliseconds);
            gameDetected_ = true;
            return;
        }
        gamelink::ApplyGamePatches();
    } else {
        gameDetected_ = false;
    }

    if (!gamelink::isPlaying()) {
        return;
    }
    Memory::AttachGame(GameTitle);

    MessageBuffer message;
    int32_t offset = NewMessageBuffer(message);
    const uint8_t type[4] = {static_cast<uint8_t>(CarStateMessage), 0, 0, 0};
    AppendBytes(message, type, 4, offset);
    offset += 4;  // reserved, left unwritten

    CarState state{};
    const uint32_t record = gamemap::carRecord(gameVersion, 0);
    for (const gamemap::CarPiece& piece : gamemap::kCarPieces) {
        Memory::ReadGameBytes(GameTitle, static_cast<int32_t>(record + piece.recordOffset),
                              static_cast<int32_t>(piece.size));
        // memBytes holds exactly piece.size bytes now, zeros where the read failed.
        std::copy_n(Memory::memBytes.begin(), std::min<size_t>(piece.size, Memory::memBytes.size()),
                    state.begin() + piece.stateOffset);
    }
    AppendBytes(message, state.data(), kCarStateSize, offset);

    if (observer_) {
        observer_(message);
    }
    if (dpPeer) {
        // Unreliable and without loopback; with no session the send fails, and that is fine.
        try {
            dpPeer->SendTo(dx8::DPNID_ALL_PLAYERS_GROUP, message, 0, dx8::DPNSEND_NOLOOPBACK);
        } catch (const std::exception& error) {
            qCDebug(lcGame) << "car state not sent:" << error.what();
        }
    }
}

}  // namespace orvel
