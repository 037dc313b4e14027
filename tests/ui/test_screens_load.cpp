// Every screen, panel, sheet and alert of the main window loads and renders
// offscreen without a single QML warning, in light and dark, with glass on and off.

#include "screen_states.h"

#include <QTest>

using namespace qor;
using namespace qor::testing;

class TestScreensLoad : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QmlHost::useSoftwareRenderer();
        WarningLog::install();
    }

    void init() { WarningLog::take(); }

    void loadsWithoutWarnings_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("glass");
        const QList<ScreenState> states = allScreenStates();
        for (int i = 0; i < states.size(); ++i) {
            for (const bool dark : {false, true}) {
                for (const bool glass : {false, true}) {
                    const QString row = QStringLiteral("%1 %2 %3").arg(states.at(i).name, dark ? "dark" : "light", glass ? "glass" : "solid");
                    QTest::newRow(qPrintable(row)) << i << dark << glass;
                }
            }
        }
    }
    void loadsWithoutWarnings()
    {
        QFETCH(int, index);
        QFETCH(bool, dark);
        QFETCH(bool, glass);
        const ScreenState state = allScreenStates().at(index);
        ScreenHost host;
        state.prepare(host);
        AppState &app = host.fixture.app();
        app.setAppearance(dark ? AppAppearance::Dark : AppAppearance::Light);
        app.setLiquidGlassEnabled(glass);
        QCOMPARE(host.theme.dark(), dark);
        QCOMPARE(host.theme.glass(), glass);

        HostedItem hosted = host.showRoot();
        QVERIFY2(hosted.root, qPrintable(hosted.errors.join(QLatin1Char('\n'))));
        state.open(host, hosted);
        if (QTest::currentTestFailed())
            return;
        // The screen that matches the stage is the one on show.
        const bool signedIn = app.authStage() == AuthStage::LoggedIn;
        QVERIFY(findShown(hosted.root, signedIn ? QStringLiteral("connectView") : QStringLiteral("authView")));
        QVERIFY(!findShown(hosted.root, signedIn ? QStringLiteral("authView") : QStringLiteral("connectView")));

        const QImage frame = hosted.window->grabWindow();
        QCOMPARE(frame.size(), QSize(380, 660));
        hosted.window.reset();
        const QStringList warnings = WarningLog::take();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(TestScreensLoad)
#include "test_screens_load.moc"
