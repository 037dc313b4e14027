// The desktop shell over a real AppState: the status-bar menu, the main window and one instance per user.

#include "../screen_host.h"

#include "shell/desktop/main_window.h"
#include "shell/desktop/menu_bar_controller.h"
#include "shell/desktop/single_instance.h"
#include "shell/desktop/update_controller.h"
#include "shell/desktop/window_glass.h"
#include "shell/mac_preferences.h"

#include <QMenu>
#include <QSignalSpy>

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
        menuBar.openMainWindow = [this] { ++windowsOpened, window ? window->show() : void(); };
    }

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
        window = std::make_unique<MainWindow>(host.qml.engine, &preferences, frameless);
        QObject::connect(window.get(), &MainWindow::closed, &menuBar, &MenuBarController::lastWindowClosed);
        return window->create() ? window->window() : nullptr;
    }
    // The menu's items from the top; separators as "—", disabled items in brackets.
    QStringList titles()
    {
        QStringList list;
        for (QAction *action : built().actions())
            list.append(action->isSeparator() ? u"—"_s : action->isEnabled() ? action->text() : '[' + action->text() + ']');
        return list;
    }
    void trigger(const QString &title)
    {
        for (QAction *action : built().actions()) {
            if (action->text() == title)
                return action->trigger();
        }
        QFAIL(qPrintable(u"no item "_s + title));
    }
    QMenu &built()
    {
        menuBar.buildMenu(menu);
        return menu;
    }

    ScreenHost host;
    test::AppFixture &f = host.fixture;
    MacPreferences preferences;
    UpdateController updates;
    MenuBarController menuBar;
    std::unique_ptr<MainWindow> window;
    QMenu menu;
    int terminated = 0;
    int windowsOpened = 0;
};
} // namespace

class TestDesktop : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { startUiTest(); }
    void cleanup() { QOR_VERIFY_NO_WARNINGS(); }

    void menuFollowsTheState_data()
    {
        QTest::addColumn<int>("state"); // -1: no state attached
        QTest::addColumn<bool>("reserve");
        QTest::addColumn<QStringList>("items"); // header, time, speeds, connection item, reserve item
        QTest::addColumn<QString>("icon");
        // Speeds read 0 unless connected or connecting.
        const QString still = u"[Скорость: ↓ 0 КБ/с   ↑ 0 КБ/с]"_s, moving = u"[Скорость: ↓ 1.5 МБ/с   ↑ 2 КБ/с]"_s;
        const QStringList idle{"[Отключено]", "[Время: 00:00:00]", still, "Подключить", "Активировать резервный канал"};
        QTest::newRow("no state") << -1 << false << idle << "globe";
        QTest::newRow("disconnected") << int(ConnectionState::Disconnected) << false << idle << "globe";
        QTest::newRow("connecting") << int(ConnectionState::Connecting) << false
                                    << QStringList{"[Подключение…]", "[Время: 00:00:00]", moving, "[Подключение…]", "[Активировать резервный канал]"}
                                    << "globe.badge.chevron.backward";
        QTest::newRow("connected") << int(ConnectionState::Connected) << false
                                   << QStringList{"[Подключено · Основной]", "[Время: 01:02:05]", moving, "Отключить", "Активировать резервный канал"}
                                   << "globe.americas.fill";
        QTest::newRow("reserve connected") << int(ConnectionState::Connected) << true
                                           << QStringList{"[Подключено · Резерв]", "[Время: 01:02:05]", moving, "Отключить", "Выключить резервный канал"}
                                           << "exclamationmark.shield.fill";
    }
    void menuFollowsTheState()
    {
        QFETCH(int, state);
        QFETCH(bool, reserve);
        QFETCH(QStringList, items);
        QFETCH(QString, icon);
        Desktop d;
        QSignalSpy iconChanges(&d.menuBar, &MenuBarController::iconChanged);
        if (state >= 0) {
            AppState &app = d.attached();
            if (reserve) {
                app.setConnectMode(ConnectMode::Reserve);
                app.setTarget(ConnectionTarget::reserve());
            } else {
                app.selectMode(ConnectMode::Main);
            }
            app.setConnectionState(ConnectionState(state), d.f.clock.now().addSecs(-3725));
        }
        d.f.traffic->setDownloadBytesPerSecond(1536 * 1024);
        d.f.traffic->setUploadBytesPerSecond(2048);
        QCOMPARE(d.menuBar.iconName(), icon);
        QCOMPARE(iconChanges.isEmpty(), icon == u"globe"_s);
        const QStringList traffic{"[Трафик: ↓ 0 КБ   ↑ 0 КБ]", "—"}, tail{"—", "Открыть", "Проверить обновления…", "Выход"};
        QCOMPARE(d.titles(), items.mid(0, 3) + traffic + items.mid(3) + tail);
        QCOMPARE(!d.built().actions().first()->icon().isNull(), state == int(ConnectionState::Connected));
        if (state < 0) {
            d.trigger(u"Открыть"_s);
            d.trigger(u"Выход"_s);
            QVERIFY(d.windowsOpened == 1 && d.terminated == 1);
        }
    }

    void connectionAndReserveItems()
    {
        Desktop d;
        AppState &app = d.attached();
        d.trigger(u"Подключить"_s);
        QCOMPARE(summary(app), u"connecting auto Qor AI Network"_s);
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
        // Updates are checked only over a secure feed.
        QCOMPARE(Desktop(QUrl(u"http://updates.example.com/appcast.xml"_s)).titles().at(9), u"[Проверить обновления…]"_s);
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
        QVERIFY(d.terminated == 0 && d.menuBar.isQuitting());
        d.trigger(u"Выход"_s); // a second request changes nothing
        QVERIFY(d.f.settle([&] { return d.terminated > 0; }, 5s, 50ms));
        QCOMPARE(d.terminated, 1);
        QVERIFY(!d.f.profiles.calls().filter(u"stop"_s).isEmpty());
        const qint64 waited = asked.msecsTo(d.f.clock.now());
        QVERIFY2(tunnelStops ? waited < 1000 : waited >= 3000 && waited <= 3200, qPrintable(QString::number(waited)));
    }

    void mainWindow_data()
    {
        QTest::addColumn<bool>("frameless");
        QTest::newRow("window manager's frame") << false;
        QTest::newRow("own title strip") << true;
    }
    // Framed by the window manager: glass mode; own strip: closing keeps or quits by the preference.
    void mainWindow()
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
        QQuickItem *root = window->contentItem();
        QVERIFY(findShown(root, u"connectView"_s));
        QCOMPARE(findShown(root, u"windowClose"_s) != nullptr, frameless);
        if (!frameless) {
            // The stored glass setting is applied each time a window becomes key.
            QList<bool> applied;
            d.menuBar.applyWindowGlass = [&applied](bool glass) { applied.append(glass); };
            d.menuBar.windowBecameKey();
            d.f.app().setLiquidGlassEnabled(true);
            d.menuBar.windowBecameKey();
            QCOMPARE(applied, (QList<bool>{false, true}));
            // Glass on main windows only; where nothing can show through, the opaque background.
            QQuickWindow other; // a dialog, a menu
            other.setColor(Qt::green);
            const QColor background(238, 241, 245);
            window_glass::apply(true, background, true);
            QCOMPARE(window->color(), QColor(Qt::transparent));
            QCOMPARE(other.color(), QColor(Qt::green));
            window_glass::apply(true, background, false);
            QCOMPARE(window->color(), background);
            window_glass::apply(true, background, true);
            window_glass::apply(false, background, true);
            QCOMPARE(window->color(), background);
            return;
        }

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
        clickItem(window, findShown(root, u"windowClose"_s));
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
        QVERIFY(!SingleInstance(path).claim());
        QVERIFY(asked.wait(3000));
        QCOMPARE(asked.size(), 1);

        // A socket file left behind by a crashed instance is taken over.
        const QString leftover = folder.filePath(u"leftover.socket"_s);
        QVERIFY(QFile(leftover).open(QIODevice::WriteOnly));
        SingleInstance instance(leftover);
        QVERIFY(instance.claim() && instance.isListening());
    }
};

QTEST_MAIN(TestDesktop) // a QApplication: the menu is a widget
#include "test_desktop.moc"
