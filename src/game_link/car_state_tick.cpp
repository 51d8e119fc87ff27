#include "game_link/car_state_tick.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/orvel_globals.h"
#include "game_link/game_checks.h"
#include "game_link/game_log.h"
#include "game_link/game_memory_map.h"
#include "game_link/game_patches.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "session/race_session.h"

namespace orvel {

CarStateTick::CarStateTick(RaceSession& session)
    : session_(session),
      sleep_([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

CarStateTick::~CarStateTick() {
    // The game goes back as it was found when the link ends, however the program ends.
    gamelink::ReleaseGame();
}

void CarStateTick::setState(gamelink::GameState state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    if (stateObserver_) {
        stateObserver_(state);
    }
}

void CarStateTick::run() {
    // One look at the window system serves the whole tick.
    const gamelink::FoundGame game = gamelink::FindGame(GameTitle);
    if (game.window != 0) {
        if (!gameDetected_) {
            // A game that has just appeared gets a second to set itself up before anything
            // touches it. The wait blocks the window on purpose.
            qCDebug(lcGame) << "game window found; settling";
            setState(gamelink::GameState::Settling);
            sleep_(kSettlingMilliseconds);
            gameDetected_ = true;
            return;
        }
        gamelink::ApplyGamePatches();
    } else {
        gameDetected_ = false;
        // The game has gone (or is no longer to be told from a look-alike): let it go.
        gamelink::ReleaseGame();
    }

    const bool playing = game.window != 0 && gamelink::raceValuesOn();
    gamelink::noteTickAnswer(playing);
    if (game.window == 0) {
        setState(gamelink::GameState::NotFound);
    } else if (gamelink::HeldGame() == 0 && gamelink::GameInUseElsewhere()) {
        setState(gamelink::GameState::InUse);
    } else if (Memory::AccessRefused()) {
        setState(gamelink::GameState::AccessRefused);
    } else {
        setState(playing ? gamelink::GameState::Racing : gamelink::GameState::Menu);
    }
    if (!playing) {
        return;
    }

    Memory::AttachFound(game);
    CarState state{};
    const uint32_t record = gamemap::carRecord(gameVersion, 0);
    for (const gamemap::CarPiece& piece : gamemap::kCarPieces) {
        // Exactly piece.size bytes, zeros where the read failed.
        const std::vector<uint8_t> bytes =
            Memory::ReadGameBytes(GameTitle, static_cast<int32_t>(record + piece.recordOffset),
                                  static_cast<int32_t>(piece.size));
        std::copy_n(bytes.begin(), std::min<size_t>(piece.size, bytes.size()),
                    state.begin() + piece.stateOffset);
    }
    const QByteArray message = session_.sendCarState(state);
    if (observer_) {
        observer_(message);
    }
}

}  // namespace orvel
