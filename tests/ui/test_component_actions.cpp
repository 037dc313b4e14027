// The controls report presses through their `clicked` signal (and the panel through
// `close`), show the states they are given, and run the reserve pulse only when
// motion is allowed.

#include "component_samples.h"
#include "qml_host.h"

#include <QQmlContext>
#include <QQmlProperty>
#include <QSignalSpy>
#include <QTest>

using namespace qor;

namespace {
QPoint centreOf(QQuickItem *item)
{
    return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
}

void click(QQuickWindow *window, QQuickItem *item)
{
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centreOf(item));
}
} // namespace

class TestComponentActions : public QObject {
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

    void buttonsReportPresses_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("accessibleName");
        QTest::newRow("globe") << "GlobeButton { objectName: \"target\"; x: 10; y: 10; size: 190 }" << "Подключиться";
        QTest::newRow("active globe") << "GlobeButton { objectName: \"target\"; x: 10; y: 10; isActive: true }" << "Отключиться";
        QTest::newRow("auto mode") << "ModeOrbitButton { objectName: \"target\"; x: 20; y: 20; mode: 0 }" << "Авто";
        QTest::newRow("main mode") << "ModeOrbitButton { objectName: \"target\"; x: 20; y: 20; mode: 1; selected: true }" << "Основной";
        QTest::newRow("tavrin mode") << "ModeOrbitButton { objectName: \"target\"; x: 20; y: 20; mode: 2 }" << "Tavrin";
        QTest::newRow("reserve mode") << "ModeOrbitButton { objectName: \"target\"; x: 20; y: 20; mode: 3 }" << "Резерв";
        QTest::newRow("direct") << "DirectOrbitButton { objectName: \"target\"; x: 20; y: 20 }" << "Прямое подключение к узлу";
        QTest::newRow("reserve icon") << "ReserveIconButton { objectName: \"target\"; x: 20; y: 20 }"
                                      << "Резерв, альтернативное подключение";
        QTest::newRow("primary") << "PrimaryButtonStyle { objectName: \"target\"; x: 10; y: 10; text: \"Войти через Telegram\" }"
                                 << "Войти через Telegram";
        QTest::newRow("secondary") << "SecondaryButtonStyle { objectName: \"target\"; x: 10; y: 10; text: \"Войти через email\" }"
                                   << "Войти через email";
    }
    void buttonsReportPresses()
    {
        QFETCH(QString, body);
        QFETCH(QString, accessibleName);
        testing::QmlHost host;
        testing::HostedItem hosted = host.show(samples::document(body, QSize(240, 240)), QSize(240, 240));
        QQuickItem *button = hosted.find(QStringLiteral("target"));
        QVERIFY(button);
        QSignalSpy clicked(button, SIGNAL(clicked()));
        click(hosted.window.get(), button);
        QCOMPARE(clicked.size(), 1);
        click(hosted.window.get(), button);
        QCOMPARE(clicked.size(), 2);
        // A press elsewhere is not the button's.
        QTest::mouseClick(hosted.window.get(), Qt::LeftButton, Qt::NoModifier, QPoint(235, 235));
        QCOMPARE(clicked.size(), 2);

        QCOMPARE(QQmlProperty::read(button, QStringLiteral("Accessible.name"), qmlContext(button)).toString(), accessibleName);
    }

    void disabledButtonStaysQuiet()
    {
        testing::QmlHost host;
        testing::HostedItem hosted = host.show(
            samples::document(QStringLiteral("SecondaryButtonStyle { objectName: \"target\"; x: 10; y: 10; text: \"Войти\"; enabled: false }"),
                              QSize(200, 80)),
            QSize(200, 80));
        QQuickItem *button = hosted.find(QStringLiteral("target"));
        QSignalSpy clicked(button, SIGNAL(clicked()));
        click(hosted.window.get(), button);
        QCOMPARE(clicked.size(), 0);
        QCOMPARE(button->opacity(), 0.45);
    }

    void panelCloseButtonAsksToClose()
    {
        testing::QmlHost host;
        const samples::Sample panel = samples::all().at(1);
        testing::HostedItem hosted = host.show(panel.qml, panel.size);
        QQuickItem *card = hosted.find(QStringLiteral("panel"));
        QQuickItem *closeButton = hosted.find(QStringLiteral("panelCloseButton"));
        QVERIFY(card && closeButton);
        QCOMPARE(closeButton->width(), 22.0);
        QCOMPARE(hosted.find(QStringLiteral("panelTitle"))->property("text").toString(), QStringLiteral("Аккаунт"));
        QSignalSpy close(card, SIGNAL(close()));
        click(hosted.window.get(), closeButton);
        QCOMPARE(close.size(), 1);
    }

    void statRowShowsItsValues()
    {
        testing::QmlHost host;
        host.theme.setAppearance(1);
        testing::HostedItem hosted = host.show(
            samples::document(QStringLiteral("StatRow { objectName: \"row\"; width: 280; k: \"Статус\"; v: \"● Активна\"; vColor: Theme.okGreen }"),
                              QSize(300, 60)),
            QSize(300, 60));
        QQuickItem *label = hosted.find(QStringLiteral("statLabel"));
        QQuickItem *value = hosted.find(QStringLiteral("statValue"));
        QCOMPARE(label->property("text").toString(), QStringLiteral("Статус"));
        QCOMPARE(label->property("color").value<QColor>(), QColor(107, 106, 101));
        QCOMPARE(value->property("text").toString(), QStringLiteral("● Активна"));
        QCOMPARE(value->property("color").value<QColor>(), QColor(63, 138, 84));
        // The value sits at the trailing edge.
        QCOMPARE(value->mapToItem(hosted.find(QStringLiteral("row")), QPointF(value->width(), 0)).x(), 280.0);
    }

    void fieldTakesTyping()
    {
        testing::QmlHost host;
        const samples::Sample fields = samples::all().at(2);
        QCOMPARE(fields.name, QStringLiteral("QorFieldStyle"));
        testing::HostedItem hosted = host.show(fields.qml, fields.size);
        QQuickItem *field = hosted.find(QStringLiteral("emptyField"));
        QVERIFY(field);
        click(hosted.window.get(), field);
        QTRY_VERIFY_WITH_TIMEOUT(field->hasActiveFocus(), 2000);
        for (const char c : QByteArrayLiteral("user@example.org"))
            QTest::keyClick(hosted.window.get(), c);
        QCOMPARE(field->property("text").toString(), QStringLiteral("user@example.org"));
        QCOMPARE(field->property("leftPadding").toReal(), 14.0);
        QCOMPARE(field->property("topPadding").toReal(), 12.0);
    }

    void reservePulse_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("denied");
        QTest::addColumn<bool>("reduceMotion");
        QTest::addColumn<bool>("pulsing");
        QTest::addColumn<bool>("ringVisible");
        QTest::addColumn<qreal>("restingOpacity");
        QTest::addColumn<qreal>("buttonOpacity");
        QTest::newRow("inactive, moving") << false << false << false << true << true << 0.5 << 1.0;
        QTest::newRow("active, moving") << true << false << false << true << true << 0.9 << 1.0;
        QTest::newRow("inactive, still") << false << false << true << false << true << 0.5 << 1.0;
        QTest::newRow("active, still") << true << false << true << false << true << 0.9 << 1.0;
        QTest::newRow("denied") << false << true << false << false << false << 0.5 << 0.45;
    }
    void reservePulse()
    {
        QFETCH(bool, active);
        QFETCH(bool, denied);
        QFETCH(bool, reduceMotion);
        QFETCH(bool, pulsing);
        QFETCH(bool, ringVisible);
        QFETCH(qreal, restingOpacity);
        QFETCH(qreal, buttonOpacity);
        testing::QmlHost host;
        host.theme.setReduceMotion(reduceMotion);
        const QString body = QStringLiteral("ReserveIconButton { objectName: \"reserve\"; x: 20; y: 20; isActive: %1; isDenied: %2 }")
                                 .arg(active ? "true" : "false", denied ? "true" : "false");
        testing::HostedItem hosted = host.show(samples::document(body, QSize(80, 80)), QSize(80, 80));
        QQuickItem *button = hosted.find(QStringLiteral("reserve"));
        QQuickItem *ring = hosted.find(QStringLiteral("pulseRing"));
        QVERIFY(button && ring);
        QCOMPARE(button->property("pulsed").toBool(), !reduceMotion);
        QCOMPARE(button->opacity(), buttonOpacity);
        QCOMPARE(ring->isVisible(), ringVisible);
        QCOMPARE(button->property("pulsing").toBool(), pulsing);
        if (!pulsing) {
            QCOMPARE(ring->scale(), 1.0);
            QCOMPARE(ring->opacity(), restingOpacity);
            return;
        }
        // Hidden, the ring stops; shown again, it resumes.
        button->setVisible(false);
        QCOMPARE(button->property("pulsing").toBool(), false);
        button->setVisible(true);
        QCOMPARE(button->property("pulsing").toBool(), true);

        // Reduced motion from then on stops the pulse and settles the ring.
        host.theme.setReduceMotion(true);
        QCOMPARE(button->property("pulsing").toBool(), false);
        QCOMPARE(button->property("pulsed").toBool(), false);
        QCOMPARE(ring->scale(), 1.0);
        QCOMPARE(ring->opacity(), restingOpacity);
    }
};

QTEST_MAIN(TestComponentActions)
#include "test_component_actions.moc"
