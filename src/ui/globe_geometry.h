#pragma once

#include <QList>
#include <QPointF>
#include <QSizeF>

// The geometry of one frame of the turning globe, apart from drawing it, so the
// projection and the frame rule can be checked point by point.
namespace qor::globe {

// The time of the single still frame drawn when motion is reduced.
constexpr double reducedMotionTime = 3.2;

struct City {
    double latitude;
    double longitude;
};

struct Arc {
    int from;
    int to;
    double speed; // of the travelling dot, in arc lengths per second
    double phase;
};

extern const QList<City> cities;
extern const QList<Arc> arcs;

// A stretch of a meridian or parallel whose points all lie on one side.
struct Run {
    QList<QPointF> points;
    bool front;
};

struct CityMark {
    QPointF position;
    bool front; // drawn in the globe colour; otherwise as a small outline dot
};

struct ArcPath {
    QList<QPointF> points; // the lifted great-circle curve, 27 points
    QPointF dot;           // the travelling dot
};

struct Frame {
    QPointF centre;
    double radius = 0;
    double rotation = 0; // degrees
    QList<Run> runs;     // meridians first, then parallels; only runs of two or more points
    QList<ArcPath> arcs;
    QList<CityMark> cities;
};

// Seconds since 2001-01-01 00:00:00 UTC, the epoch the rotation counts from.
double timeNow();

double rotationAt(double t);
double radiusFor(const QSizeF &size);
// Latitude φ and longitude λ in degrees, λ already including the rotation.
QPointF project(const QPointF &centre, double radius, double latitude, double longitude);
bool onFront(double latitude, double longitude);

Frame frameAt(const QSizeF &size, double t);

} // namespace qor::globe
