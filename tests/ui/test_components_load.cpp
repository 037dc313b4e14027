// Every component sample loads and renders offscreen without a single warning, in
// light and dark, with glass on and off; the glass switch restyles live surfaces.

#include "component_samples.h"
#include "qml_host.h"

#include <QTest>

using namespace qor;

class TestComponentsLoad : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        testing::QmlHost::useSoftwareRenderer();
        testing::WarningLog::install();
    }

    void init() { testing::WarningLog::take(); }

    void loadsWithoutWarnings_data()
    {
        QTest::addColumn<QString>("qml");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("glass");
        for (const samples::Sample &sample : samples::all()) {
            for (const bool dark : {false, true}) {
                for (const bool glass : {false, true}) {
                    const QString row = QStringLiteral("%1 %2 %3").arg(sample.name, dark ? "dark" : "light", glass ? "glass" : "solid");
                    QTest::newRow(qPrintable(row)) << sample.qml << sample.size << dark << glass;
                }
            }
        }
    }
    void loadsWithoutWarnings()
    {
        QFETCH(QString, qml);
        QFETCH(QSize, size);
        QFETCH(bool, dark);
        QFETCH(bool, glass);
        testing::QmlHost host;
        host.theme.setAppearance(dark ? 2 : 1);
        host.theme.setGlass(glass);
        testing::HostedItem hosted = host.show(qml, size);
        QVERIFY2(hosted.root, qPrintable(hosted.errors.join(QLatin1Char('\n'))));
        QVERIFY(hosted.window->isExposed());
        const QImage frame = hosted.window->grabWindow();
        QCOMPARE(frame.size(), size);
        // Something was drawn besides the window colour.
        const QRgb clear = frame.pixel(0, 0);
        bool drawn = false;
        for (int y = 0; y < frame.height() && !drawn; y += 2)
            for (int x = 0; x < frame.width() && !drawn; x += 2)
                drawn = frame.pixel(x, y) != clear;
        QVERIFY(drawn);
        hosted.window.reset();
        const QStringList warnings = testing::WarningLog::take();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    // The guard itself: a binding error in a component is caught as a warning.
    void bindingErrorsAreCaught()
    {
        testing::QmlHost host;
        testing::HostedItem hosted = host.show(
            samples::document(QStringLiteral("    StatRow { width: missingItem.width; k: \"x\" }"), QSize(100, 40)), QSize(100, 40));
        QVERIFY(hosted.root);
        hosted.window.reset();
        const QStringList warnings = testing::WarningLog::take();
        QVERIFY(!warnings.isEmpty());
        QVERIFY(warnings.join(QLatin1Char(' ')).contains(QStringLiteral("missingItem")));
    }

    void glassSwitchRestylesWithoutRecreating()
    {
        testing::QmlHost host;
        host.theme.setAppearance(1);
        const samples::Sample panel = samples::all().at(1);
        QCOMPARE(panel.name, QStringLiteral("QorPanel"));
        testing::HostedItem hosted = host.show(panel.qml, panel.size);
        QQuickItem *card = hosted.find(QStringLiteral("panelCard"));
        QVERIFY(card);
        QCOMPARE(card->property("color").value<QColor>(), host.theme.background());
        QCOMPARE(card->property("border").value<QObject *>()->property("color").value<QColor>(), host.theme.hairline());

        host.theme.setGlass(true);
        QCOMPARE(hosted.find(QStringLiteral("panelCard")), card);
        QCOMPARE(card->property("color").value<QColor>(), host.theme.glassFill());
        QVERIFY(card->property("color").value<QColor>().alphaF() < 1.0);

        host.theme.setAppearance(2);
        QCOMPARE(card->property("color").value<QColor>(), host.theme.glassFill());
        host.theme.setGlass(false);
        QCOMPARE(card->property("color").value<QColor>(), QColor(10, 18, 29));
        QVERIFY(testing::WarningLog::take().isEmpty());
    }
};

QTEST_MAIN(TestComponentsLoad)
#include "test_components_load.moc"
