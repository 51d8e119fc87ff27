#pragma once
// The race itself: menu and race, the local car (keys or autopilot), and the two routines that
// sit behind the patch sites. Every car's state lives in the game memory, never in this object,
// so whatever another process writes there is what the game drives and draws.

#include <QColor>
#include <QPointF>
#include <cstdint>

#include "layout.h"

namespace standin {

enum class Mode { Menu, Race, Paused };

struct CarView {
    float x = 0, y = 0, heading = 0, speed = 0;
    bool present = false;
    float progress = 0, play = 0;
    std::uint32_t lap = 0;
    QColor colour;
    int number = 0;
};

class Game {
public:
    Game(const Edition& edition, QColor colour);
    ~Game();
    Game(const Game&) = delete;
    Game& operator=(const Game&) = delete;

    // The routines run through their patch sites; they find the game here.
    static Game* current();

    const Edition& edition() const { return edition_; }
    Mode mode() const { return mode_; }
    static const char* modeName(Mode m);

    // Puts car 0 in its place and the status word at "menu"; call once the memory is mapped.
    void initialise();

    void startRace();
    void endRace();
    void pause();
    void resume();

    // Holding keeps car 0 and the race clock exactly as they are while the race goes on, so
    // that a reader can compare what it copied with what the game holds.
    bool held() const { return held_; }
    void setHeld(bool on) { held_ = on; }

    bool autopilot() const { return autopilot_; }
    void setAutopilot(bool on) { autopilot_ = on; }

    enum class Key { Up, Down, Left, Right };
    void setKey(Key key, bool down);
    void releaseKeys();

    // Moves car 0 there, standing still.
    void placeCar0(double x, double y, double heading);

    // One frame: the local car, then routine A and routine B through their sites.
    void frame(double dt);
    std::uint64_t frameCount() const { return frames_; }

    std::uint32_t carRecord(int slot) const { return edition_.car0 + slot * kRecordStride; }
    CarView car(int slot) const;

    struct Counters {
        std::uint64_t aRuns = 0, aMoves = 0, bRuns = 0, bMoves = 0;
    };
    const Counters& counters() const { return counters_; }

    // Bodies of the routines at the patch sites.
    void opponentAi();
    void opponentReset();

private:
    void writeStatus(std::int32_t status);
    void driveCar0(double dt);
    void writeCarHead(std::uint32_t r, QPointF p, double heading, double speed, double steer,
                      double throttle);

    const Edition& edition_;
    QColor colour_;
    Mode mode_ = Mode::Menu;
    bool autopilot_ = false;
    bool held_ = false;
    bool up_ = false, down_ = false, left_ = false, right_ = false;
    double clock_ = 0.0;
    double lapStart_ = 0.0;
    double dt_ = 0.0;
    std::uint64_t frames_ = 0;
    Counters counters_;
};

// What the patch sites lead to (through a stub), one per routine.
void routineOpponentAi();
void routineOpponentReset();

}  // namespace standin
