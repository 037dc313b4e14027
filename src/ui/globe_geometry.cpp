#include "globe_geometry.h"

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>

#include <cmath>
#include <numbers>

namespace qor::globe {

const QList<City> cities = {
    {18, -30}, {42, 20}, {-22, 60}, {56, 100}, {6, 150},
    {-38, 118}, {-28, -66}, {26, -100}, {50, -150}, {-6, 24},
};

const QList<Arc> arcs = {
    {8, 4, 0.16, 0.00}, {0, 6, 0.13, 0.35}, {2, 9, 0.18, 0.62}, {4, 7, 0.15, 0.18}, {3, 8, 0.14, 0.83},
};

namespace {
constexpr double degree = std::numbers::pi / 180.0;

struct Vec3 {
    double x, y, z;
};

Vec3 unitVector(double latitude, double longitude)
{
    const double phi = latitude * degree;
    const double lambda = longitude * degree;
    return {std::cos(phi) * std::sin(lambda), std::sin(phi), std::cos(phi) * std::cos(lambda)};
}

Vec3 slerp(const Vec3 &a, const Vec3 &b, double s)
{
    const double dot = std::clamp(a.x * b.x + a.y * b.y + a.z * b.z, -1.0, 1.0);
    const double omega = std::acos(dot);
    const double sinOmega = std::sin(omega);
    if (std::abs(sinOmega) < 1e-9)
        return a;
    const double wa = std::sin((1 - s) * omega) / sinOmega;
    const double wb = std::sin(s * omega) / sinOmega;
    return {wa * a.x + wb * b.x, wa * a.y + wb * b.y, wa * a.z + wb * b.z};
}

QPointF lifted(const QPointF &centre, double radius, const Vec3 &a, const Vec3 &b, double s)
{
    const Vec3 p = slerp(a, b, s);
    const double r = radius * (1 + 0.2 * std::sin(std::numbers::pi * s));
    return {centre.x() + r * p.x, centre.y() - r * p.y};
}

struct Sample {
    QPointF point;
    bool front;
};

void addRuns(QList<Run> &runs, const QList<Sample> &line)
{
    Run current;
    const auto flush = [&] {
        if (current.points.size() >= 2)
            runs.append(current);
        current.points.clear();
    };
    for (const Sample &sample : line) {
        if (!current.points.isEmpty() && sample.front != current.front)
            flush();
        current.front = sample.front;
        current.points.append(sample.point);
    }
    flush();
}
} // namespace

double timeNow()
{
    static const qint64 epoch = QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    return double(QDateTime::currentMSecsSinceEpoch() - epoch) / 1000.0;
}

double rotationAt(double t)
{
    return std::fmod(6.0 * t, 360.0);
}

double radiusFor(const QSizeF &size)
{
    return std::min(size.width(), size.height()) * 0.5 * 0.82;
}

QPointF project(const QPointF &centre, double radius, double latitude, double longitude)
{
    const double phi = latitude * degree;
    const double lambda = longitude * degree;
    return {centre.x() + radius * std::cos(phi) * std::sin(lambda), centre.y() - radius * std::sin(phi)};
}

bool onFront(double latitude, double longitude)
{
    return std::cos(latitude * degree) * std::cos(longitude * degree) >= 0;
}

Frame frameAt(const QSizeF &size, double t)
{
    Frame frame;
    frame.rotation = rotationAt(t);
    frame.centre = QPointF(size.width() / 2, size.height() / 2);
    frame.radius = radiusFor(size);
    const double r = frame.rotation;
    const QPointF c = frame.centre;
    const double R = frame.radius;

    for (int base = 0; base <= 150; base += 30) {
        QList<Sample> meridian;
        for (int phi = -90; phi <= 90; phi += 6)
            meridian.append({project(c, R, phi, r + base), onFront(phi, r + base)});
        addRuns(frame.runs, meridian);
    }
    for (int phi : {-60, -30, 0, 30, 60}) {
        QList<Sample> parallel;
        for (int base = 0; base <= 360; base += 6)
            parallel.append({project(c, R, phi, r + base), onFront(phi, r + base)});
        addRuns(frame.runs, parallel);
    }

    for (const Arc &arc : arcs) {
        const City &from = cities.at(arc.from);
        const City &to = cities.at(arc.to);
        const Vec3 a = unitVector(from.latitude, from.longitude + r);
        const Vec3 b = unitVector(to.latitude, to.longitude + r);
        ArcPath path;
        for (int k = 0; k <= 26; ++k)
            path.points.append(lifted(c, R, a, b, k / 26.0));
        const double travelled = t * arc.speed + arc.phase;
        path.dot = lifted(c, R, a, b, travelled - std::floor(travelled));
        frame.arcs.append(path);
    }

    for (const City &city : cities) {
        const double lambda = city.longitude + r;
        const bool front = std::cos(city.latitude * degree) * std::cos(lambda * degree) >= -0.05;
        frame.cities.append({project(c, R, city.latitude, lambda), front});
    }
    return frame;
}

} // namespace qor::globe
