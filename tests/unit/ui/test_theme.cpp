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

    void paletteByAppearance()
    {
        Theme theme(nullptr);
        theme.setAppearance(1);
        QCOMPARE(theme.ink(), QColor(22, 35, 58));
        QCOMPARE(theme.background(), QColor(238, 241, 245));
        // Hairline and outline are the ink with some opacity.
        QCOMPARE(theme.hairline().rgb(), theme.ink().rgb());
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 12);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 28);
        const QColor lightPanel = theme.color(PaletteRole::Panel);
        theme.setAppearance(2);
        QCOMPARE(theme.ink(), QColor(233, 236, 242));
        QCOMPARE(theme.background(), QColor(10, 18, 29));
        QCOMPARE(theme.hairline().rgb(), theme.ink().rgb());
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 14);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 30);
        QVERIFY(theme.color(PaletteRole::Panel) != lightPanel);
        // QML asks by number: every role answers, numbers outside the roles and modes do not.
        for (int role = int(PaletteRole::Ink); role <= int(PaletteRole::SystemRed); ++role)
            QVERIFY2(theme.roleColor(role).isValid() && theme.roleColor(role) == theme.color(PaletteRole(role)), qPrintable(QString::number(role)));
        QVERIFY(!theme.roleColor(-1).isValid());
        QVERIFY(!theme.modeColor(4).isValid());
        theme.setAppearance(1);
        QCOMPARE(theme.modeColor(0), QColor(224, 138, 30));
        QCOMPARE(theme.modeColor(1), QColor(46, 158, 87));
        QCOMPARE(theme.modeColor(2), QColor(42, 111, 208));
        QCOMPARE(theme.modeColor(3), QColor(210, 68, 55));
        QCOMPARE(theme.pt(13.5), 10.125); // layout pixels to points
        QVERIFY(!theme.monoFamily().isEmpty());
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
