// The components of Qor.Ui: every sample loads and renders offscreen without a
// warning in light and dark, glass on and off; the controls report presses and show
// the states they are given; motion runs only where it can be seen and is allowed.

#include "component_samples.h"
#include "screen_host.h"

#include "ui/globe_canvas.h"
#include "ui/globe_geometry.h"

#include <QQmlContext>
#include <QQmlProperty>
#include <QSignalSpy>

using namespace qor;
using namespace qor::testing;

namespace {
HostedItem showBody(QmlHost &host, const QString &body, QSize size)
{
    return host.show(samples::document(body, size), size);
}

const QString globeBody = u"Item { objectName: \"holder\"; anchors.fill: parent\n  GlobeCanvas { objectName: \"globe\"; x: 20; y: 20;"
                          " width: 200; height: 200; color: \"#2a6fd0\"; outlineColor: Theme.outline %1 } }"_s;
} // namespace

class TestComponents : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { startUiTest(); }
    void cleanup() { QOR_VERIFY_NO_WARNINGS(); }

    void loadsWithoutWarnings_data()
    {
        QTest::addColumn<QString>("qml");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("glass");
        for (const samples::Sample &sample : samples::all()) {
            for (const int variant : {0, 1, 2, 3})
                QTest::addRow("%s %s %s", qPrintable(sample.name), variant & 1 ? "dark" : "light", variant & 2 ? "glass" : "solid")
                    << sample.qml << sample.size << bool(variant & 1) << bool(variant & 2);
        }
    }
    void loadsWithoutWarnings()
    {
        QFETCH(QString, qml);
        QFETCH(QSize, size);
        QFETCH(bool, dark);
        QFETCH(bool, glass);
        QmlHost host;
        host.theme.setAppearance(dark ? 2 : 1);
        host.theme.setGlass(glass);
        HostedItem hosted = host.show(qml, size);
        QVERIFY2(hosted.root && hosted.errors.isEmpty(), qPrintable(hosted.errors.join('\n')));
        const QImage frame = hosted.window->grabWindow();
        QCOMPARE(frame.size(), size);
        // Something was drawn besides the window colour.
        bool drawn = false;
        for (int y = 0; y < frame.height() && !drawn; y += 2)
            for (int x = 0; x < frame.width() && !drawn; x += 2)
                drawn = frame.pixel(x, y) != frame.pixel(0, 0);
        QVERIFY(drawn);
    }

    // The guard itself: a binding error in a component is caught as a warning.
    void bindingErrorsAreCaught()
    {
        QmlHost host;
        HostedItem hosted = showBody(host, u"StatRow { width: missingItem.width; k: \"x\" }"_s, QSize(100, 40));
        QVERIFY(hosted.root);
        hosted.window.reset();
        QVERIFY(WarningLog::take().join(' ').contains(u"missingItem"_s));
    }

    void panelRestylesWithoutRecreatingAndAsksToClose()
    {
        QmlHost host;
        host.theme.setAppearance(1);
        const samples::Sample panel = samples::all().at(1);
        QCOMPARE(panel.name, u"QorPanel"_s);
        HostedItem hosted = host.show(panel.qml, panel.size);
        QQuickItem *card = hosted.find(u"panelCard"_s);
        QVERIFY(card);
        const auto colour = [card] { return card->property("color").value<QColor>(); };
        QCOMPARE(colour(), host.theme.background());
        QCOMPARE(card->property("border").value<QObject *>()->property("color").value<QColor>(), host.theme.hairline());
        host.theme.setGlass(true);
        QCOMPARE(hosted.find(u"panelCard"_s), card);
        QCOMPARE(colour(), host.theme.glassFill());
        QVERIFY(colour().alphaF() < 1.0);
        host.theme.setAppearance(2);
        QCOMPARE(colour(), host.theme.glassFill());
        host.theme.setGlass(false);
        QCOMPARE(colour(), QColor(10, 18, 29));

        QCOMPARE(hosted.find(u"panelTitle"_s)->property("text").toString(), u"Аккаунт"_s);
        QSignalSpy close(hosted.find(u"panel"_s), SIGNAL(close()));
        clickItem(hosted.window.get(), hosted.find(u"panelCloseButton"_s));
        QCOMPARE(close.size(), 1);
    }

    void buttonsReportPresses_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("accessibleName");
        QTest::addColumn<int>("presses"); // of two clicks on it
        QTest::newRow("globe") << "GlobeButton { x: 10; y: 10; size: 190 }" << "Подключиться" << 2;
        QTest::newRow("active globe") << "GlobeButton { x: 10; y: 10; isActive: true }" << "Отключиться" << 2;
        QTest::newRow("auto mode") << "ModeOrbitButton { x: 20; y: 20; mode: 0 }" << "Авто" << 2;
        QTest::newRow("main mode") << "ModeOrbitButton { x: 20; y: 20; mode: 1; selected: true }" << "Основной" << 2;
        QTest::newRow("tavrin mode") << "ModeOrbitButton { x: 20; y: 20; mode: 2 }" << "Tavrin" << 2;
        QTest::newRow("reserve mode") << "ModeOrbitButton { x: 20; y: 20; mode: 3 }" << "Резерв" << 2;
        QTest::newRow("direct") << "DirectOrbitButton { x: 20; y: 20 }" << "Прямое подключение к узлу" << 2;
        QTest::newRow("reserve icon") << "ReserveIconButton { x: 20; y: 20 }" << "Резерв, альтернативное подключение" << 2;
        QTest::newRow("primary") << "PrimaryButtonStyle { x: 10; y: 10; text: \"Войти через Telegram\" }" << "Войти через Telegram" << 2;
        QTest::newRow("secondary") << "SecondaryButtonStyle { x: 10; y: 10; text: \"Войти через email\" }" << "Войти через email" << 2;
        QTest::newRow("disabled") << "SecondaryButtonStyle { x: 10; y: 10; text: \"Войти\"; enabled: false }" << "Войти" << 0;
    }
    void buttonsReportPresses()
    {
        QFETCH(QString, body);
        QFETCH(QString, accessibleName);
        QFETCH(int, presses);
        QmlHost host;
        HostedItem hosted = showBody(host, body.replace(u" {"_s, u" { objectName: \"target\";"_s), QSize(240, 240));
        QQuickItem *button = hosted.find(u"target"_s);
        QVERIFY(button);
        QSignalSpy clicked(button, SIGNAL(clicked()));
        clickItem(hosted.window.get(), button);
        clickItem(hosted.window.get(), button);
        // A press elsewhere is not the button's.
        QTest::mouseClick(hosted.window.get(), Qt::LeftButton, Qt::NoModifier, QPoint(235, 235));
        QCOMPARE(clicked.size(), presses);
        QCOMPARE(button->opacity(), presses ? 1.0 : 0.45);
        QCOMPARE(QQmlProperty::read(button, u"Accessible.name"_s, qmlContext(button)).toString(), accessibleName);
    }

    void statRowAndFieldShowTheirValues()
    {
        QmlHost host;
        host.theme.setAppearance(1);
        HostedItem row = showBody(host, u"StatRow { objectName: \"row\"; width: 280; k: \"Статус\"; v: \"● Активна\"; vColor: Theme.okGreen }"_s,
                                  QSize(300, 60));
        QQuickItem *label = row.find(u"statLabel"_s);
        QQuickItem *value = row.find(u"statValue"_s);
        QCOMPARE(label->property("text").toString(), u"Статус"_s);
        QCOMPARE(label->property("color").value<QColor>(), host.theme.neutralGrey());
        QCOMPARE(value->property("text").toString(), u"● Активна"_s);
        QCOMPARE(value->property("color").value<QColor>(), host.theme.okGreen());
        // The value sits at the trailing edge.
        QCOMPARE(value->mapToItem(row.find(u"row"_s), QPointF(value->width(), 0)).x(), 280.0);

        const samples::Sample fields = samples::all().at(2);
        QCOMPARE(fields.name, u"QorFieldStyle"_s);
        HostedItem hosted = host.show(fields.qml, fields.size);
        QQuickItem *field = hosted.find(u"emptyField"_s);
        QVERIFY(field);
        clickItem(hosted.window.get(), field);
        QTRY_VERIFY_WITH_TIMEOUT(field->hasActiveFocus(), 2000);
        for (const char c : QByteArrayLiteral("user@example.org"))
            QTest::keyClick(hosted.window.get(), c);
        QCOMPARE(field->property("text").toString(), u"user@example.org"_s);
    }

    void reservePulse_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("denied");
        QTest::addColumn<bool>("reduceMotion");
        QTest::newRow("inactive, moving") << false << false << false;
        QTest::newRow("active, moving") << true << false << false;
        QTest::newRow("inactive, still") << false << false << true;
        QTest::newRow("active, still") << true << false << true;
        QTest::newRow("denied") << false << true << false;
    }
    void reservePulse()
    {
        QFETCH(bool, active);
        QFETCH(bool, denied);
        QFETCH(bool, reduceMotion);
        QmlHost host;
        host.theme.setReduceMotion(reduceMotion);
        HostedItem hosted = showBody(host, u"ReserveIconButton { objectName: \"reserve\"; x: 20; y: 20; isActive: %1; isDenied: %2 }"_s
                                               .arg(active ? "true" : "false", denied ? "true" : "false"), QSize(80, 80));
        QQuickItem *button = hosted.find(u"reserve"_s);
        QQuickItem *ring = hosted.find(u"pulseRing"_s);
        QVERIFY(button && ring);
        QCOMPARE(button->property("pulsed").toBool(), !reduceMotion);
        QCOMPARE(button->opacity(), denied ? 0.45 : 1.0);
        QCOMPARE(ring->isVisible(), !denied);
        const bool pulsing = !denied && !reduceMotion;
        QCOMPARE(button->property("pulsing").toBool(), pulsing);
        if (pulsing) {
            // Hidden, the ring stops; shown again, it resumes.
            button->setVisible(false);
            QCOMPARE(button->property("pulsing").toBool(), false);
            button->setVisible(true);
            QCOMPARE(button->property("pulsing").toBool(), true);
            // Reduced motion from then on stops the pulse and settles the ring.
            host.theme.setReduceMotion(true);
            QCOMPARE(button->property("pulsing").toBool(), false);
            QCOMPARE(button->property("pulsed").toBool(), false);
        }
        QCOMPARE(ring->scale(), 1.0);
        QCOMPARE(ring->opacity(), active ? 0.9 : 0.5);
    }

    void globeTimerRunsOnlyWhileSeen()
    {
        QmlHost host;
        HostedItem hosted = showBody(host, globeBody.arg(QString()), QSize(240, 240));
        auto *globe = hosted.find<GlobeCanvas>(u"globe"_s);
        QQuickItem *holder = hosted.find(u"holder"_s);
        QVERIFY(globe && holder);
        QVERIFY(globe->animating());
        QCOMPARE(globe->frameInterval(), 16);
        QSignalSpy animating(globe, &GlobeCanvas::animatingChanged);
        // Hidden itself or through an ancestor, or without a size: nothing to draw.
        const auto stopsAndResumes = [&](const std::function<void(bool)> &show) {
            show(false);
            QVERIFY(!globe->animating());
            show(true);
            QVERIFY(globe->animating());
        };
        stopsAndResumes([&](bool on) { globe->setVisible(on); });
        stopsAndResumes([&](bool on) { holder->setVisible(on); });
        stopsAndResumes([&](bool on) { globe->setWidth(on ? 200 : 0); });
        stopsAndResumes([&](bool on) { globe->setReduceMotion(!on); });
        // The window itself hidden or minimised.
        QQuickWindow *window = hosted.window.get();
        for (const auto &[hide, show] : {std::pair(&QWindow::hide, &QWindow::show), std::pair(&QWindow::showMinimized, &QWindow::showNormal)}) {
            (window->*hide)();
            QTRY_VERIFY_WITH_TIMEOUT(!globe->animating(), 2000);
            (window->*show)();
            QTRY_VERIFY_WITH_TIMEOUT(globe->animating(), 2000);
        }
        // Taken out of the window altogether.
        globe->setParentItem(nullptr);
        QVERIFY(!globe->animating());
        globe->setParentItem(holder);
        QTRY_VERIFY_WITH_TIMEOUT(globe->animating(), 2000);
        QCOMPARE(animating.size(), 14);
    }

    // Reduced motion from the start: no timer, and the still frame shows the cities
    // where the geometry puts them at t = 3.2 s.
    void stillFrameIsTheFrameAtThreePointTwo()
    {
        QmlHost host;
        host.theme.setAppearance(1);
        HostedItem hosted = showBody(host, globeBody.arg(u"; reduceMotion: true"_s), QSize(240, 240));
        QVERIFY(!hosted.find<GlobeCanvas>(u"globe"_s)->animating());
        const QImage image = hosted.window->grabWindow();
        const globe::Frame frame = globe::frameAt(QSizeF(200, 200), globe::reducedMotionTime);
        const QString blue = QColor(0x2a6fd0).name();
        const auto colourAt = [&image](QPointF p) { return QColor(image.pixel((p + QPointF(20, 20)).toPoint())).name(); };
        int front = 0;
        for (const globe::CityMark &city : frame.cities) {
            front += city.front;
            QCOMPARE(colourAt(city.position) == blue, city.front);
        }
        QVERIFY(front > 0 && front < frame.cities.size());
        // The travelling dots are drawn in full colour too.
        for (const globe::ArcPath &arc : frame.arcs)
            QCOMPARE(colourAt(arc.dot), blue);
        // Far outside the lifted arcs nothing is drawn.
        QCOMPARE(QColor(image.pixel(21, 21)).name(), host.theme.background().name());
    }
};

QTEST_MAIN(TestComponents)
#include "test_components.moc"
