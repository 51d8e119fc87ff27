#pragma once
// The one circuit: a stadium (two straights joined by half circles) around the origin, driven
// clockwise on screen (y grows downwards). Distances are world units along the centre line.

#include <QPointF>

namespace standin {

class Track {
public:
    static constexpr double kHalfStraight = 150.0;
    static constexpr double kRadius = 120.0;
    static constexpr double kHalfWidth = 30.0;

    static double length();

    // Point on the centre line at distance s from the start line (any s; wraps around).
    static QPointF point(double s);
    // Direction of travel at distance s, in radians (direction vector (cos, sin)).
    static double heading(double s);
    // Point at distance s moved sideways by `lane` (positive: to the right of travel).
    static QPointF lanePoint(double s, double lane);

    struct Projection {
        double s;         // distance along the centre line, 0 <= s < length()
        double distance;  // distance from the centre line (>= 0)
    };
    // Nearest centre-line point to p. Non-finite p gives an infinite distance.
    static Projection project(QPointF p);

    static bool onTrack(QPointF p, double margin = 0.0);
};

}  // namespace standin
