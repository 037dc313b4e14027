// The main and the reserve channel's managers over an in-memory profile service.

#include "fake_profile_service.h"
#include "task_outcome.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/tunnel_manager.h"

#include <QDir>
#include <QTest>

Q_DECLARE_METATYPE(std::optional<QString>)

using namespace qor;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Call = FakeProfileService::Call;

namespace {

const QString mainId = u"com.qorvpn.connect.mac.tunnel"_s;
const QString reserveId = u"com.qorvpn.connect.mac.reserve"_s;
const QList<OnDemandRule> connectAlways{OnDemandRule{"connect", "any"}};

PlatformError refusal(int code = 5)
{
    return PlatformError(u"com.qorvpn.connect.profiles"_s, code, u"Отказано"_s);
}

VpnProfile foreignProfile(const QString &identifier, const QString &description)
{
    VpnProfile p;
    p.localizedDescription = description;
    p.enabled = true;
    p.protocol = TunnelProviderProtocol{identifier, u"elsewhere"_s, {{u"k"_s, u"v"_s}}};
    return p;
}

QVariantMap content(const QString &document)
{
    return {{u"configContent"_s, document}};
}

template<typename Manager = TunnelManager>
struct Bed {
    FakeProfileService service;
    ManualClock clock;
    Manager manager{service, clock};
};

} // namespace

class TestTunnelManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A bundle without an identifier of its own.
        const QString empty = qEnvironmentVariable("QOR_TEST_SCRATCH") + u"/empty-bundle"_s;
        QDir().mkpath(empty);
        qputenv("QOR_BUNDLE_DIR", empty.toUtf8());
    }

    void placeholderDocumentIsPinned()
    {
        // Its layout is part of what the provider receives (320 bytes).
        QCOMPARE(TunnelManager::placeholderConfiguration(),
                 u"{\n  \"log\": { \"level\": \"info\" },\n  \"inbounds\": [\n    {\n      \"type\": \"tun\",\n"
                 "      \"interface_name\": \"utun-qor\",\n      \"address\": [\"172.19.0.1/30\"],\n      \"mtu\": 9000,\n"
                 "      \"auto_route\": true,\n      \"strict_route\": false,\n      \"stack\": \"system\"\n    }\n  ],\n"
                 "  \"outbounds\": [\n    { \"type\": \"direct\", \"tag\": \"direct\" }\n  ]\n}"_s);
    }

    void firstStartCreatesProfileAndWritesItTwice()
    {
        Bed b;
        QCOMPARE(b.manager.connectionStatus(), std::optional<int>());
        auto outcome = settled(b.manager.start(u"{\"doc\":1}"_s));
        QVERIFY(outcome->done && !outcome->failed());
        QCOMPARE(b.service.stored().size(), 1);
        const VpnProfile saved = b.service.stored().first();
        const QString id = saved.id;
        QCOMPARE(b.service.calls(), (QStringList{"loadAll", "save new", "reload " + id, "save " + id, "start " + id}));
        QVERIFY(saved.protocol && saved.enabled && saved.onDemandEnabled);
        QCOMPARE(saved.protocol->providerBundleIdentifier, mainId);
        QCOMPARE(saved.protocol->serverAddress, u"Qor Network"_s);
        QCOMPARE(saved.localizedDescription, u"Qor Connect"_s);
        QCOMPARE(saved.onDemandRules, connectAlways);
        QCOMPARE(saved.protocol->providerConfiguration, content(u"{\"doc\":1}"_s));
        // The first save carries the placeholder and no on-demand rule.
        const VpnProfile first = b.service.saveHistory().first();
        QCOMPARE(first.protocol->providerConfiguration, content(TunnelManager::placeholderConfiguration()));
        QVERIFY(!first.onDemandEnabled && first.onDemandRules.isEmpty());
        QCOMPARE(b.manager.connectionStatus(), std::optional<int>(1));
    }

    void providerConfigurationEntries_data()
    {
        QTest::addColumn<std::optional<QString>>("document");
        QTest::addColumn<QStringList>("bypass");
        QTest::addColumn<std::optional<QString>>("key");
        QTest::addColumn<bool>("withPolicy");
        QTest::addColumn<QStringList>("expectedKeys");
        const std::optional<QString> doc(u"DOC"_s), none;
        QTest::newRow("bare") << doc << QStringList{} << none << false << QStringList{"configContent"};
        QTest::newRow("policy, empty key") << doc << QStringList{} << std::optional<QString>(QString()) << true
                                           << QStringList{"configContent", "policy"};
        QTest::newRow("bypass") << doc << QStringList{"192.0.2.1", "198.51.100.7"} << none << false
                                << QStringList{"bypassIPs", "configContent"};
        QTest::newRow("all") << doc << QStringList{"192.0.2.1"} << std::optional<QString>(u"k3y"_s) << true
                             << QStringList{"bypassIPs", "configContent", "policy", "tavrinKey"};
        // Without a document the placeholder stays and nothing else is written.
        QTest::newRow("no document") << none << QStringList{"192.0.2.1"} << std::optional<QString>(u"k3y"_s) << true
                                     << QStringList{"configContent"};
    }

    void providerConfigurationEntries()
    {
        QFETCH(std::optional<QString>, document);
        QFETCH(QStringList, bypass);
        QFETCH(std::optional<QString>, key);
        QFETCH(bool, withPolicy);
        QFETCH(QStringList, expectedKeys);
        Bed b;
        const QVariantMap policy{{u"block_torrent"_s, true}, {u"block_domains"_s, QStringList{"example.org"}}};
        auto outcome = settled(b.manager.start(document, bypass, key, withPolicy ? std::optional(policy) : std::nullopt));
        QVERIFY(outcome->done && !outcome->failed());
        const VpnProfile saved = b.service.stored().first();
        QVERIFY(saved.onDemandEnabled);
        const QVariantMap conf = saved.protocol->providerConfiguration;
        QCOMPARE(conf.keys(), expectedKeys);
        QCOMPARE(conf.value("configContent").toString(), document.value_or(TunnelManager::placeholderConfiguration()));
        if (conf.contains("bypassIPs"))
            QCOMPARE(conf.value("bypassIPs").toStringList(), bypass);
        if (conf.contains("policy"))
            QCOMPARE(conf.value("policy").toMap(), policy);
        if (conf.contains("tavrinKey"))
            QCOMPARE(conf.value("tavrinKey").toString(), *key);
    }

    void secondStartReplacesEntriesOfTheFirst()
    {
        Bed b;
        settled(b.manager.start(u"A"_s, {"192.0.2.1"}, u"key"_s, QVariantMap{{"doh", true}}));
        auto second = settled(b.manager.start(u"B"_s));
        QVERIFY(second->done && !second->failed());
        QCOMPARE(b.service.stored().size(), 1);
        QCOMPARE(b.service.stored().first().protocol->providerConfiguration, content(u"B"_s));
    }

    void onlyTheFirstProfileOfTheChannelIsUsed()
    {
        Bed b;
        VpnProfile otherKind;
        otherKind.localizedDescription = "IKEv2";
        otherKind.protocolKind = "ikev2";
        b.service.addStored(otherKind);
        b.service.addStored(foreignProfile(reserveId, "reserve"));
        b.service.addStored(foreignProfile(u"com.qorvpn.connect.mac.TUNNEL"_s, "wrong case"));
        const QString firstId = b.service.addStored(foreignProfile(mainId, "first"));
        b.service.addStored(foreignProfile(mainId, "second"));
        const QList<VpnProfile> before = b.service.stored();

        auto outcome = settled(b.manager.start(u"DOC"_s));
        QVERIFY(outcome->done && !outcome->failed());
        const QList<VpnProfile> after = b.service.stored();
        QCOMPARE(after.size(), 5);
        for (int i : {0, 1, 2, 4})
            QCOMPARE(after[i], before[i]);
        QCOMPARE(after[3].id, firstId);
        QCOMPARE(after[3].localizedDescription, u"Qor Connect"_s);
        QCOMPARE(b.manager.profile()->id, firstId);
    }

    void refusedCallsNameTheirStage_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<int>("skip");
        QTest::addColumn<bool>("nested");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("expected");
        const QString wrapped = u"TunnelManager.TunnelError"_s;
        const QString text = u"] domain=com.qorvpn.connect.profiles code=5 Отказано"_s;
        QTest::newRow("load all") << int(Call::LoadAll) << 0 << false << wrapped << "[loadAllFromPreferences" + text;
        QTest::newRow("save") << int(Call::Save) << 0 << false << wrapped << "[saveToPreferences" + text;
        QTest::newRow("reload") << int(Call::Reload) << 0 << false << wrapped << "[loadFromPreferences" + text;
        QTest::newRow("start") << int(Call::Start) << 0 << false << wrapped << "[startVPNTunnel" + text;
        // One level of the underlying error is shown, no deeper.
        QTest::newRow("save, nested") << int(Call::Save) << 0 << true << wrapped
                                      << "[saveToPreferences" + text + " | underlying: domain=POSIX code=13 Permission denied";
        // The second save's refusal reaches the caller as the platform's own error.
        QTest::newRow("second save") << int(Call::Save) << 1 << false << u"com.qorvpn.connect.profiles"_s << u"Отказано"_s;
    }

    void refusedCallsNameTheirStage()
    {
        QFETCH(int, call);
        QFETCH(int, skip);
        QFETCH(bool, nested);
        QFETCH(QString, domain);
        QFETCH(QString, expected);
        Bed b;
        const PlatformError error = nested
            ? PlatformError("com.qorvpn.connect.profiles", 5, "Отказано",
                            PlatformError("POSIX", 13, "Permission denied", PlatformError("deeper", 1, "never shown")))
            : refusal();
        b.service.failOn(Call(call), error, -1, skip);
        auto outcome = settled(b.manager.start(u"DOC"_s));
        QVERIFY(outcome->done && outcome->failed());
        QCOMPARE(*outcome->errorDomain, domain);
        QCOMPARE(outcome->errorDescription, expected);
        QCOMPARE(b.service.calls().filter("start").isEmpty(), call != int(Call::Start));
    }

    void loadExistingAdoptsAndReportsOnce()
    {
        Bed b;
        const QString id = b.service.addStored(foreignProfile(mainId, "kept"));
        b.service.setStatus(id, VpnStatus::Connected);
        ManualClock::drainEvents();
        QList<int> reports;
        b.manager.onStatusChange = [&reports](int status) { reports.append(status); };
        QVERIFY(settled(b.manager.loadExisting())->done);
        QCOMPARE(reports, QList<int>{3});
        QCOMPARE(b.manager.connectionStatus(), std::optional<int>(3));
        // The adopted profile is not rewritten.
        QCOMPARE(b.service.stored().first().localizedDescription, u"kept"_s);

        // A second call does nothing.
        settled(b.manager.loadExisting());
        QCOMPARE(b.service.calls(), QStringList{"loadAll"});
        QCOMPARE(reports, QList<int>{3});

        // Every later change is forwarded; changes of other profiles are not.
        const QString other = b.service.addStored(foreignProfile(reserveId, "r"));
        b.service.setStatus(other, VpnStatus::Connecting);
        b.service.setStatus(id, VpnStatus::Reasserting);
        ManualClock::drainEvents();
        b.service.setStatus(id, VpnStatus::Disconnecting);
        ManualClock::drainEvents();
        QCOMPARE(reports, (QList<int>{3, 4, 5}));
    }

    void loadExistingSwallowsFailureAndFindsNothing()
    {
        Bed b;
        int reports = 0;
        b.manager.onStatusChange = [&reports](int) { ++reports; };
        b.service.failOn(Call::LoadAll, refusal(), 1);
        auto failed = settled(b.manager.loadExisting());
        QVERIFY(failed->done && !failed->failed());
        QCOMPARE(b.manager.connectionStatus(), std::optional<int>());

        b.service.addStored(foreignProfile(reserveId, "only reserve"));
        QVERIFY(settled(b.manager.loadExisting())->done);
        QCOMPARE(b.manager.connectionStatus(), std::optional<int>());
        QCOMPARE(reports, 0);
    }

    void statusReportsStopWithTheManager()
    {
        FakeProfileService service;
        ManualClock clock;
        const QString id = service.addStored(foreignProfile(mainId, "p"));
        auto reports = std::make_shared<QList<int>>();
        {
            TunnelManager manager(service, clock);
            manager.onStatusChange = [reports](int status) { reports->append(status); };
            settled(manager.loadExisting());
            service.setStatus(id, VpnStatus::Connecting);
            // Destroyed before the queued notification arrives.
        }
        ManualClock::drainEvents();
        QCOMPARE(*reports, QList<int>{1});
    }

    void stopAndWaitWithoutProfileReturnsAtOnce()
    {
        Bed b;
        const QDateTime before = b.clock.now();
        QVERIFY(settled(b.manager.stopAndWait(10.0))->done);
        QCOMPARE(b.clock.now(), before);
        QCOMPARE(b.service.calls(), QStringList{"loadAll"});
    }

    void stopAndWaitDisablesOnDemandAndStopsTwice()
    {
        Bed b;
        settled(b.manager.start(u"DOC"_s));
        const QString id = b.manager.profile()->id;
        b.service.setStatus(id, VpnStatus::Connected);
        b.service.clearCalls();
        b.service.failOn(Call::Save, refusal()); // a refused save does not stop the stop
        auto outcome = settled(b.manager.stopAndWait(10.0));
        QVERIFY(outcome->done && !outcome->failed());
        QCOMPARE(b.service.calls(), (QStringList{"stop " + id, "save " + id, "stop " + id}));
        QVERIFY(!b.manager.profile()->onDemandEnabled);
        QVERIFY(b.manager.profile()->onDemandRules.isEmpty());
    }

    void stopAndWaitGivesUpAtTheDeadline()
    {
        Bed b;
        b.service.setStatusOnStop(std::nullopt); // a tunnel that never goes down
        settled(b.manager.start(u"DOC"_s));
        b.service.setStatus(b.manager.profile()->id, VpnStatus::Disconnecting);
        ManualClock::drainEvents();
        const QDateTime begin = b.clock.now();
        const int readsBefore = b.service.statusReads();
        auto outcome = track(b.manager.stopAndWait(2.0));
        QVERIFY(b.clock.advanceUntil([&] { return outcome->done; }, 5s, 10ms));
        const qint64 waited = begin.msecsTo(b.clock.now());
        QVERIFY2(waited >= 2000 && waited < 2150, qPrintable(QString::number(waited)));
        // Polled about every 150 ms: once at the start and after each of 14 pauses.
        QCOMPARE(b.service.statusReads() - readsBefore, 15);
    }

    void stopAndWaitEndsWhenTheTunnelGoesDown()
    {
        Bed b;
        b.service.setStatusOnStop(std::nullopt);
        settled(b.manager.start(u"DOC"_s));
        const QString id = b.manager.profile()->id;
        b.service.setStatus(id, VpnStatus::Connected);
        auto outcome = track(b.manager.stopAndWait(10.0));
        b.clock.advance(400ms);
        QVERIFY(!outcome->done);
        b.service.setStatus(id, VpnStatus::Disconnected);
        b.clock.advance(150ms);
        QVERIFY(outcome->done);
    }

    // stop() returns before doing anything; without a profile it adopts the running one first.
    void stopWorksAfterReturning()
    {
        Bed own;
        settled(own.manager.start(u"DOC"_s));
        const QString id = own.manager.profile()->id;
        own.service.clearCalls();
        own.manager.stop();
        QVERIFY(own.service.calls().isEmpty());
        ManualClock::drainEvents();
        QCOMPARE(own.service.calls(), (QStringList{"stop " + id, "save " + id, "stop " + id}));

        Bed adopting;
        const QString running = adopting.service.addStored(foreignProfile(mainId, "running"));
        adopting.service.setStatus(running, VpnStatus::Connected);
        adopting.manager.stop();
        QVERIFY(adopting.service.calls().isEmpty());
        ManualClock::drainEvents();
        QCOMPARE(adopting.service.calls(), (QStringList{"loadAll", "stop " + running, "save " + running, "stop " + running}));
        QCOMPARE(adopting.manager.connectionStatus(), std::optional<int>(1));
    }

    void reserveStartWritesTheConfigurationOnce()
    {
        Bed<ReserveTunnelManager> b;
        const QStringList configs{"[Interface]\nPrivateKey = a\n", "[Interface]\nPrivateKey = b\n"};
        auto outcome = settled(b.manager.start(configs));
        QVERIFY(outcome->done && !outcome->failed());
        const VpnProfile saved = b.service.stored().first();
        QVERIFY(saved.protocol && saved.enabled && saved.onDemandEnabled);
        QCOMPARE(saved.protocol->providerBundleIdentifier, reserveId);
        QCOMPARE(saved.protocol->serverAddress, u"Qor Reserve"_s);
        QCOMPARE(saved.localizedDescription, u"Qor Connect Reserve"_s);
        QCOMPARE(saved.onDemandRules, connectAlways);
        QCOMPARE(saved.protocol->providerConfiguration, (QVariantMap{{u"wgQuickConfigs"_s, configs}}));
        // Already in the first save; the second only adds on-demand.
        QCOMPARE(b.service.saveHistory().first().protocol->providerConfiguration, saved.protocol->providerConfiguration);
        QVERIFY(b.service.calls().last().startsWith("start "));
    }

    void reserveStartsDespiteARefusedOnDemandSave()
    {
        Bed<ReserveTunnelManager> b;
        b.service.failOn(Call::Save, refusal(), -1, 1);
        auto outcome = settled(b.manager.start({"conf"}));
        QVERIFY(outcome->done && !outcome->failed());
        QVERIFY(b.service.calls().last().startsWith("start "));
        QVERIFY(!b.service.stored().first().onDemandEnabled);
    }

    void reserveRefusalsNeverShowNestedErrors_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("stage");
        QTest::newRow("load all") << int(Call::LoadAll) << "loadAllFromPreferences";
        QTest::newRow("save") << int(Call::Save) << "saveToPreferences";
        QTest::newRow("reload") << int(Call::Reload) << "loadFromPreferences";
        QTest::newRow("start") << int(Call::Start) << "startVPNTunnel";
    }

    void reserveRefusalsNeverShowNestedErrors()
    {
        QFETCH(int, call);
        QFETCH(QString, stage);
        Bed<ReserveTunnelManager> b;
        b.service.failOn(Call(call), PlatformError("com.qorvpn.connect.profiles", 3, "Сбой", PlatformError("POSIX", 2, "No such file")));
        auto outcome = settled(b.manager.start({"conf"}));
        QVERIFY(outcome->failed());
        QCOMPARE(*outcome->errorDomain, u"ReserveTunnelManager.ReserveTunnelError"_s);
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
        track(main.start(u"DOC"_s));
        settled(reserve.start({"conf"}));
        QCOMPARE(service.stored().size(), 2);
        QVERIFY(main.profile()->id != reserve.profile()->id);

        service.setStatus(reserve.profile()->id, VpnStatus::Connected);
        ManualClock::drainEvents();
        QCOMPARE(reserveReports, QList<int>{3});
        QVERIFY(mainReports.isEmpty());
        QCOMPARE(main.connectionStatus(), std::optional<int>(1));

        // Stopping the reserve leaves the main profile alone.
        service.clearCalls();
        QVERIFY(settled(reserve.stopAndWait(10.0))->done);
        for (const QString &call : service.calls())
            QVERIFY2(call.endsWith(reserve.profile()->id), qPrintable(call));
        QCOMPARE(reserve.connectionStatus(), std::optional<int>(1));
    }
};

QTEST_GUILESS_MAIN(TestTunnelManager)
#include "test_tunnel_manager.moc"
