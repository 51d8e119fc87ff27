#include "game_link/car_state_tick.h"

#include <chrono>
#include <thread>

#include "common/orvel_globals.h"
#include "game_link/edition_check.h"
#include "game_link/game_checks.h"
#include "game_link/game_log.h"
#include "game_link/game_patches.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "game_link/remote_cars.h"
#include "platform/os/runtime_folder.h"
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
    if (state == state_ && detail_ == shownDetail_) {
        return;
    }
    state_ = state;
    shownDetail_ = detail_;
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
        // Before any patch: is this the chosen edition at all?
        gamelink::WatchGameEdition();
        gamelink::ApplyGamePatches();
    } else {
        gameDetected_ = false;
        // The game has gone (or is no longer to be told from a look-alike): let it go.
        gamelink::ReleaseGame();
    }

    const bool playing = game.window != 0 && gamelink::raceValuesOn();
    gamelink::noteTickAnswer(playing);
    detail_ = game.window == 0 ? gamelink::OtherUsersGame() : QString();
    if (game.window == 0) {
        setState(detail_.isEmpty() ? gamelink::GameState::NotFound
                                   : gamelink::GameState::OtherUser);
    } else if (gamelink::HeldGame() == 0 && gamelink::GameInUseElsewhere()) {
        setState(gamelink::GameState::InUse);
    } else if (gamelink::HeldGame() == 0 && gamelink::GameUnclaimable()) {
        std::string why;
        os::userRuntimeFolder(&why);
        detail_ = QString::fromStdString(why);
        setState(gamelink::GameState::Unclaimable);
    } else if (Memory::AccessRefused()) {
        setState(gamelink::GameState::AccessRefused);
    } else if (!gamelink::GameMatchesChosenEdition()) {
        setState(gamelink::GameState::OtherEdition);
    } else {
        setState(playing ? gamelink::GameState::Racing : gamelink::GameState::Menu);
    }
    // The others learn whether this player's car comes out of a game.
    session_.setGameLinked(state_ == gamelink::GameState::Menu ||
                           state_ == gamelink::GameState::Racing);
    if (!playing) {
        return;
    }

    Memory::AttachFound(game);
    const QByteArray message = session_.sendCarState(gamelink::ReadLocalCar(gameVersion));
    if (observer_) {
        observer_(message);
    }
}

}  // namespace orvel
