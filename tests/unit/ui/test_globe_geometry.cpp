// The globe's projection and frame rule, checked against values worked out
// independently (a separate implementation of the same formulas).

#include "ui/globe_geometry.h"

#include <QTest>

using namespace qor;

namespace {
void comparePoint(const QPointF &actual, double x, double y)
{
    QVERIFY2(std::abs(actual.x() - x) < 1e-3 && std::abs(actual.y() - y) < 1e-3,
             qPrintable(QStringLiteral("(%1, %2) instead of (%3, %4)").arg(actual.x()).arg(actual.y()).arg(x).arg(y)));
}
} // namespace

class TestGlobeGeometry : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void projectionRotationAndRadius()
    {
        // One turn a minute, wrapping, and exact years after the epoch.
        const std::pair<double, double> turns[] = {{0, 0}, {3.2, 19.2}, {30, 180}, {60, 0}, {1e9 + 0.5, 243}};
        for (const auto &[t, degrees] : turns)
            QVERIFY2(std::abs(globe::rotationAt(t) - degrees) < 1e-6, qPrintable(QString::number(t)));
        QVERIFY(globe::timeNow() > 7.0e8); // seconds since 2001-01-01

        const QPointF c(100, 100);
        comparePoint(globe::project(c, 82, 0, 0), 100, 100);
        comparePoint(globe::project(c, 82, 90, 0), 100, 18);
        comparePoint(globe::project(c, 82, 0, 90), 182, 100);
        comparePoint(globe::project(c, 82, 0, -90), 18, 100);
        QVERIFY(globe::onFront(0, 0) && globe::onFront(30, 89) && globe::onFront(-60, 300));
        QVERIFY(!globe::onFront(30, 91) && !globe::onFront(-60, 180));

        // The smaller side sets the radius.
        QCOMPARE(globe::radiusFor(QSizeF(200, 200)), 82.0);
        QVERIFY(std::abs(globe::radiusFor(QSizeF(300, 160)) - 65.6) < 1e-9);
        QVERIFY(std::abs(globe::radiusFor(QSizeF(160, 300)) - 65.6) < 1e-9);
        const globe::Frame wide = globe::frameAt(QSizeF(300, 160), 0);
        comparePoint(wide.centre, 150, 80);
        comparePoint(wide.cities.at(1).position, 166.67358, 36.10503); // 42° N, 20° E unturned
    }

    // At t = 2.5 s the globe has turned 15°: three meridians face the viewer and
    // three are behind; every parallel is cut into front, back and front again.
    void frameAtAQuarterMinuteTurn()
    {
        const globe::Frame frame = globe::frameAt(QSizeF(200, 200), 2.5);
        QCOMPARE(frame.runs.size(), 6 + 5 * 3);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(frame.runs.at(i).points.size(), 31);
            QCOMPARE(frame.runs.at(i).front, i < 3);
        }
        // The first meridian (λ = 15°) runs from the south pole to the north pole.
        comparePoint(frame.runs.at(0).points.first(), 100, 182);
        comparePoint(frame.runs.at(0).points.last(), 100, 18);
        for (int p = 0; p < 5; ++p) {
            const int first = 6 + 3 * p;
            QCOMPARE(frame.runs.at(first).points.size(), 13);     // λ 15° … 87°
            QCOMPARE(frame.runs.at(first + 1).points.size(), 30); // λ 93° … 267°
            QCOMPARE(frame.runs.at(first + 2).points.size(), 18); // λ 273° … 375°
            QVERIFY(frame.runs.at(first).front && !frame.runs.at(first + 1).front && frame.runs.at(first + 2).front);
        }
        for (const QPointF &point : frame.runs.at(6 + 3 * 2).points) // the equator's front run
            QVERIFY(std::abs(point.y() - 100) < 1e-9);

        QCOMPARE(frame.cities.size(), 10);
        const struct {
            int index;
            double x, y;
            bool front;
        } cities[] = {{0, 79.8156, 74.6606, true}, {3, 141.5577, 32.0189, false}, {6, 43.7333, 138.4967, true},
                      {8, 62.7294, 37.1844, false}, {9, 151.3216, 108.5713, true}};
        for (const auto &city : cities) {
            comparePoint(frame.cities.at(city.index).position, city.x, city.y);
            QVERIFY2(frame.cities.at(city.index).front == city.front, qPrintable(QString::number(city.index)));
        }

        // Arcs are lifted great circles whose ends sit on the cities (no lift at s = 0 and 1).
        QCOMPARE(frame.arcs.size(), 5);
        for (int i = 0; i < frame.arcs.size(); ++i) {
            const globe::ArcPath &arc = frame.arcs.at(i);
            QCOMPARE(arc.points.size(), 27);
            const QPointF from = frame.cities.at(globe::arcs.at(i).from).position, to = frame.cities.at(globe::arcs.at(i).to).position;
            comparePoint(arc.points.first(), from.x(), from.y());
            comparePoint(arc.points.last(), to.x(), to.y());
        }
        // Arc 8 → 4: its middle, lifted by a fifth of the radius, and its dot at s = 0.4.
        comparePoint(frame.arcs.at(0).points.at(13), 88.4072, 48.8004);
        comparePoint(frame.arcs.at(0).dot, 81.2422, 42.7417);
        // Arc 2 → 9: 2.5 × 0.18 + 0.62 = 1.07, so its dot has wrapped round to s = 0.07.
        comparePoint(frame.arcs.at(2).dot, 176.0595, 130.7985);
    }

    // A city just past the limb (cos φ·cos λ = −0.032) still counts as in front.
    void cityJustBehindTheLimbIsStillDrawnInFront()
    {
        QVERIFY(globe::frameAt(QSizeF(200, 200), 16.0 / 3.0).cities.at(2).front);
        QVERIFY(!globe::onFront(-22, 60 + 32));
    }
};

QTEST_APPLESS_MAIN(TestGlobeGeometry)
#include "test_globe_geometry.moc"
