#pragma once

// The 50 ms tick of the main window's timer: watches for the game's window, gives a newly seen
// game one second to settle, keeps the game patches in place, and during a race sends the local
// car's state to every other player through the race session.

#include <QByteArray>
#include <QString>
#include <functional>

#include "game_link/game_status.h"

namespace orvel {

class RaceSession;

class CarStateTick {
public:
    static constexpr int kSettlingMilliseconds = 1000;

    // Blocks the calling thread for the given time.
    using Sleep = std::function<void(int milliseconds)>;
    // Sees every car-state message the tick builds, sent or not.
    using MessageObserver = std::function<void(const QByteArray& message)>;

    // Sees the game's state each time it changes, before the tick goes on (so a window can
    // show "settling" before the wait).
    using StateObserver = std::function<void(gamelink::GameState)>;

    explicit CarStateTick(RaceSession& session);
    // Gives the game back (patched bytes restored, claim released).
    ~CarStateTick();
    CarStateTick(const CarStateTick&) = delete;
    CarStateTick& operator=(const CarStateTick&) = delete;

    // One tick.
    void run();

    // True from the end of the settling wait until a tick finds no game window.
    bool gameDetected() const { return gameDetected_; }
    gamelink::GameState state() const { return state_; }
    // What the state's text needs besides: for OtherUser the user the game's window belongs
    // to, for Unclaimable why there is no private runtime folder.
    const QString& detail() const { return detail_; }

    // Seams for tests: the settling wait (by default a real, blocking sleep) and a view of the
    // messages.
    void setSleep(Sleep sleep) { sleep_ = std::move(sleep); }
    void setMessageObserver(MessageObserver observer) { observer_ = std::move(observer); }
    void setStateObserver(StateObserver observer) { stateObserver_ = std::move(observer); }

private:
    void setState(gamelink::GameState state);

    RaceSession& session_;
    bool gameDetected_ = false;
    gamelink::GameState state_ = gamelink::GameState::NotFound;
    QString detail_;
    QString shownDetail_;
    StateObserver stateObserver_;
    Sleep sleep_;
    MessageObserver observer_;
};

}  // namespace orvel
