// The status-bar item and its menu over a real AppState: icon, titles and enabling
// by state, the actions, quitting while connected, and closing the last window.

#include "app_fixture.h"

#include "shell/desktop/menu_bar_controller.h"
#include "shell/desktop/update_controller.h"
#include "shell/mac_preferences.h"

#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {
struct Harness {
    explicit Harness(QUrl feed = QUrl(QStringLiteral("https://updates.example.com/appcast.xml")))
        : preferences(fixture.standardDefaults, AutostartEntry(fixture.scratch.filePath(QStringLiteral("autostart/qor-connect.desktop")))),
          updates(fixture.clock, std::move(feed), QVersionNumber(1, 0)),
          menuBar({fixture.clock, fixture.sharedDefaults, preferences, *fixture.traffic, fixture.tunnel, fixture.reserveTunnel, &updates})
    {
        menuBar.terminate = [this] { ++terminated; };
        menuBar.openMainWindow = [this] { ++windowsOpened; };
    }

    QStringList titles()
    {
        QMenu menu;
        menuBar.buildMenu(menu);
        QStringList list;
        for (QAction *action : menu.actions())
            list.append(action->isSeparator() ? QStringLiteral("—") : action->text());
        return list;
    }
    // Whether the item at this place is enabled.
    bool enabled(int index)
    {
        QMenu menu;
        menuBar.buildMenu(menu);
        return menu.actions().value(index)->isEnabled();
    }
    void trigger(const QString &title)
    {
        QMenu menu;
        menuBar.buildMenu(menu);
        for (QAction *action : menu.actions())
            if (action->text() == title)
                return action->trigger();
        QFAIL(qPrintable(QStringLiteral("no item ") + title));
    }

    AppFixture fixture;
    MacPreferences preferences;
    UpdateController updates;
    MenuBarController menuBar;
    int terminated = 0;
    int windowsOpened = 0;
};
} // namespace

class TestMenuBar : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void menuWithoutState()
    {
        Harness h;
        QCOMPARE(h.titles(), (QStringList{"Отключено", "Время: 00:00:00", "Скорость: ↓ 0 КБ/с   ↑ 0 КБ/с", "Трафик: ↓ 0 КБ   ↑ 0 КБ", "—",
                                          "Подключить", "Активировать резервный канал", "—", "Открыть", "Проверить обновления…",
                                          "Выход"}));
        // Header and status lines are never choosable.
        for (int line = 0; line < 4; ++line)
            QVERIFY(!h.enabled(line));
        h.trigger(QStringLiteral("Открыть"));
        QCOMPARE(h.windowsOpened, 1);
        h.trigger(QStringLiteral("Выход"));
        QCOMPARE(h.terminated, 1);
    }

    void itemsFollowTheState_data()
    {
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<bool>("reserve");
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("connectTitle");
        QTest::addColumn<QString>("reserveTitle");
        QTest::addColumn<bool>("itemsEnabled");
        QTest::addColumn<QString>("icon");
        QTest::newRow("disconnected") << ConnectionState::Disconnected << false << "Отключено" << "Подключить"
                                      << "Активировать резервный канал" << true << "globe";
        QTest::newRow("connecting") << ConnectionState::Connecting << false << "Подключение…" << "Подключение…"
                                    << "Активировать резервный канал" << false << "globe.badge.chevron.backward";
        QTest::newRow("disconnecting") << ConnectionState::Disconnecting << false << "Отключение…" << "Отключение…"
                                       << "Активировать резервный канал" << true << "globe.badge.chevron.backward";
        QTest::newRow("connected") << ConnectionState::Connected << false << "Подключено · Основной" << "Отключить"
                                   << "Активировать резервный канал" << true << "globe.americas.fill";
        QTest::newRow("reserve connecting") << ConnectionState::Connecting << true << "Подключение…" << "Подключение…"
                                            << "Выключить резервный канал" << false << "globe.badge.chevron.backward";
        QTest::newRow("reserve connected") << ConnectionState::Connected << true << "Подключено · Резерв" << "Отключить"
                                           << "Выключить резервный канал" << true << "exclamationmark.shield.fill";
    }
    void itemsFollowTheState()
    {
        QFETCH(ConnectionState, state);
        QFETCH(bool, reserve);
        QFETCH(QString, header);
        QFETCH(QString, connectTitle);
        QFETCH(QString, reserveTitle);
        QFETCH(bool, itemsEnabled);
        QFETCH(QString, icon);
        Harness h;
        AppState &app = h.fixture.startSignedIn();
        h.menuBar.attach(app);
        QSignalSpy iconChanges(&h.menuBar, &MenuBarController::iconChanged);
        if (reserve) {
            app.setConnectMode(ConnectMode::Reserve);
            app.setTarget(ConnectionTarget::reserve());
        } else {
            app.selectMode(ConnectMode::Main);
        }
        app.setConnectionState(state, h.fixture.clock.now().addSecs(-3725));
        QCOMPARE(h.menuBar.iconName(), icon);
        QCOMPARE(iconChanges.isEmpty(), icon == QStringLiteral("globe"));
        const QStringList titles = h.titles();
        QCOMPARE(titles.at(0), header);
        QCOMPARE(titles.at(1), state == ConnectionState::Connected ? QStringLiteral("Время: 01:02:05") : QStringLiteral("Время: 00:00:00"));
        QCOMPARE(titles.at(5), connectTitle);
        QCOMPARE(titles.at(6), reserveTitle);
        QCOMPARE(h.enabled(5), itemsEnabled);
        QCOMPARE(h.enabled(6), itemsEnabled);
        // The mode's icon only while connected.
        QMenu menu;
        h.menuBar.buildMenu(menu);
        QCOMPARE(!menu.actions().first()->icon().isNull(), state == ConnectionState::Connected);
    }

    void speedsAndTotals()
    {
        Harness h;
        AppState &app = h.fixture.startSignedIn();
        h.menuBar.attach(app);
        h.fixture.traffic->setDownloadBytesPerSecond(1536 * 1024);
        h.fixture.traffic->setUploadBytesPerSecond(2048);
        // Disconnected: the speeds read zero whatever the monitor last saw.
        QCOMPARE(h.titles().at(2), QStringLiteral("Скорость: ↓ 0 КБ/с   ↑ 0 КБ/с"));
        app.setConnectionState(ConnectionState::Connected, h.fixture.clock.now());
        QCOMPARE(h.titles().at(2), QStringLiteral("Скорость: ↓ 1.5 МБ/с   ↑ 2 КБ/с"));
    }

    void connectionAndReserveItems()
    {
        Harness h;
        AppState &app = h.fixture.startSignedIn();
        h.menuBar.attach(app);
        h.trigger(QStringLiteral("Подключить"));
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(h.fixture.settle([&] { return !app.switchingChannels; }));
        app.stopEverything();
        QVERIFY(h.fixture.settle([&] { return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels; }));

        // No question here: the reserve connects at once...
        h.trigger(QStringLiteral("Активировать резервный канал"));
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Reserve);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        app.setConnectionState(ConnectionState::Connected, h.fixture.clock.now());
        // ...and "Выключить" taps the globe, which stops it.
        h.trigger(QStringLiteral("Выключить резервный канал"));
        QVERIFY(app.connectionState() != ConnectionState::Connected);
    }

    void updateItemFollowsTheController()
    {
        Harness usable;
        QCOMPARE(usable.titles().at(9), QStringLiteral("Проверить обновления…"));
        QVERIFY(usable.enabled(9));
        Harness plainHttp(QUrl(QStringLiteral("http://updates.example.com/appcast.xml")));
        QVERIFY(!plainHttp.enabled(9));
    }

    void quitWaitsForTheTunnelsAtMostThreeSeconds_data()
    {
        QTest::addColumn<bool>("tunnelStops");
        QTest::newRow("tunnel stops") << true;
        QTest::newRow("tunnel stays up") << false;
    }
    void quitWaitsForTheTunnelsAtMostThreeSeconds()
    {
        QFETCH(bool, tunnelStops);
        Harness h;
        h.fixture.addRunningProfile(TunnelSource::Main, VpnStatus::Connected);
        AppState &app = h.fixture.startSignedIn();
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        h.menuBar.attach(app);
        if (!tunnelStops)
            h.fixture.profiles.setStatusOnStop(std::nullopt);
        const QDateTime asked = h.fixture.clock.now();
        h.trigger(QStringLiteral("Выход"));
        QCOMPARE(h.terminated, 0);
        QVERIFY(h.menuBar.isQuitting());
        h.trigger(QStringLiteral("Выход")); // a second request changes nothing
        QVERIFY(h.fixture.settle([&] { return h.terminated > 0; }, 5s, 50ms));
        QCOMPARE(h.terminated, 1);
        QVERIFY(h.fixture.profiles.calls().filter(QStringLiteral("stop")).size() >= 1);
        const qint64 waited = asked.msecsTo(h.fixture.clock.now());
        if (tunnelStops)
            QVERIFY2(waited < 1000, qPrintable(QString::number(waited)));
        else
            QVERIFY2(waited >= 3000 && waited <= 3200, qPrintable(QString::number(waited)));
    }

    void lastWindowClosed()
    {
        Harness h;
        AppState &app = h.fixture.startSignedIn();
        h.menuBar.attach(app);
        h.preferences.setMinimizeToMenuBar(true);
        QVERIFY(!h.menuBar.shouldTerminateAfterLastWindowClosed());
        h.menuBar.lastWindowClosed();
        QCOMPARE(h.terminated, 0);
        h.trigger(QStringLiteral("Открыть"));
        QCOMPARE(h.windowsOpened, 1);
        h.preferences.setMinimizeToMenuBar(false);
        h.menuBar.lastWindowClosed();
        QCOMPARE(h.terminated, 1);
    }

    void windowGlassFromTheStoredSetting()
    {
        Harness h;
        AppState &app = h.fixture.startSignedIn();
        QList<bool> applied;
        h.menuBar.applyWindowGlass = [&applied](bool glass) { applied.append(glass); };
        h.menuBar.windowBecameKey();
        app.setLiquidGlassEnabled(true);
        h.menuBar.windowBecameKey();
        QCOMPARE(applied, (QList<bool>{false, true}));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv); // the menu is a widget
    TestMenuBar test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_menu_bar.moc"
