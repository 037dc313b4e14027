#include "manual_clock.h"
#include "task_outcome.h"
#include "fake_profile_service.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/tunnel_manager.h"

#include <QDir>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;
using Call = FakeProfileService::Call;

class TestReserveTunnelManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        const QString empty = qEnvironmentVariable("QOR_TEST_SCRATCH") + QStringLiteral("/empty-bundle");
        QDir().mkpath(empty);
        qputenv("QOR_BUNDLE_DIR", empty.toUtf8());
    }

    void startWritesTheReserveProfileOnce_data()
    {
        QTest::addColumn<QStringList>("configs");
        QTest::newRow("two servers") << QStringList{"[Interface]\nPrivateKey = a\n", "[Interface]\nPrivateKey = b\n"};
        QTest::newRow("empty list") << QStringList{};
    }

    void startWritesTheReserveProfileOnce()
    {
        QFETCH(QStringList, configs);
        FakeProfileService service;
        ManualClock clock;
        ReserveTunnelManager manager(service, clock);
        auto outcome = track(manager.start(configs));
        ManualClock::drainEvents();
        QVERIFY(outcome->done && !outcome->failed());

        const VpnProfile saved = service.stored().first();
        QCOMPARE(saved.protocol->providerBundleIdentifier, QStringLiteral("com.qorvpn.connect.mac.reserve"));
        QCOMPARE(saved.protocol->serverAddress, QStringLiteral("Qor Reserve"));
        QCOMPARE(saved.localizedDescription, QStringLiteral("Qor Connect Reserve"));
        QVERIFY(saved.enabled);
        QVERIFY(saved.onDemandEnabled);
        QCOMPARE(saved.onDemandRules, (QList<OnDemandRule>{OnDemandRule{"connect", "any"}}));
        const QVariantMap conf = saved.protocol->providerConfiguration;
        QCOMPARE(conf.keys(), QStringList{"wgQuickConfigs"});
        QCOMPARE(conf.value("wgQuickConfigs").toStringList(), configs);
        // The configuration is already in the first save; the second only adds on-demand.
        QCOMPARE(service.saveHistory().first().protocol->providerConfiguration, conf);
        QVERIFY(service.calls().last().startsWith("start "));
    }

    void refusedOnDemandSaveIsSilent()
    {
        FakeProfileService service;
        ManualClock clock;
        ReserveTunnelManager manager(service, clock);
        service.failOn(Call::Save, PlatformError("com.qorvpn.connect.profiles", 5, "нет"), -1, 1);
        auto outcome = track(manager.start({"conf"}));
        ManualClock::drainEvents();
        QVERIFY(outcome->done);
        QVERIFY(!outcome->failed());
        QVERIFY(service.calls().last().startsWith("start "));
        QVERIFY(!service.stored().first().onDemandEnabled);
    }

    void refusedCallsNeverReportNestedErrors_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("stage");
        QTest::newRow("load all") << int(Call::LoadAll) << "loadAllFromPreferences";
        QTest::newRow("save") << int(Call::Save) << "saveToPreferences";
        QTest::newRow("reload") << int(Call::Reload) << "loadFromPreferences";
        QTest::newRow("start") << int(Call::Start) << "startVPNTunnel";
    }

    void refusedCallsNeverReportNestedErrors()
    {
        QFETCH(int, call);
        QFETCH(QString, stage);
        FakeProfileService service;
        ManualClock clock;
        ReserveTunnelManager manager(service, clock);
        service.failOn(Call(call), PlatformError("com.qorvpn.connect.profiles", 3, "Сбой", PlatformError("POSIX", 2, "No such file")));
        auto outcome = track(manager.start({"conf"}));
        ManualClock::drainEvents();
        QVERIFY(outcome->failed());
        QCOMPARE(*outcome->errorDomain, QStringLiteral("ReserveTunnelManager.ReserveTunnelError"));
        QCOMPARE(outcome->errorDescription, "[" + stage + "] domain=com.qorvpn.connect.profiles code=3 Сбой");
    }

    void channelsKeepSeparateProfiles()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager main(service, clock);
        ReserveTunnelManager reserve(service, clock);
        QList<int> mainReports, reserveReports;
        main.onStatusChange = [&](int s) { mainReports.append(s); };
        reserve.onStatusChange = [&](int s) { reserveReports.append(s); };

        track(main.start(QStringLiteral("DOC")));
        track(reserve.start({"conf"}));
        ManualClock::drainEvents();
        QCOMPARE(service.stored().size(), 2);
        QVERIFY(main.profile()->id != reserve.profile()->id);

        service.setStatus(reserve.profile()->id, VpnStatus::Connected);
        ManualClock::drainEvents();
        QCOMPARE(reserveReports, QList<int>{3});
        QVERIFY(mainReports.isEmpty());
        QCOMPARE(main.connectionStatus(), std::optional<int>(1));
        QCOMPARE(reserve.connectionStatus(), std::optional<int>(3));

        // Stopping the reserve leaves the main profile alone.
        service.clearCalls();
        auto stopped = track(reserve.stopAndWait(10.0));
        ManualClock::drainEvents();
        QVERIFY(stopped->done);
        for (const QString &call : service.calls())
            QVERIFY2(call.endsWith(reserve.profile()->id), qPrintable(call));
        QCOMPARE(reserve.connectionStatus(), std::optional<int>(1));
    }
};

QTEST_GUILESS_MAIN(TestReserveTunnelManager)
#include "test_reserve_tunnel_manager.moc"
