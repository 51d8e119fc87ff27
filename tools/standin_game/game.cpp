#include "game.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "game_memory.h"
#include "track.h"

namespace standin {
namespace {

Game* g_current = nullptr;

constexpr double kAutopilotSpeed = 130.0;
constexpr double kMaxSpeed = 220.0;
constexpr double kMaxReverse = -60.0;
constexpr double kGrassSpeed = 70.0;
constexpr double kAccel = 160.0;
constexpr double kBrake = 260.0;
constexpr double kTurnRate = 2.4;  // radians per second at full lock
constexpr double kWorldLimit = 1000.0;
constexpr double kGridGap = 24.0;  // distance between grid places
constexpr double kOffTrackMargin = 12.0;
// Opponents keep to lanes so they can pass each other.
constexpr double kLanes[kCarSlots] = {0.0, -14.0, 14.0, -7.0, 7.0, -20.0};
constexpr std::uint8_t kOpponentColours[kCarSlots][3] = {
    {0, 0, 0}, {40, 110, 230}, {250, 200, 30}, {40, 180, 80}, {230, 120, 20}, {170, 60, 200}};

bool sane(float v) {
    return std::isfinite(v) && std::abs(v) < kWorldLimit;
}

std::uint32_t lapOf(double progress) {
    return progress <= 0.0 ? 0u : static_cast<std::uint32_t>(std::min(std::floor(progress), 1e6));
}

}  // namespace

Game::Game(const Edition& edition, QColor colour) : edition_(edition), colour_(colour) {
    g_current = this;
}

Game::~Game() {
    if (g_current == this) {
        g_current = nullptr;
    }
}

Game* Game::current() {
    return g_current;
}

const char* Game::modeName(Mode m) {
    switch (m) {
        case Mode::Menu:
            return "menu";
        case Mode::Race:
            return "race";
        case Mode::Paused:
            return "paused";
    }
    return "menu";
}

void Game::writeStatus(std::int32_t status) {
    writeU32(edition_.statusWord, static_cast<std::uint32_t>(status));
}

void Game::writeCarHead(std::uint32_t r, QPointF p, double heading, double speed, double steer,
                        double throttle) {
    writeF32(r + rec::x, static_cast<float>(p.x()));
    writeF32(r + rec::y, static_cast<float>(p.y()));
    writeF32(r + rec::heading, static_cast<float>(std::remainder(heading, 2 * std::numbers::pi)));
    writeF32(r + rec::speed, static_cast<float>(speed));
    writeF32(r + rec::steer, static_cast<float>(steer));
    writeF32(r + rec::throttle, static_cast<float>(throttle));
    writeU32(r + rec::present, 1);
}

void Game::initialise() {
    // The whole head of car 0 belongs to the game: unused bytes are zero, the livery is set.
    const std::uint32_t r = carRecord(0);
    writeBytes(r, QByteArray(kHeadBytes, '\0'));
    writeBytes(r + kTailOffset, QByteArray(kTailBytes, '\0'));
    writeCarHead(r, Track::point(0), Track::heading(0), 0, 0, 0);
    const char livery[4] = {static_cast<char>(colour_.red()), static_cast<char>(colour_.green()),
                            static_cast<char>(colour_.blue()), 0};
    writeBytes(r + rec::livery, QByteArray(livery, 4));
    QByteArray stripes(kHeadBytes - (rec::stripes), '\0');
    for (int i = 0; i < stripes.size(); ++i) {
        stripes[i] = static_cast<char>((i * 37 + colour_.red()) & 0xFF);
    }
    writeBytes(r + rec::stripes, stripes);
    writeF32(r + rec::play, 0.0f);
    writeStatus(1);
}

void Game::startRace() {
    mode_ = Mode::Race;
    // The race clock doubles as the play value; it is above zero from the first moment.
    clock_ = 0.001;
    lapStart_ = clock_;
    const std::uint32_t r = carRecord(0);
    writeCarHead(r, Track::lanePoint(0, kLanes[0]), Track::heading(0), 0, 0, 0);
    writeU32(r + rec::frames, 0);
    writeF32(r + rec::odometer, 0);
    writeF32(r + rec::progress, 0);
    writeU32(r + rec::lap, 0);
    writeF32(r + rec::lastLap, 0);
    writeF32(r + rec::play, static_cast<float>(clock_));
    writeStatus(0);
}

void Game::endRace() {
    mode_ = Mode::Menu;
    releaseKeys();
    writeF32(carRecord(0) + rec::play, 0.0f);
    writeStatus(1);
}

void Game::pause() {
    if (mode_ == Mode::Race) {
        mode_ = Mode::Paused;
        writeStatus(2);
    }
}

void Game::resume() {
    if (mode_ == Mode::Paused) {
        mode_ = Mode::Race;
        writeStatus(0);
    }
}

void Game::setKey(Key key, bool down) {
    switch (key) {
        case Key::Up:
            up_ = down;
            break;
        case Key::Down:
            down_ = down;
            break;
        case Key::Left:
            left_ = down;
            break;
        case Key::Right:
            right_ = down;
            break;
    }
}

void Game::releaseKeys() {
    up_ = down_ = left_ = right_ = false;
}

void Game::placeCar0(double x, double y, double heading) {
    writeCarHead(carRecord(0), QPointF(x, y), heading, 0, 0, 0);
}

void Game::frame(double dt) {
    ++frames_;
    dt_ = std::clamp(dt, 0.0, 0.1);
    if (mode_ == Mode::Race && !held_) {
        clock_ += dt_;
        driveCar0(dt_);
        writeF32(carRecord(0) + rec::play, static_cast<float>(clock_));
    }
    callSite(edition_.siteA);
    callSite(edition_.siteB);
}

void Game::driveCar0(double dt) {
    const std::uint32_t r = carRecord(0);
    float x = readF32(r + rec::x);
    float y = readF32(r + rec::y);
    float heading = readF32(r + rec::heading);
    float speed = readF32(r + rec::speed);
    if (!sane(x) || !sane(y) || !std::isfinite(heading) || !std::isfinite(speed)) {
        // Someone wrote nonsense into the local car: put it back on the start line.
        const QPointF p = Track::point(0);
        x = static_cast<float>(p.x());
        y = static_cast<float>(p.y());
        heading = 0;
        speed = 0;
    }
    const Track::Projection before = Track::project(QPointF(x, y));
    QPointF p;
    double h = heading;
    double v = speed;
    double steer = 0;
    double throttle = 0;
    if (autopilot_) {
        v = kAutopilotSpeed;
        throttle = 1;
        const double s = before.s + v * dt;
        p = Track::lanePoint(s, kLanes[0]);
        h = Track::heading(s);
    } else {
        throttle = (up_ ? 1.0 : 0.0) - (down_ ? 1.0 : 0.0);
        steer = (right_ ? 1.0 : 0.0) - (left_ ? 1.0 : 0.0);
        if (throttle > 0) {
            v += (v < 0 ? kBrake : kAccel) * dt;
        } else if (throttle < 0) {
            v -= (v > 0 ? kBrake : kAccel) * dt;
        } else {
            v -= v * std::min(1.0, 2.5 * dt);
            if (std::abs(v) < 2.0) {
                v = 0;
            }
        }
        const double top = before.distance > Track::kHalfWidth ? kGrassSpeed : kMaxSpeed;
        v = std::clamp(v, kMaxReverse, top);
        h += steer * kTurnRate * dt * std::clamp(v / 60.0, -1.0, 1.0);
        p = QPointF(x + v * dt * std::cos(h), y + v * dt * std::sin(h));
        p.setX(std::clamp(p.x(), -kWorldLimit + 1, kWorldLimit - 1));
        p.setY(std::clamp(p.y(), -kWorldLimit + 1, kWorldLimit - 1));
    }
    writeCarHead(r, p, h, v, steer, throttle);
    writeU32(r + rec::frames, readU32(r + rec::frames) + 1);
    const float odo = readF32(r + rec::odometer);
    writeF32(r + rec::odometer, static_cast<float>((std::isfinite(odo) ? odo : 0.0f) +
                                                   std::hypot(p.x() - x, p.y() - y)));

    // Progress follows the car along the centre line; crossing the start line counts a lap.
    const double len = Track::length();
    const Track::Projection after = Track::project(p);
    double progress = readF32(r + rec::progress);
    if (!std::isfinite(progress) || std::abs(progress) > 1e6) {
        progress = after.s / len;
    }
    double delta = (after.s - before.s) / len;
    delta -= std::round(delta);
    const std::uint32_t lapBefore = lapOf(progress);
    progress += delta;
    const std::uint32_t lapAfter = lapOf(progress);
    writeF32(r + rec::progress, static_cast<float>(progress));
    writeU32(r + rec::lap, lapAfter);
    if (lapAfter > lapBefore) {
        writeF32(r + rec::lastLap, static_cast<float>(clock_ - lapStart_));
        lapStart_ = clock_;
    }
}

void Game::opponentAi() {
    ++counters_.aRuns;
    if (mode_ != Mode::Race) {
        return;
    }
    const double len = Track::length();
    for (int n = 1; n < kCarSlots; ++n) {
        const std::uint32_t r = carRecord(n);
        if (readU32(r + rec::present) != 1) {
            continue;  // not placed yet; routine B puts it on the grid
        }
        double progress = readF32(r + rec::progress);
        if (!std::isfinite(progress) || std::abs(progress) > 1e6) {
            progress = 0;
        }
        const double v = 110.0 + 8.0 * n;
        progress += v * dt_ / len;
        const double s = progress * len;
        const QPointF p = Track::lanePoint(s, kLanes[n]);
        const bool moved = readF32(r + rec::x) != static_cast<float>(p.x()) ||
                           readF32(r + rec::y) != static_cast<float>(p.y());
        writeCarHead(r, p, Track::heading(s), v, 0, 1);
        writeF32(r + rec::progress, static_cast<float>(progress));
        writeU32(r + rec::lap, lapOf(progress));
        if (moved) {
            ++counters_.aMoves;
        }
    }
}

void Game::opponentReset() {
    ++counters_.bRuns;
    if (mode_ != Mode::Race) {
        return;
    }
    const double len = Track::length();
    for (int n = 1; n < kCarSlots; ++n) {
        const std::uint32_t r = carRecord(n);
        const float x = readF32(r + rec::x);
        const float y = readF32(r + rec::y);
        if (readU32(r + rec::present) == 1 && sane(x) && sane(y) &&
            Track::onTrack(QPointF(x, y), kOffTrackMargin)) {
            continue;
        }
        // Off the track (or never placed): back to its grid place behind the start line.
        const double s = -n * kGridGap;
        writeCarHead(r, Track::lanePoint(s, kLanes[n]), Track::heading(s), 0, 0, 0);
        writeU32(r + rec::frames, 0);
        writeF32(r + rec::odometer, 0);
        const char livery[4] = {static_cast<char>(kOpponentColours[n][0]),
                                static_cast<char>(kOpponentColours[n][1]),
                                static_cast<char>(kOpponentColours[n][2]), static_cast<char>(n)};
        writeBytes(r + rec::livery, QByteArray(livery, 4));
        writeF32(r + rec::progress, static_cast<float>(s / len));
        writeU32(r + rec::lap, 0);
        writeF32(r + rec::lastLap, 0);
        ++counters_.bMoves;
    }
}

CarView Game::car(int slot) const {
    const std::uint32_t r = carRecord(slot);
    CarView c;
    c.x = readF32(r + rec::x);
    c.y = readF32(r + rec::y);
    c.heading = readF32(r + rec::heading);
    c.speed = readF32(r + rec::speed);
    c.present = readU32(r + rec::present) == 1;
    c.progress = readF32(r + rec::progress);
    c.play = readF32(r + rec::play);
    c.lap = readU32(r + rec::lap);
    const QByteArray livery = readBytes(r + rec::livery, 4);
    c.colour = QColor(static_cast<std::uint8_t>(livery[0]), static_cast<std::uint8_t>(livery[1]),
                      static_cast<std::uint8_t>(livery[2]));
    c.number = static_cast<std::uint8_t>(livery[3]);
    return c;
}

// The routines the patch sites lead to.
void routineOpponentAi() {
    if (Game* g = Game::current()) {
        g->opponentAi();
    }
}

void routineOpponentReset() {
    if (Game* g = Game::current()) {
        g->opponentReset();
    }
}

}  // namespace standin
