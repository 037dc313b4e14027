// The palette by appearance, the glass switch and the reduced-motion preference.

#include "ui/desktop_settings.h"
#include "ui/theme.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;

class TestTheme : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { qunsetenv("QOR_REDUCE_MOTION"); }

    // System by default, and with no desktop to ask that is light; values outside
    // system/light/dark mean system. QML asks colours by number: every role and mode
    // answers, numbers outside them get no colour.
    void appearanceAndPalette()
    {
        Theme theme(nullptr);
        QSignalSpy dark(&theme, &Theme::darkChanged);
        QSignalSpy appearance(&theme, &Theme::appearanceChanged);
        QVERIFY(theme.appearance() == 0 && !theme.dark());
        const QColor lightPanel = theme.color(PaletteRole::Panel);
        theme.setAppearance(2);
        QVERIFY(theme.dark() && theme.color(PaletteRole::Panel) != lightPanel);
        QCOMPARE(theme.ink(), QColor(233, 236, 242));
        QCOMPARE(theme.background(), QColor(10, 18, 29));
        // Hairline and outline are the ink with some opacity.
        QCOMPARE(theme.hairline().rgb(), theme.ink().rgb());
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 14);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 30);
        for (int role = int(PaletteRole::Ink); role <= int(PaletteRole::SystemRed); ++role)
            QVERIFY2(theme.roleColor(role).isValid() && theme.roleColor(role) == theme.color(PaletteRole(role)), qPrintable(QString::number(role)));
        QVERIFY(!theme.roleColor(-1).isValid() && !theme.roleColor(int(PaletteRole::SystemRed) + 1).isValid());
        QVERIFY(!theme.modeColor(-1).isValid() && !theme.modeColor(4).isValid());
        theme.setAppearance(1);
        theme.setAppearance(1);
        QVERIFY(!theme.dark());
        QVERIFY(appearance.size() == 2 && dark.size() == 2);
        QCOMPARE(theme.ink(), QColor(22, 35, 58));
        QCOMPARE(theme.background(), QColor(238, 241, 245));
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 12);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 28);
        QCOMPARE((QList<QColor>{theme.modeColor(0), theme.modeColor(1), theme.modeColor(2), theme.modeColor(3)}),
                 (QList<QColor>{theme.autoAmber(), theme.mainGreen(), theme.tavrinBlue(), theme.reserveRed()}));
        theme.setAppearance(2);
        theme.setAppearance(7);
        QVERIFY(theme.appearance() == 0 && !theme.dark());
        QCOMPARE(theme.pt(13.5), 10.125); // layout pixels to points
        QVERIFY(!theme.monoFamily().isEmpty());
    }

    void glassChangesSurfacesNotColours()
    {
        Theme theme(nullptr);
        theme.setAppearance(1);
        QSignalSpy glass(&theme, &Theme::glassChanged);
        QCOMPARE(theme.surface(theme.panel()), theme.panel());
        QCOMPARE(theme.surfaceBorder(), theme.hairline());
        theme.setGlass(true);
        theme.setGlass(true);
        QCOMPARE(glass.size(), 1);
        QVERIFY(theme.surface(theme.panel()).alphaF() < 1.0);
        QCOMPARE(theme.surface(theme.panel()), theme.glassFill());
        QCOMPARE(theme.surfaceBorder(), theme.glassEdge());
        QCOMPARE(theme.ink(), QColor(22, 35, 58));
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
        QVERIFY(Theme(nullptr).reduceMotion());
        qputenv("QOR_REDUCE_MOTION", "0");
        QVERIFY(!Theme(nullptr).reduceMotion());
    }
};

QTEST_MAIN(TestTheme)
#include "test_theme.moc"
