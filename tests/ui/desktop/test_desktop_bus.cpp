// Desktop notifications and the channel check after a wake-up or a network change, against the notification
// server, logind and NetworkManager this test plays on the wrapper's private session and "system" buses.

#include "app_fixture.h"

#include "shell/desktop/desktop_notifier.h"
#include "shell/desktop/update_controller.h"
#include "shell/desktop/wake_watcher.h"

#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QRegularExpression>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {
const QString notifications = u"org.freedesktop.Notifications"_s, networkManager = u"org.freedesktop.NetworkManager"_s;
const QString networkManagerPath = u"/org/freedesktop/NetworkManager"_s;

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList shown; // "replaces_id title: body", the sender first when it is not the application
    uint lastId = 0;
public Q_SLOTS:
    uint Notify(const QString &app, uint replaces, const QString &icon, const QString &title, const QString &body, const QStringList &,
                const QVariantMap &, int)
    {
        const QString sender = app + '/' + icon;
        shown.append((sender == "Qor Connect/qor-connect"_L1 ? QString() : sender + ' ') + u"%1 %2: %3"_s.arg(replaces).arg(title, body));
        return replaces ? replaces : ++lastId;
    }
    QStringList GetCapabilities() { return {u"body"_s}; }
    QString GetServerInformation(QString &vendor, QString &version, QString &spec) { return vendor = version = spec = u"1.2"_s; }
};
} // namespace

class TestDesktopBus : public QObject {
    Q_OBJECT
    // logind and NetworkManager on a connection of their own, so what they send travels through the bus.
    QDBusConnection fakes = QDBusConnection::connectToBus(QDBusConnection::SystemBus, u"fakes"_s);

    void send(const QString &path, const QString &interface, const QString &member, const QVariantList &arguments)
    {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, member);
        signal.setArguments(arguments);
        fakes.send(signal);
        // The ping's answer comes after the signal, which is then queued for the watcher.
        QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(fakes.baseService(), u"/"_s, u"org.freedesktop.DBus.Peer"_s, u"Ping"_s));
        ManualClock::drainEvents();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
            QSKIP("no private buses (run through the wrapper)");
        QVERIFY(fakes.registerService(u"org.freedesktop.login1"_s) && fakes.registerService(networkManager));
        // The default connections deliver only after a pass of the event loop.
        QVERIFY(QDBusConnection::systemBus().isConnected() && QDBusConnection::sessionBus().isConnected());
        ManualClock::drainEvents();
    }
    void init() { QTest::failOnWarning(QRegularExpression(u".*"_s)); }

    void notificationsWhileTheWindowIsAway()
    {
        test::AppFixture f;
        AppState &app = f.startSignedIn();
        UpdateController updates(f.clock, QUrl(u"https://updates.example.com/appcast.xml"_s), QVersionNumber(1, 0));
        appcast::Release release;
        release.version = u"1.5"_s;
        DesktopNotifier notifier(app, &updates);
        bool inFront = false;
        notifier.windowInFront = [&] { return inFront; };
        const auto report = [&](TunnelSource source, QList<int> statuses) { for (int status : statuses) app.handleTunnelStatus(status, source); };

        report(TunnelSource::Main, {3, 1}); // no server: goes nowhere, quietly (its answer comes before the one below)
        QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(notifications));
        ManualClock::drainEvents();
        FakeNotifications server;
        QDBusConnection serverBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"server"_s);
        serverBus.registerObject(u"/org/freedesktop/Notifications"_s, &server, QDBusConnection::ExportAllSlots);
        QVERIFY(serverBus.registerService(notifications));

        inFront = true;
        report(TunnelSource::Main, {3, 1});
        inFront = false;
        report(TunnelSource::Main, {2, 1}); // a start that never came up
        Q_EMIT updates.checkFinished(UpdateController::Outcome::UpdateAvailable, release, true); // the user's own check

        report(TunnelSource::Main, {3, 1});
        app.stopEverything();
        app.reconnectAttempt = 6; // the schedule has run out
        app.scheduleReconnect();
        Q_EMIT updates.checkFinished(UpdateController::Outcome::UpdateAvailable, release, false);
        app.enableReserve(); // the account has no reserve servers
        QVERIFY(f.settle([&] { return app.connectionError().has_value(); }));
        app.setAutoReconnectEnabled(false);
        report(TunnelSource::Reserve, {3, 1});
        report(TunnelSource::Reserve, {3});
        app.tapGlobe(); // the user's own disconnect
        report(TunnelSource::Reserve, {1});
        const QString ending = u"Соединение будет разорвано через 5 мин — заканчивается рабочее окно"_s;
        app.setSessionWarning(ending);
        app.setSessionWarning(ending); // the countdown's next pass
        app.setSessionWarning(u"Доступ на сегодня закончен — заканчивается рабочее окно"_s);

        QStringList expected{"0 Соединение потеряно: Переподключаемся…", "0 Не удалось переподключиться: Проверьте интернет и подключитесь снова",
                             "0 Доступно обновление: Qor Connect 1.5", "0 Не удалось подключиться: Нет доступных резервных серверов",
                             "1 Соединение потеряно: Подключитесь снова в Qor Connect", "0 Корпоративный доступ: " + ending,
                             "5 Корпоративный доступ: Доступ на сегодня закончен — заканчивается рабочее окно"};
        expected.sort(); // a replacement waits for the id of the one it replaces, so kinds may cross on the way
        QTRY_COMPARE([&] { QStringList shown = server.shown; shown.sort(); return shown; }(), expected);
    }

    void wakeUpsAndNetworkChangesCheckTheChannel_data()
    {
        QTest::addColumn<QStringList>("events"); // logind's resume, a NetworkManager state, a new primary connection
        QTest::addColumn<bool>("answers");
        QTest::addColumn<bool>("autoReconnect");
        QTest::addColumn<QString>("outcome"); // error, probes, reconnects
        QTest::newRow("resume, silent channel") << QStringList{"resume"} << false << true << "- 1 1";
        QTest::newRow("network back, channel answers") << QStringList{"20", "70"} << true << true << "- 1 0";
        QTest::newRow("new route, no auto-reconnect") << QStringList{"route"} << false << false << AppState::networkWarning + " 1 0";
        QTest::newRow("resume before the network") << QStringList{"10", "resume"} << false << true << "- 0 0";
        QTest::newRow("burst, one probe") << QStringList{"resume", "70", "route"} << false << true << "- 1 1";
        QTest::newRow("route of a fresh connection") << QStringList{"fresh", "route"} << false << true << "- 0 0";
    }
    void wakeUpsAndNetworkChangesCheckTheChannel()
    {
        QFETCH(QStringList, events);
        QFETCH(bool, answers);
        QFETCH(bool, autoReconnect);
        QFETCH(QString, outcome);
        int probes = 0;
        test::AppFixture f;
        AppServices services = f.services();
        services.probeConnectivity = [&]() -> QCoro::Task<bool> { // an answer takes a moment, so events can meet one under way
            ++probes;
            co_await f.clock.sleep(500ms, f.teardown);
            co_return answers;
        };
        f.state = std::make_unique<AppState>(services);
        AppState &app = f.app();
        QVERIFY(f.startupDone());
        app.setAutoReconnectEnabled(autoReconnect);
        app.handleTunnelStatus(3, TunnelSource::Main);
        if (!events.contains("fresh"_L1)) // up for a minute: past the channel check's own patience
            app.setConnectionState(ConnectionState::Connected, f.clock.now().addSecs(-60));
        if (answers)
            app.setConnectionError(AppState::networkWarning); // left by the channel check before the sleep
        WakeWatcher watcher(app);

        for (const QString &event : events) {
            if (event == "resume"_L1)
                send(u"/org/freedesktop/login1"_s, u"org.freedesktop.login1.Manager"_s, u"PrepareForSleep"_s, {false});
            else if (event == "route"_L1)
                send(networkManagerPath, u"org.freedesktop.DBus.Properties"_s, u"PropertiesChanged"_s,
                     {networkManager, QVariantMap{{u"PrimaryConnection"_s, QVariant::fromValue(QDBusObjectPath(networkManagerPath + u"/ActiveConnection/2"_s))}}, QStringList()});
            else
                send(networkManagerPath, networkManager, u"StateChanged"_s, {event.toUInt()});
        }
        f.clock.advance(1s); // the probe answers; the main channel's own check is not due before 3 s
        QCOMPARE(u"%1 %2 %3"_s.arg(app.connectionError().value_or(u"-"_s)).arg(probes).arg(f.traceLines().filter(u"connect -> "_s).size()), outcome);
    }
};

QTEST_GUILESS_MAIN(TestDesktopBus)
#include "test_desktop_bus.moc"
