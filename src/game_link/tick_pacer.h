#pragma once
// Lets the game link's 50 ms timer rest while there is no game: the window system's news of a
// window made, renamed or put into a frame wakes it, so waiting for the game costs nothing. With
// a game there, or where the window system cannot tell news, the timer ticks as always.
#include <QObject>

#include "game_link/game_status.h"

class QSocketNotifier;
class QTimer;

namespace orvel::gamelink {

class TickPacer : public QObject {
public:
    // timer: the tick's timer, which the pacer stops and starts again.
    explicit TickPacer(QTimer* timer);
    ~TickPacer() override;

    // After a tick: with no window of the game's title at all, while the timer drives the
    // ticks, rests the timer until the window system has news.
    void afterTick(GameState state);
    // Neither rests nor wakes the timer any more (the link has ended).
    void stop();
    bool resting() const { return resting_; }

private:
    void rest(int handle);
    void wake();

    QTimer* timer_;
    QSocketNotifier* notifier_ = nullptr;
    bool resting_ = false;
    bool stopped_ = false;
};

}  // namespace orvel::gamelink
