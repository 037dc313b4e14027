// The desktop shell over a real AppState: the status-bar menu, the main window and one instance per user.
// The wrapper gives it a private session bus, where it plays the status-bar watcher itself.

#include "../screen_host.h"

#include "shell/desktop/main_window.h"
#include "shell/desktop/menu_bar_controller.h"
#include "shell/desktop/single_instance.h"
#include "shell/desktop/update_controller.h"
#include "shell/desktop/window_glass.h"
#include "shell/instance_lock.h"
#include "shell/mac_preferences.h"
#include "manual_clock.h"

#include <QDBusConnection>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include <unistd.h>

using namespace qor;
using namespace qor::testing;
using namespace std::chrono_literals;

namespace {
// org.kde.StatusNotifierWatcher on a connection of its own, as a desktop's panel runs it.
class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER m_host)
public:
    FakeWatcher() : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"watcher"_s))
    {
        m_bus.registerObject(u"/StatusNotifierWatcher"_s, this,
                             QDBusConnection::ExportAllProperties | QDBusConnection::ExportAllSignals);
        m_bus.registerService(u"org.kde.StatusNotifierWatcher"_s);
    }
    ~FakeWatcher() override { QDBusConnection::disconnectFromBus(u"watcher"_s); }
    void hostRegisters()
    {
        m_host = true;
        Q_EMIT StatusNotifierHostRegistered();
    }

Q_SIGNALS:
    void StatusNotifierHostRegistered();

private:
    QDBusConnection m_bus;
    bool m_host = false;
};

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
    // The status item's menu as it stands, never asked to show; separators as "—", disabled items in brackets.
    QStringList titles()
    {
        QStringList list;
        for (QAction *action : menuBar.menu()->actions())
            list.append(action->isSeparator() ? u"—"_s : action->isEnabled() ? action->text() : '[' + action->text() + ']');
        return list;
    }
    void trigger(const QString &title)
    {
        for (QAction *action : menuBar.menu()->actions()) {
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
        Desktop d(QUrl(u"http://127.0.0.1:9/appcast.xml"_s));
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
        QCOMPARE(!d.menuBar.menu()->actions().first()->icon().isNull(), state == int(ConnectionState::Connected));
        if (state == int(ConnectionState::Connected)) {
            d.f.clock.advance(1s); // the time line moves by itself
            QCOMPARE(d.titles().at(1), u"[Время: 01:02:06]"_s);
        }
        if (state < 0) {
            // The check only: its result has a dialog of its own, the window stays as it was.
            QSignalSpy checked(&d.updates, &UpdateController::checkFinished);
            d.trigger(u"Проверить обновления…"_s);
            QVERIFY(checked.wait(5000));
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
        // A company that withholds the reserve withholds it here too.
        QVERIFY(d.f.settle([&] { return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels; }));
        app.setCorporate(CorporateAccess::parse(test::okAnswer({{u"qor"_s, QJsonObject{{u"company"_s, u"ООО"_s}, {u"reserve"_s, false}}}})));
        QCOMPARE(d.titles().at(6), u"[Активировать резервный канал]"_s);
        d.menuBar.toggleReserve();
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
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
        QSignalSpy quit(d.window.get(), &MainWindow::quitRequested);
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.size(), 1);
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

        // No status bar: minimizing there cannot be chosen, and closing quits whatever was chosen before.
        d.menuBar.applicationDidFinishLaunching();
        findShown(root, u"connectView"_s)->setProperty("showNetwork", true);
        QQuickItem *minimize = findShown(root, u"minimizeSwitch"_s);
        QVERIFY(minimize);
        clickItem(window, minimize);
        QVERIFY(!minimize->isEnabled() && !d.preferences.minimizeToMenuBar() && !d.menuBar.statusItem());
        QSignalSpy closed(d.window.get(), &MainWindow::closed);
        d.preferences.setMinimizeToMenuBar(true);
        window->close();
        QTRY_COMPARE(closed.size(), 1);
        QCOMPARE(d.terminated, 1);
        d.trigger(u"Открыть"_s);

        // A panel's host registers after the start: the item appears, with the state as its tooltip.
        auto watcher = std::make_unique<FakeWatcher>();
        watcher->hostRegisters();
        QTRY_VERIFY(d.menuBar.statusBarAvailable());
        QVERIFY(d.menuBar.statusItem() && minimize->isEnabled());
        d.menuBar.attach(d.f.app());
        QCOMPARE(d.menuBar.statusItem()->toolTip(), u"Qor Connect — отключено"_s);
        d.f.app().setConnectionState(ConnectionState::Connected, d.f.clock.now());
        QCOMPARE(d.menuBar.statusItem()->toolTip(), u"Qor Connect — подключено"_s);
        d.f.app().setConnectionState(ConnectionState::Disconnected);
        clickItem(window, minimize);
        clickItem(window, minimize);
        QCOMPARE(d.f.standardDefaults.boolValue(u"qor.minimizeToMenuBar"_s), true);
        findShown(root, u"connectView"_s)->setProperty("showNetwork", false);
        QTRY_VERIFY(!findShown(root, u"networkPanel"_s));
        // The strip's close button closes; the process stays, "Открыть" brings it back.
        clickItem(window, findShown(root, u"windowClose"_s));
        QTRY_COMPARE(closed.size(), 2);
        QVERIFY(!window->isVisible());
        QCOMPARE(d.terminated, 1);
        d.trigger(u"Открыть"_s);
        QVERIFY(window->isVisible());

        // The watcher goes, and with it the item and the choice.
        watcher.reset();
        QTRY_VERIFY(!d.menuBar.statusBarAvailable());
        QVERIFY(!d.menuBar.statusItem() && !d.preferences.statusBarAvailable()); // (the panel, and its switch, are gone)
        window->close();
        QTRY_COMPARE(closed.size(), 3);
        QCOMPARE(d.terminated, 2);
    }

    // The lock decides: a launch that cannot take it reaches the holder even while that one is still starting.
    void oneInstancePerUser()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(u"qor-connect/window.socket"_s), lockPath = folder.filePath(u"instance.lock"_s);
        ManualClock clock;
        InstanceLock firstLock(lockPath), secondLock(lockPath);
        QVERIFY(firstLock.tryAcquire());
        SingleInstance first(firstLock, path), second(secondLock, path);
        // A socket file a crashed run left: only the lock holder may replace it.
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()) && QFile(path).open(QIODevice::WriteOnly));
        QSignalSpy asked(&first, &SingleInstance::activationRequested);
        auto claim = second.claim(clock, "launcher-token");
        clock.advance(1s);
        QVERIFY(QFile::exists(path) && !second.isListening());
        QVERIFY(first.listen());
        clock.advance(100ms);
        QCOMPARE(QCoro::waitFor(claim), SingleInstance::Claim::Forwarded);
        QTRY_COMPARE(asked.size(), 1);
        QCOMPARE(asked.at(0).at(0).toByteArray(), "launcher-token");
        QCOMPARE(QFileInfo(QFileInfo(path).absolutePath()).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
                 QFile::Permissions());

        // Another program holds it (qorctl during a long command): refused, with no window to bring forward.
        // The test's parent stands in: alive throughout, and QLockFile checks the name against its executable.
        firstLock.release();
        QFile held(lockPath);
        const QByteArray parent = QByteArray::number(getppid());
        const QString parentName = QFileInfo(QFile::symLinkTarget(u"/proc/"_s + parent + u"/exe"_s)).fileName();
        QVERIFY(held.open(QIODevice::WriteOnly) && held.write(parent + '\n' + parentName.toUtf8() + "\n\n") > 0);
        held.close();
        QCOMPARE(QCoro::waitFor(second.claim(clock, {})), SingleInstance::Claim::Refused);
    }

    // The login entry: Exec quoted as desktop entries quote; a desktop's own switch turns it off.
    void autostartEntry()
    {
        QTemporaryDir folder;
        const AutostartEntry entry(folder.filePath(u"qor-connect.desktop"_s), u"/opt/Qor Connect $1/qor-connect"_s);
        QVERIFY(entry.registerEntry() && entry.isRegistered());
        QFile file(entry.path());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray text = file.readAll();
        QVERIFY2(text.contains("\nExec=\"/opt/Qor Connect \\\\$1/qor-connect\" --autostart\n"), text.constData());
        file.seek(0);
        file.write(text.replace("X-GNOME-Autostart-enabled=true", "X-GNOME-Autostart-enabled=false"));
        file.close();
        QVERIFY(!entry.isRegistered());
    }
};

QTEST_MAIN(TestDesktop) // a QApplication: the menu is a widget
#include "test_desktop.moc"
