// The desktop shell over a real AppState: the status-bar item and its menu (icon,
// titles and enabling by state, the actions, quitting while connected), the main
// window (size, glass mode, closing and reopening it) and one instance per user.

#include "../screen_host.h"

#include "shell/desktop/main_window.h"
#include "shell/desktop/menu_bar_controller.h"
#include "shell/desktop/single_instance.h"
#include "shell/desktop/update_controller.h"
#include "shell/desktop/window_glass.h"
#include "shell/mac_preferences.h"

#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::testing;
using namespace std::chrono_literals;

namespace {
struct Desktop {
    explicit Desktop(QUrl feed = QUrl(u"https://updates.example.com/appcast.xml"_s))
        : preferences(f.standardDefaults, AutostartEntry(f.scratch.filePath(u"autostart/qor-connect.desktop"_s))),
          updates(f.clock, std::move(feed), QVersionNumber(1, 0)),
          menuBar({f.clock, f.sharedDefaults, preferences, *f.traffic, f.tunnel, f.reserveTunnel, &updates})
    {
        menuBar.terminate = [this] { ++terminated; };
        menuBar.openMainWindow = [this] {
            ++windowsOpened;
            if (window)
                window->show();
        };
    }
    ~Desktop() { window.reset(); }

    AppState &attached()
    {
        AppState &app = host.startSignedIn();
        menuBar.attach(app);
        return app;
    }
    // The main window over a signed-in state; closing it is the last window closing.
    QQuickWindow *createWindow(bool frameless)
    {
        host.startSignedIn();
        host.engine = std::make_unique<QQmlEngine>();
        registerScreensModule(*host.engine);
        window = std::make_unique<MainWindow>(*host.engine, &preferences, frameless);
        QObject::connect(window.get(), &MainWindow::closed, &menuBar, &MenuBarController::lastWindowClosed);
        return window->create() ? window->window() : nullptr;
    }
    // The menu's items from the top; separators as "—", disabled items in brackets.
    QStringList titles()
    {
        QMenu menu;
        menuBar.buildMenu(menu);
        QStringList list;
        for (QAction *action : menu.actions())
            list.append(action->isSeparator() ? u"—"_s : action->isEnabled() ? action->text() : '[' + action->text() + ']');
        return list;
    }
    void trigger(const QString &title)
    {
        QMenu menu;
        menuBar.buildMenu(menu);
        for (QAction *action : menu.actions()) {
            if (action->text() == title)
                return action->trigger();
        }
        QFAIL(qPrintable(u"no item "_s + title));
    }

    ScreenHost host;
    test::AppFixture &f = host.fixture;
    MacPreferences preferences;
    UpdateController updates;
    MenuBarController menuBar;
    std::unique_ptr<MainWindow> window;
    int terminated = 0;
    int windowsOpened = 0;
};
} // namespace

class TestDesktop : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { WarningLog::install(); }
    void cleanup() { QOR_VERIFY_NO_WARNINGS(); }

    void menuWithoutState()
    {
        Desktop d;
        QCOMPARE(d.titles(), (QStringList{"[Отключено]", "[Время: 00:00:00]", "[Скорость: ↓ 0 КБ/с   ↑ 0 КБ/с]", "[Трафик: ↓ 0 КБ   ↑ 0 КБ]", "—",
                                          "Подключить", "Активировать резервный канал", "—", "Открыть", "Проверить обновления…", "Выход"}));
        d.trigger(u"Открыть"_s);
        QCOMPARE(d.windowsOpened, 1);
        d.trigger(u"Выход"_s);
        QCOMPARE(d.terminated, 1);
        // Updates are checked only over a secure feed.
        QCOMPARE(Desktop(QUrl(u"http://updates.example.com/appcast.xml"_s)).titles().at(9), u"[Проверить обновления…]"_s);
    }

    void itemsFollowTheState_data()
    {
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<bool>("reserve");
        QTest::addColumn<QStringList>("items"); // header, time, connection item, reserve item
        QTest::addColumn<QString>("icon");
        QTest::newRow("disconnected") << ConnectionState::Disconnected << false
                                      << QStringList{"[Отключено]", "[Время: 00:00:00]", "Подключить", "Активировать резервный канал"} << "globe";
        QTest::newRow("connecting") << ConnectionState::Connecting << false
                                    << QStringList{"[Подключение…]", "[Время: 00:00:00]", "[Подключение…]", "[Активировать резервный канал]"}
                                    << "globe.badge.chevron.backward";
        QTest::newRow("connected") << ConnectionState::Connected << false
                                   << QStringList{"[Подключено · Основной]", "[Время: 01:02:05]", "Отключить", "Активировать резервный канал"}
                                   << "globe.americas.fill";
        QTest::newRow("reserve connected") << ConnectionState::Connected << true
                                           << QStringList{"[Подключено · Резерв]", "[Время: 01:02:05]", "Отключить", "Выключить резервный канал"}
                                           << "exclamationmark.shield.fill";
    }
    void itemsFollowTheState()
    {
        QFETCH(ConnectionState, state);
        QFETCH(bool, reserve);
        QFETCH(QStringList, items);
        QFETCH(QString, icon);
        Desktop d;
        AppState &app = d.attached();
        QSignalSpy iconChanges(&d.menuBar, &MenuBarController::iconChanged);
        if (reserve) {
            app.setConnectMode(ConnectMode::Reserve);
            app.setTarget(ConnectionTarget::reserve());
        } else {
            app.selectMode(ConnectMode::Main);
        }
        app.setConnectionState(state, d.f.clock.now().addSecs(-3725));
        QCOMPARE(d.menuBar.iconName(), icon);
        QCOMPARE(iconChanges.isEmpty(), icon == u"globe"_s);
        const QStringList titles = d.titles();
        QCOMPARE((QStringList{titles.at(0), titles.at(1), titles.at(5), titles.at(6)}), items);
        // The mode's icon only while connected.
        QMenu menu;
        d.menuBar.buildMenu(menu);
        QCOMPARE(!menu.actions().first()->icon().isNull(), state == ConnectionState::Connected);
    }

    void speedsReadZeroUnlessConnected()
    {
        Desktop d;
        AppState &app = d.attached();
        d.f.traffic->setDownloadBytesPerSecond(1536 * 1024);
        d.f.traffic->setUploadBytesPerSecond(2048);
        QCOMPARE(d.titles().at(2), u"[Скорость: ↓ 0 КБ/с   ↑ 0 КБ/с]"_s);
        app.setConnectionState(ConnectionState::Connected, d.f.clock.now());
        QCOMPARE(d.titles().at(2), u"[Скорость: ↓ 1.5 МБ/с   ↑ 2 КБ/с]"_s);
    }

    void connectionAndReserveItems()
    {
        Desktop d;
        AppState &app = d.attached();
        d.trigger(u"Подключить"_s);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(d.f.settle([&] { return !app.switchingChannels; }));
        app.stopEverything();
        QVERIFY(d.f.settle([&] { return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels; }));
        // No question here: the reserve connects at once...
        d.trigger(u"Активировать резервный канал"_s);
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Reserve);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        app.setConnectionState(ConnectionState::Connected, d.f.clock.now());
        // ...and "Выключить" taps the globe, which stops it.
        d.trigger(u"Выключить резервный канал"_s);
        QVERIFY(app.connectionState() != ConnectionState::Connected);
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
        Desktop d;
        d.f.addRunningProfile(TunnelSource::Main, VpnStatus::Connected);
        QCOMPARE(d.attached().connectionState(), ConnectionState::Connected);
        if (!tunnelStops)
            d.f.profiles.setStatusOnStop(std::nullopt);
        const QDateTime asked = d.f.clock.now();
        d.trigger(u"Выход"_s);
        QCOMPARE(d.terminated, 0);
        QVERIFY(d.menuBar.isQuitting());
        d.trigger(u"Выход"_s); // a second request changes nothing
        QVERIFY(d.f.settle([&] { return d.terminated > 0; }, 5s, 50ms));
        QCOMPARE(d.terminated, 1);
        QVERIFY(!d.f.profiles.calls().filter(u"stop"_s).isEmpty());
        const qint64 waited = asked.msecsTo(d.f.clock.now());
        QVERIFY2(tunnelStops ? waited < 1000 : waited >= 3000 && waited <= 3200, qPrintable(QString::number(waited)));
    }

    void windowGlassFromTheStoredSetting()
    {
        Desktop d;
        AppState &app = d.host.startSignedIn();
        QList<bool> applied;
        d.menuBar.applyWindowGlass = [&applied](bool glass) { applied.append(glass); };
        d.menuBar.windowBecameKey();
        app.setLiquidGlassEnabled(true);
        d.menuBar.windowBecameKey();
        QCOMPARE(applied, (QList<bool>{false, true}));
    }

    void windowSizedToItsContent_data()
    {
        QTest::addColumn<bool>("frameless");
        QTest::newRow("window manager's frame") << false;
        QTest::newRow("own title strip") << true;
    }
    void windowSizedToItsContent()
    {
        QFETCH(bool, frameless);
        Desktop d;
        QQuickWindow *window = d.createWindow(frameless);
        QVERIFY(window);
        QCOMPARE(window->title(), u"Qor Connect"_s);
        QCOMPARE(window->objectName(), u"main"_s);
        QVERIFY(window->property(window_glass::mainWindowProperty).toBool());
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->size(), QSize(380, frameless ? 660 + 28 : 660));
        QCOMPARE(bool(window->flags() & Qt::FramelessWindowHint), frameless);
        QSignalSpy firstFrame(d.window.get(), &MainWindow::firstFrame);
        d.window->show();
        QVERIFY(firstFrame.wait(5000));
        QVERIFY(findShown(window->contentItem(), u"connectView"_s));
        QCOMPARE(findShown(window->contentItem(), u"windowClose"_s) != nullptr, frameless);
    }

    void glassModeOnMainWindowsOnly()
    {
        Desktop d;
        QQuickWindow *window = d.createWindow(false);
        QVERIFY(window);
        QQuickWindow other; // a dialog, a menu: not a main window
        other.setColor(Qt::green);
        const QColor background(238, 241, 245);
        window_glass::apply(true, background, true);
        QCOMPARE(window->color(), QColor(Qt::transparent));
        QCOMPARE(other.color(), QColor(Qt::green));
        // Where nothing can show through, glass falls back to the opaque background.
        window_glass::apply(true, background, false);
        QCOMPARE(window->color(), background);
        window_glass::apply(true, background, true);
        window_glass::apply(false, background, true);
        QCOMPARE(window->color(), background);
    }

    void closingKeepsOrQuitsByThePreference()
    {
        Desktop d;
        QQuickWindow *window = d.createWindow(true);
        QVERIFY(window);
        d.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // The network panel's switch sets the real preference.
        QQuickItem *root = window->contentItem();
        findShown(root, u"connectView"_s)->setProperty("showNetwork", true);
        QQuickItem *minimize = findShown(root, u"minimizeSwitch"_s);
        QVERIFY(minimize);
        clickItem(window, minimize);
        QVERIFY(d.preferences.minimizeToMenuBar());
        QCOMPARE(d.f.standardDefaults.boolValue(u"qor.minimizeToMenuBar"_s), true);
        findShown(root, u"connectView"_s)->setProperty("showNetwork", false);
        QTRY_VERIFY(!findShown(root, u"networkPanel"_s));
        QSignalSpy closed(d.window.get(), &MainWindow::closed);

        // The strip's close button closes; the process stays, "Открыть" brings it back.
        QQuickItem *closeButton = findShown(root, u"windowClose"_s);
        QVERIFY(closeButton);
        clickItem(window, closeButton);
        QTRY_COMPARE(closed.size(), 1);
        QVERIFY(!window->isVisible());
        QCOMPARE(d.terminated, 0);
        d.trigger(u"Открыть"_s);
        QVERIFY(window->isVisible());

        d.preferences.setMinimizeToMenuBar(false);
        window->close();
        QTRY_COMPARE(closed.size(), 2);
        QCOMPARE(d.terminated, 1);
    }

    void oneInstancePerUser()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(u"qor-connect/window.socket"_s);
        SingleInstance first(path);
        QVERIFY(first.claim() && first.isListening());
        QCOMPARE(QFileInfo(QFileInfo(path).absolutePath()).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
                 QFile::Permissions());
        QSignalSpy asked(&first, &SingleInstance::activationRequested);
        {
            SingleInstance second(path);
            QVERIFY(!second.claim() && !second.isListening());
        }
        QVERIFY(asked.wait(3000));
        QCOMPARE(asked.size(), 1);

        // A socket file left behind by a crashed instance is taken over.
        const QString leftover = folder.filePath(u"leftover.socket"_s);
        QFile file(leftover);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        SingleInstance instance(leftover);
        QVERIFY(instance.claim() && instance.isListening());
    }
};

int main(int argc, char **argv)
{
    QmlHost::useSoftwareRenderer();
    QApplication app(argc, argv); // the menu is a widget
    TestDesktop test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_desktop.moc"
