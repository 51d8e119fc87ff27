#include "track.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace standin {
namespace {

constexpr double L = Track::kHalfStraight;
constexpr double R = Track::kRadius;
constexpr double kPi = std::numbers::pi;
constexpr double kArc = kPi * R;

// Pieces in driving order, starting at the start line in the middle of the top straight:
// top straight (second half), right half circle, bottom straight, left half circle, top
// straight (first half).
double wrap(double s) {
    const double len = Track::length();
    double w = std::fmod(s, len);
    if (w < 0) {
        w += len;
    }
    return w;
}

}  // namespace

double Track::length() {
    return 4 * L + 2 * kArc;
}

QPointF Track::point(double s) {
    s = wrap(s);
    if (s < L) {
        return {s, -R};
    }
    s -= L;
    if (s < kArc) {
        const double a = -kPi / 2 + s / R;
        return {L + R * std::cos(a), R * std::sin(a)};
    }
    s -= kArc;
    if (s < 2 * L) {
        return {L - s, R};
    }
    s -= 2 * L;
    if (s < kArc) {
        const double a = kPi / 2 + s / R;
        return {-L + R * std::cos(a), R * std::sin(a)};
    }
    s -= kArc;
    return {-L + s, -R};
}

double Track::heading(double s) {
    s = wrap(s);
    if (s < L) {
        return 0.0;
    }
    s -= L;
    if (s < kArc) {
        return s / R;
    }
    s -= kArc;
    if (s < 2 * L) {
        return kPi;
    }
    s -= 2 * L;
    if (s < kArc) {
        return kPi + s / R;
    }
    return 0.0;
}

QPointF Track::lanePoint(double s, double lane) {
    const QPointF c = point(s);
    const double h = heading(s);
    // Right of travel with y downwards is (-sin, cos).
    return {c.x() - lane * std::sin(h), c.y() + lane * std::cos(h)};
}

Track::Projection Track::project(QPointF p) {
    const double x = p.x();
    const double y = p.y();
    if (!std::isfinite(x) || !std::isfinite(y)) {
        return {0.0, std::numeric_limits<double>::infinity()};
    }
    if (x >= -L && x <= L) {
        if (y < 0) {
            return {wrap(x), std::abs(y + R)};
        }
        return {L + kArc + (L - x), std::abs(y - R)};
    }
    if (x > L) {
        const double a = std::atan2(y, x - L);  // -pi/2 .. pi/2 on the track's side
        return {wrap(L + (a + kPi / 2) * R), std::abs(std::hypot(x - L, y) - R)};
    }
    double a = std::atan2(y, x + L);  // pi/2 .. 3pi/2 on the track's side
    if (a < 0) {
        a += 2 * kPi;
    }
    return {wrap(3 * L + kArc + (a - kPi / 2) * R), std::abs(std::hypot(x + L, y) - R)};
}

bool Track::onTrack(QPointF p, double margin) {
    return project(p).distance <= kHalfWidth + margin;
}

}  // namespace standin
