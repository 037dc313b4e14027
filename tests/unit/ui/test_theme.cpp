// The palette by appearance, the glass switch and the reduced-motion preference.

#include "ui/desktop_settings.h"
#include "ui/theme.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;

Q_DECLARE_METATYPE(PaletteRole)

class TestTheme : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { qunsetenv("QOR_REDUCE_MOTION"); }

    void paletteValues_data()
    {
        QTest::addColumn<PaletteRole>("role");
        QTest::addColumn<QColor>("light");
        QTest::addColumn<QColor>("dark");
        QTest::newRow("ink") << PaletteRole::Ink << QColor(22, 35, 58) << QColor(233, 236, 242);
        QTest::newRow("ink secondary") << PaletteRole::InkSecondary << QColor(43, 59, 87) << QColor(185, 193, 207);
        QTest::newRow("terracotta") << PaletteRole::Terracotta << QColor(201, 100, 66) << QColor(224, 130, 88);
        QTest::newRow("OK green") << PaletteRole::OkGreen << QColor(63, 138, 84) << QColor(127, 184, 138);
        QTest::newRow("danger red") << PaletteRole::DangerRed << QColor(194, 59, 47) << QColor(224, 82, 74);
        QTest::newRow("auto amber") << PaletteRole::AutoAmber << QColor(224, 138, 30) << QColor(245, 166, 35);
        QTest::newRow("main green") << PaletteRole::MainGreen << QColor(46, 158, 87) << QColor(46, 204, 113);
        QTest::newRow("Tavrin blue") << PaletteRole::TavrinBlue << QColor(42, 111, 208) << QColor(59, 130, 246);
        QTest::newRow("reserve red") << PaletteRole::ReserveRed << QColor(210, 68, 55) << QColor(239, 68, 68);
        QTest::newRow("node purple") << PaletteRole::NodePurple << QColor(124, 77, 214) << QColor(139, 92, 246);
        QTest::newRow("gold") << PaletteRole::Gold << QColor(211, 162, 74) << QColor(211, 162, 74);
        QTest::newRow("background") << PaletteRole::Background << QColor(238, 241, 245) << QColor(10, 18, 29);
        QTest::newRow("panel") << PaletteRole::Panel << QColor(244, 246, 249) << QColor(23, 35, 58);
        QTest::newRow("neutral grey") << PaletteRole::NeutralGrey << QColor(107, 106, 101) << QColor(147, 152, 159);
        QTest::newRow("deep navy") << PaletteRole::DeepNavy << QColor(18, 29, 46) << QColor(18, 29, 46);
    }
    void paletteValues()
    {
        QFETCH(PaletteRole, role);
        QFETCH(QColor, light);
        QFETCH(QColor, dark);
        Theme theme(nullptr);
        theme.setAppearance(1);
        QCOMPARE(theme.color(role), light);
        QCOMPARE(theme.roleColor(int(role)), light);
        theme.setAppearance(2);
        QCOMPARE(theme.color(role), dark);
    }

    void hairlineAndOutlineAreInkWithOpacity()
    {
        Theme theme(nullptr);
        theme.setAppearance(1);
        QCOMPARE(theme.hairline().rgb(), QColor(22, 35, 58).rgb());
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 12);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 28);
        theme.setAppearance(2);
        QCOMPARE(theme.hairline().rgb(), QColor(233, 236, 242).rgb());
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 14);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 30);
    }

    void appearanceSwitchesTheColours()
    {
        Theme theme(nullptr);
        QSignalSpy dark(&theme, &Theme::darkChanged);
        QSignalSpy appearance(&theme, &Theme::appearanceChanged);
        QCOMPARE(theme.appearance(), 0);
        QVERIFY(!theme.dark()); // system, and no desktop to ask: light
        theme.setAppearance(2);
        QVERIFY(theme.dark());
        QCOMPARE(theme.ink(), QColor(233, 236, 242));
        theme.setAppearance(1);
        QVERIFY(!theme.dark());
        theme.setAppearance(1);
        QCOMPARE(appearance.size(), 2);
        QCOMPARE(dark.size(), 2);
        // Values outside system/light/dark mean system.
        theme.setAppearance(2);
        theme.setAppearance(7);
        QCOMPARE(theme.appearance(), 0);
        QVERIFY(!theme.dark());
    }

    void glassChangesSurfacesNotColours()
    {
        Theme theme(nullptr);
        theme.setAppearance(1);
        QSignalSpy glass(&theme, &Theme::glassChanged);
        QCOMPARE(theme.surface(theme.panel()), theme.panel());
        QCOMPARE(theme.surfaceBorder(), theme.hairline());
        theme.setGlass(true);
        QCOMPARE(glass.size(), 1);
        QVERIFY(theme.surface(theme.panel()).alphaF() < 1.0);
        QCOMPARE(theme.surface(theme.panel()), theme.glassFill());
        QCOMPARE(theme.surfaceBorder(), theme.glassEdge());
        QCOMPARE(theme.ink(), QColor(22, 35, 58));
        theme.setGlass(true);
        QCOMPARE(glass.size(), 1);
    }

    void modeColours()
    {
        Theme theme(nullptr);
        theme.setAppearance(1);
        QCOMPARE(theme.modeColor(0), QColor(224, 138, 30));
        QCOMPARE(theme.modeColor(1), QColor(46, 158, 87));
        QCOMPARE(theme.modeColor(2), QColor(42, 111, 208));
        QCOMPARE(theme.modeColor(3), QColor(210, 68, 55));
        QVERIFY(!theme.modeColor(4).isValid());
        QVERIFY(!theme.roleColor(-1).isValid());
    }

    void reducedMotionOverride()
    {
        Theme theme(nullptr);
        QSignalSpy changed(&theme, &Theme::reduceMotionChanged);
        QVERIFY(!theme.reduceMotion());
        theme.setReduceMotion(true);
        QVERIFY(theme.reduceMotion());
        theme.resetReduceMotion();
        QVERIFY(!theme.reduceMotion());
        QCOMPARE(changed.size(), 2);

        qputenv("QOR_REDUCE_MOTION", "1");
        Theme forced(nullptr);
        QVERIFY(forced.reduceMotion());
        qputenv("QOR_REDUCE_MOTION", "0");
        Theme allowed(nullptr);
        QVERIFY(!allowed.reduceMotion());
    }

    void pointSizesFromLayoutPixels()
    {
        Theme theme(nullptr);
        QCOMPARE(theme.pt(13.5), 10.125);
        QCOMPARE(theme.pt(52), 39.0);
    }

    void monospacedFamilyIsAFixedPitchFont()
    {
        Theme theme(nullptr);
        QVERIFY(!theme.monoFamily().isEmpty());
    }
};

QTEST_MAIN(TestTheme)
#include "test_theme.moc"
