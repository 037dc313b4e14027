#include "manual_clock.h"
#include "task_outcome.h"
#include "fake_profile_service.h"
#include "tunnel/tunnel_error.h"
#include "tunnel/tunnel_manager.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

Q_DECLARE_METATYPE(std::optional<QString>)

using namespace qor;
using namespace std::chrono_literals;
using Call = FakeProfileService::Call;

namespace {

PlatformError refusal(int code = 5)
{
    return PlatformError(QStringLiteral("com.qorvpn.connect.profiles"), code, QStringLiteral("Отказано"));
}

VpnProfile foreignProfile(const QString &identifier, const QString &description)
{
    VpnProfile p;
    p.localizedDescription = description;
    p.enabled = true;
    p.protocol = TunnelProviderProtocol{identifier, QStringLiteral("elsewhere"), {{QStringLiteral("k"), QStringLiteral("v")}}};
    return p;
}

} // namespace

class TestTunnelManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A bundle without an identifier of its own.
        const QString empty = qEnvironmentVariable("QOR_TEST_SCRATCH") + QStringLiteral("/empty-bundle");
        QDir().mkpath(empty);
        qputenv("QOR_BUNDLE_DIR", empty.toUtf8());
    }

    void placeholderDocumentIsPinned()
    {
        const QByteArray expected =
            "{\n"
            "  \"log\": { \"level\": \"info\" },\n"
            "  \"inbounds\": [\n"
            "    {\n"
            "      \"type\": \"tun\",\n"
            "      \"interface_name\": \"utun-qor\",\n"
            "      \"address\": [\"172.19.0.1/30\"],\n"
            "      \"mtu\": 9000,\n"
            "      \"auto_route\": true,\n"
            "      \"strict_route\": false,\n"
            "      \"stack\": \"system\"\n"
            "    }\n"
            "  ],\n"
            "  \"outbounds\": [\n"
            "    { \"type\": \"direct\", \"tag\": \"direct\" }\n"
            "  ]\n"
            "}";
        const QByteArray actual = TunnelManager::placeholderConfiguration().toUtf8();
        QCOMPARE(actual.size(), 320);
        QCOMPARE(actual, expected);
        QJsonParseError error{};
        const QJsonObject doc = QJsonDocument::fromJson(actual, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(doc.value("inbounds").toArray().at(0).toObject().value("mtu").toInt(), 9000);
        QCOMPARE(doc.value("outbounds").toArray().size(), 1);
    }

    void firstStartCreatesProfileAndWritesItTwice()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        QCOMPARE(manager.connectionStatus(), std::optional<int>());

        auto outcome = track(manager.start(QStringLiteral("{\"doc\":1}"), {}, std::nullopt, std::nullopt));
        ManualClock::drainEvents();
        QVERIFY(outcome->done);
        QVERIFY(!outcome->failed());

        QCOMPARE(service.stored().size(), 1);
        const VpnProfile saved = service.stored().first();
        const QString id = saved.id;
        QCOMPARE(service.calls(), (QStringList{"loadAll", "save new", "reload " + id, "save " + id, "start " + id}));
        QVERIFY(saved.protocol.has_value());
        QCOMPARE(saved.protocol->providerBundleIdentifier, QStringLiteral("com.qorvpn.connect.mac.tunnel"));
        QCOMPARE(saved.protocol->serverAddress, QStringLiteral("Qor Network"));
        QCOMPARE(saved.localizedDescription, QStringLiteral("Qor Connect"));
        QVERIFY(saved.enabled);
        QVERIFY(saved.onDemandEnabled);
        QCOMPARE(saved.onDemandRules, (QList<OnDemandRule>{OnDemandRule{"connect", "any"}}));
        QCOMPARE(saved.protocol->providerConfiguration,
                 (QVariantMap{{QStringLiteral("configContent"), QStringLiteral("{\"doc\":1}")}}));

        // The first save carries the placeholder and no on-demand rule.
        const VpnProfile first = service.saveHistory().first();
        QCOMPARE(first.protocol->providerConfiguration,
                 (QVariantMap{{QStringLiteral("configContent"), TunnelManager::placeholderConfiguration()}}));
        QVERIFY(!first.onDemandEnabled);
        QVERIFY(first.onDemandRules.isEmpty());

        QCOMPARE(manager.connectionStatus(), std::optional<int>(1));
    }

    void providerConfigurationEntries_data()
    {
        QTest::addColumn<QStringList>("bypass");
        QTest::addColumn<std::optional<QString>>("key");
        QTest::addColumn<bool>("withPolicy");
        QTest::addColumn<QStringList>("expectedKeys");

        QTest::newRow("bare") << QStringList{} << std::optional<QString>() << false << QStringList{"configContent"};
        QTest::newRow("empty key") << QStringList{} << std::optional<QString>(QString()) << false
                                   << QStringList{"configContent"};
        QTest::newRow("empty bypass, policy") << QStringList{} << std::optional<QString>(QString()) << true
                                              << QStringList{"configContent", "policy"};
        QTest::newRow("bypass") << QStringList{"192.0.2.1", "198.51.100.7"} << std::optional<QString>() << false
                                << QStringList{"bypassIPs", "configContent"};
        QTest::newRow("all") << QStringList{"192.0.2.1"} << std::optional<QString>(QStringLiteral("k3y")) << true
                             << QStringList{"bypassIPs", "configContent", "policy", "tavrinKey"};
    }

    void providerConfigurationEntries()
    {
        QFETCH(QStringList, bypass);
        QFETCH(std::optional<QString>, key);
        QFETCH(bool, withPolicy);
        QFETCH(QStringList, expectedKeys);

        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        const QVariantMap policy{{QStringLiteral("block_torrent"), true},
                                 {QStringLiteral("block_domains"), QStringList{"example.org"}}};
        auto outcome = track(manager.start(QStringLiteral("DOC"), bypass, key,
                                           withPolicy ? std::optional<QVariantMap>(policy) : std::nullopt));
        ManualClock::drainEvents();
        QVERIFY(outcome->done && !outcome->failed());

        const QVariantMap conf = service.stored().first().protocol->providerConfiguration;
        QCOMPARE(conf.keys(), expectedKeys);
        QCOMPARE(conf.value("configContent").toString(), QStringLiteral("DOC"));
        if (conf.contains("bypassIPs"))
            QCOMPARE(conf.value("bypassIPs").toStringList(), bypass);
        if (conf.contains("policy"))
            QCOMPARE(conf.value("policy").toMap(), policy);
        if (conf.contains("tavrinKey"))
            QCOMPARE(conf.value("tavrinKey").toString(), *key);
    }

    void startWithoutDocumentKeepsPlaceholder()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        auto outcome = track(manager.start(std::nullopt, {"192.0.2.1"}, QStringLiteral("key"), QVariantMap{}));
        ManualClock::drainEvents();
        QVERIFY(outcome->done && !outcome->failed());
        const VpnProfile saved = service.stored().first();
        QCOMPARE(saved.protocol->providerConfiguration,
                 (QVariantMap{{QStringLiteral("configContent"), TunnelManager::placeholderConfiguration()}}));
        QVERIFY(saved.onDemandEnabled);
        QVERIFY(service.calls().last().startsWith("start "));
    }

    void secondStartReplacesEntriesOfTheFirst()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        track(manager.start(QStringLiteral("A"), {"192.0.2.1"}, QStringLiteral("key"), QVariantMap{{"doh", true}}));
        ManualClock::drainEvents();
        auto second = track(manager.start(QStringLiteral("B"), {}, std::nullopt, std::nullopt));
        ManualClock::drainEvents();
        QVERIFY(second->done && !second->failed());
        QCOMPARE(service.stored().size(), 1);
        QCOMPARE(service.stored().first().protocol->providerConfiguration,
                 (QVariantMap{{QStringLiteral("configContent"), QStringLiteral("B")}}));
    }

    void onlyTheFirstProfileOfTheChannelIsUsed()
    {
        FakeProfileService service;
        ManualClock clock;
        VpnProfile otherKind;
        otherKind.localizedDescription = "IKEv2";
        otherKind.protocolKind = "ikev2";
        service.addStored(otherKind);
        service.addStored(foreignProfile("com.qorvpn.connect.mac.reserve", "reserve"));
        service.addStored(foreignProfile("com.qorvpn.connect.mac.TUNNEL", "wrong case"));
        const QString firstId = service.addStored(foreignProfile("com.qorvpn.connect.mac.tunnel", "first"));
        const QString secondId = service.addStored(foreignProfile("com.qorvpn.connect.mac.tunnel", "second"));
        const QList<VpnProfile> before = service.stored();

        TunnelManager manager(service, clock);
        auto outcome = track(manager.start(QStringLiteral("DOC")));
        ManualClock::drainEvents();
        QVERIFY(outcome->done && !outcome->failed());

        const QList<VpnProfile> after = service.stored();
        QCOMPARE(after.size(), 5);
        for (int i : {0, 1, 2, 4})
            QCOMPARE(after[i], before[i]);
        QCOMPARE(after[3].id, firstId);
        QCOMPARE(after[3].localizedDescription, QStringLiteral("Qor Connect"));
        QCOMPARE(manager.profile()->id, firstId);
        QVERIFY(secondId != firstId);
    }

    void refusedCallsNameTheirStage_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<bool>("nested");
        QTest::addColumn<QString>("expected");

        const QString text = QStringLiteral(" code=5 Отказано");
        QTest::newRow("load all") << int(Call::LoadAll) << false
                                  << "[loadAllFromPreferences] domain=com.qorvpn.connect.profiles" + text;
        QTest::newRow("save") << int(Call::Save) << false << "[saveToPreferences] domain=com.qorvpn.connect.profiles" + text;
        QTest::newRow("reload") << int(Call::Reload) << false
                                << "[loadFromPreferences] domain=com.qorvpn.connect.profiles" + text;
        QTest::newRow("start") << int(Call::Start) << false << "[startVPNTunnel] domain=com.qorvpn.connect.profiles" + text;
        QTest::newRow("save, nested") << int(Call::Save) << true
                                      << "[saveToPreferences] domain=com.qorvpn.connect.profiles" + text
                                             + " | underlying: domain=POSIX code=13 Permission denied";
    }

    void refusedCallsNameTheirStage()
    {
        QFETCH(int, call);
        QFETCH(bool, nested);
        QFETCH(QString, expected);

        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        const PlatformError error = nested
            ? PlatformError("com.qorvpn.connect.profiles", 5, "Отказано",
                            PlatformError("POSIX", 13, "Permission denied", PlatformError("deeper", 1, "never shown")))
            : refusal();
        service.failOn(Call(call), error);
        auto outcome = track(manager.start(QStringLiteral("DOC")));
        ManualClock::drainEvents();
        QVERIFY(outcome->done);
        QVERIFY(outcome->failed());
        QCOMPARE(*outcome->errorDomain, QStringLiteral("TunnelManager.TunnelError"));
        QCOMPARE(outcome->errorDescription, expected);
    }

    void refusedSecondSaveReachesCallerUnwrapped()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        service.failOn(Call::Save, refusal(7), -1, 1);
        auto outcome = track(manager.start(QStringLiteral("DOC")));
        ManualClock::drainEvents();
        QVERIFY(outcome->failed());
        QCOMPARE(*outcome->errorDomain, QStringLiteral("com.qorvpn.connect.profiles"));
        QCOMPARE(outcome->errorCode, 7);
        QCOMPARE(outcome->errorDescription, QStringLiteral("Отказано"));
        QVERIFY(!service.calls().last().startsWith("start"));
    }

    void loadExistingAdoptsAndReportsOnce()
    {
        FakeProfileService service;
        ManualClock clock;
        const QString id = service.addStored(foreignProfile("com.qorvpn.connect.mac.tunnel", "kept"));
        service.setStatus(id, VpnStatus::Connected);
        ManualClock::drainEvents();

        TunnelManager manager(service, clock);
        QList<int> reports;
        manager.onStatusChange = [&reports](int status) { reports.append(status); };
        auto outcome = track(manager.loadExisting());
        ManualClock::drainEvents();
        QVERIFY(outcome->done);
        QCOMPARE(reports, QList<int>{3});
        QCOMPARE(manager.connectionStatus(), std::optional<int>(3));
        // The adopted profile is not rewritten.
        QCOMPARE(service.stored().first().localizedDescription, QStringLiteral("kept"));

        // A second call does nothing.
        track(manager.loadExisting());
        ManualClock::drainEvents();
        QCOMPARE(service.calls(), QStringList{"loadAll"});
        QCOMPARE(reports, QList<int>{3});

        // Every later change is forwarded; changes of other profiles are not.
        const QString other = service.addStored(foreignProfile("com.qorvpn.connect.mac.reserve", "r"));
        service.setStatus(other, VpnStatus::Connecting);
        service.setStatus(id, VpnStatus::Reasserting);
        ManualClock::drainEvents();
        service.setStatus(id, VpnStatus::Disconnecting);
        ManualClock::drainEvents();
        QCOMPARE(reports, (QList<int>{3, 4, 5}));
    }

    void loadExistingSwallowsFailureAndFindsNothing()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        int reports = 0;
        manager.onStatusChange = [&reports](int) { ++reports; };
        service.failOn(Call::LoadAll, refusal(), 1);
        auto failed = track(manager.loadExisting());
        ManualClock::drainEvents();
        QVERIFY(failed->done && !failed->failed());
        QCOMPARE(manager.connectionStatus(), std::optional<int>());

        service.addStored(foreignProfile("com.qorvpn.connect.mac.reserve", "only reserve"));
        auto none = track(manager.loadExisting());
        ManualClock::drainEvents();
        QVERIFY(none->done);
        QCOMPARE(manager.connectionStatus(), std::optional<int>());
        QCOMPARE(reports, 0);
    }

    void statusReportsStopWithTheManager()
    {
        FakeProfileService service;
        ManualClock clock;
        const QString id = service.addStored(foreignProfile("com.qorvpn.connect.mac.tunnel", "p"));
        auto reports = std::make_shared<QList<int>>();
        {
            TunnelManager manager(service, clock);
            manager.onStatusChange = [reports](int status) { reports->append(status); };
            track(manager.loadExisting());
            ManualClock::drainEvents();
            service.setStatus(id, VpnStatus::Connecting);
            // Destroyed before the queued notification arrives.
        }
        ManualClock::drainEvents();
        QCOMPARE(*reports, QList<int>{1});
    }

    void stopAndWaitWithoutProfileReturnsAtOnce()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        const QDateTime before = clock.now();
        auto outcome = track(manager.stopAndWait(10.0));
        ManualClock::drainEvents();
        QVERIFY(outcome->done);
        QCOMPARE(clock.now(), before);
        QCOMPARE(service.calls(), QStringList{"loadAll"});
    }

    void stopAndWaitDisablesOnDemandAndStopsTwice()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        track(manager.start(QStringLiteral("DOC")));
        ManualClock::drainEvents();
        const QString id = manager.profile()->id;
        service.setStatus(id, VpnStatus::Connected);
        service.clearCalls();
        service.failOn(Call::Save, refusal());

        auto outcome = track(manager.stopAndWait(10.0));
        ManualClock::drainEvents();
        QVERIFY(outcome->done && !outcome->failed());
        QCOMPARE(service.calls(), (QStringList{"stop " + id, "save " + id, "stop " + id}));
        QVERIFY(!manager.profile()->onDemandEnabled);
        QVERIFY(manager.profile()->onDemandRules.isEmpty());
    }

    void stopAndWaitGivesUpAtTheDeadline()
    {
        FakeProfileService service;
        service.setStatusOnStop(std::nullopt); // a tunnel that never goes down
        ManualClock clock;
        TunnelManager manager(service, clock);
        track(manager.start(QStringLiteral("DOC")));
        ManualClock::drainEvents();
        service.setStatus(manager.profile()->id, VpnStatus::Disconnecting);
        ManualClock::drainEvents();

        const QDateTime begin = clock.now();
        const int readsBefore = service.statusReads();
        auto outcome = track(manager.stopAndWait(2.0));
        QVERIFY(clock.advanceUntil([&] { return outcome->done; }, 5s, 10ms));
        const qint64 waited = begin.msecsTo(clock.now());
        QVERIFY2(waited >= 2000 && waited < 2150, qPrintable(QString::number(waited)));
        // Polled about every 150 ms: once at the start and after each of 14 pauses.
        QCOMPARE(service.statusReads() - readsBefore, 15);
    }

    void stopAndWaitEndsWhenTheTunnelGoesDown()
    {
        FakeProfileService service;
        service.setStatusOnStop(std::nullopt);
        ManualClock clock;
        TunnelManager manager(service, clock);
        track(manager.start(QStringLiteral("DOC")));
        ManualClock::drainEvents();
        const QString id = manager.profile()->id;
        service.setStatus(id, VpnStatus::Connected);

        auto outcome = track(manager.stopAndWait(10.0));
        clock.advance(400ms);
        QVERIFY(!outcome->done);
        service.setStatus(id, VpnStatus::Disconnected);
        clock.advance(150ms);
        QVERIFY(outcome->done);
    }

    void stopReturnsBeforeDoingAnything()
    {
        FakeProfileService service;
        ManualClock clock;
        TunnelManager manager(service, clock);
        track(manager.start(QStringLiteral("DOC")));
        ManualClock::drainEvents();
        const QString id = manager.profile()->id;
        service.clearCalls();

        manager.stop();
        QVERIFY(service.calls().isEmpty());
        ManualClock::drainEvents();
        QCOMPARE(service.calls(), (QStringList{"stop " + id, "save " + id, "stop " + id}));
    }

    void stopWithoutProfileAdoptsThenStops()
    {
        FakeProfileService service;
        ManualClock clock;
        const QString id = service.addStored(foreignProfile("com.qorvpn.connect.mac.tunnel", "running"));
        service.setStatus(id, VpnStatus::Connected);
        TunnelManager manager(service, clock);
        manager.stop();
        QVERIFY(service.calls().isEmpty());
        ManualClock::drainEvents();
        QCOMPARE(service.calls(), (QStringList{"loadAll", "stop " + id, "save " + id, "stop " + id}));
        QCOMPARE(manager.connectionStatus(), std::optional<int>(1));
    }
};


QTEST_GUILESS_MAIN(TestTunnelManager)
#include "test_tunnel_manager.moc"
