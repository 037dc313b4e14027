// The globe's frame timer runs only while the globe can be seen, and reduced
// motion shows the still frame of t = 3.2 s.

#include "qml_host.h"
#include "component_samples.h"

#include "ui/globe_canvas.h"
#include "ui/globe_geometry.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;

namespace {
const QSize windowSize(240, 240);

QString globeDocument(const QString &extra = QString())
{
    return samples::document(QStringLiteral("Item { objectName: \"holder\"; anchors.fill: parent\n"
                                            "  GlobeCanvas { objectName: \"globe\"; x: 20; y: 20; width: 200; height: 200;"
                                            " color: \"#2a6fd0\"; outlineColor: Theme.outline %1 } }")
                                 .arg(extra),
                             windowSize);
}
} // namespace

class TestGlobeCanvas : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        testing::QmlHost::useSoftwareRenderer();
        testing::WarningLog::install();
    }

    void cleanup()
    {
        const QStringList warnings = testing::WarningLog::take();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    void timerRunsOnlyWhileSeen()
    {
        testing::QmlHost host;
        testing::HostedItem hosted = host.show(globeDocument(), windowSize);
        auto *globe = hosted.find<GlobeCanvas>(QStringLiteral("globe"));
        QQuickItem *holder = hosted.find(QStringLiteral("holder"));
        QVERIFY(globe && holder);
        QVERIFY(globe->animating());
        QCOMPARE(globe->frameInterval(), 16);
        QSignalSpy animating(globe, &GlobeCanvas::animatingChanged);

        globe->setVisible(false);
        QVERIFY(!globe->animating());
        globe->setVisible(true);
        QVERIFY(globe->animating());

        // Hiding an ancestor hides the globe too.
        holder->setVisible(false);
        QVERIFY(!globe->animating());
        holder->setVisible(true);
        QVERIFY(globe->animating());

        // No size, nothing to draw.
        globe->setWidth(0);
        QVERIFY(!globe->animating());
        globe->setWidth(200);
        QVERIFY(globe->animating());

        // The window itself hidden or minimised.
        hosted.window->hide();
        QTRY_VERIFY_WITH_TIMEOUT(!globe->animating(), 2000);
        hosted.window->show();
        QTRY_VERIFY_WITH_TIMEOUT(globe->animating(), 2000);
        hosted.window->showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!globe->animating(), 2000);
        hosted.window->showNormal();
        QTRY_VERIFY_WITH_TIMEOUT(globe->animating(), 2000);

        // Taken out of the window altogether.
        globe->setParentItem(nullptr);
        QVERIFY(!globe->animating());
        globe->setParentItem(holder);
        QTRY_VERIFY_WITH_TIMEOUT(globe->animating(), 2000);
        QCOMPARE(animating.size(), 12);
    }

    void reducedMotionStopsTheTimer()
    {
        testing::QmlHost host;
        testing::HostedItem hosted = host.show(globeDocument(QStringLiteral("; reduceMotion: true")), windowSize);
        auto *globe = hosted.find<GlobeCanvas>(QStringLiteral("globe"));
        QVERIFY(globe);
        QVERIFY(!globe->animating());
        globe->setReduceMotion(false);
        QVERIFY(globe->animating());
        globe->setReduceMotion(true);
        QVERIFY(!globe->animating());
    }

    // The still frame shows the cities where the geometry puts them at t = 3.2 s.
    void stillFrameIsTheFrameAtThreePointTwo()
    {
        testing::QmlHost host;
        host.theme.setAppearance(1);
        testing::HostedItem hosted = host.show(globeDocument(QStringLiteral("; reduceMotion: true")), windowSize);
        const QImage image = hosted.window->grabWindow();
        const globe::Frame frame = globe::frameAt(QSizeF(200, 200), globe::reducedMotionTime);
        QCOMPARE(frame.rotation, 6 * 3.2);
        const QRgb blue = QColor(0x2a6fd0).rgb();
        int front = 0, back = 0;
        for (const globe::CityMark &city : frame.cities) {
            const QPoint at = (city.position + QPointF(20, 20)).toPoint();
            const QRgb pixel = image.pixel(at);
            if (city.front) {
                ++front;
                QCOMPARE(QColor(pixel).name(), QColor(blue).name());
            } else {
                ++back;
                QVERIFY(QColor(pixel).name() != QColor(blue).name());
            }
        }
        QVERIFY(front > 0 && back > 0);
        // The travelling dots are drawn in full colour too.
        for (const globe::ArcPath &arc : frame.arcs)
            QCOMPARE(QColor(image.pixel((arc.dot + QPointF(20, 20)).toPoint())).name(), QColor(blue).name());
        // Far outside the lifted arcs nothing is drawn.
        QCOMPARE(QColor(image.pixel(21, 21)).name(), host.theme.background().name());
    }
};

QTEST_MAIN(TestGlobeCanvas)
#include "test_globe_canvas.moc"
