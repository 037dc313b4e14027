// The channel managers over an in-memory profile service; the extension manager over a scripted activator and bundles.

#include "fake_extension_activator.h"
#include "fake_profile_service.h"
#include "task_outcome.h"
#include "tunnel/platform/bundle_extension_activator.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/system_extension_manager.h"
#include "tunnel/tunnel_manager.h"

#include <QDir>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Call = FakeProfileService::Call;
using Result = SystemExtensionManager::ActivationResult;
using Outcome = FakeExtensionActivator::Outcome;

namespace QTest { // a profile that differs is shown as its document
template<> char *toString(const VpnProfile &p) { return qstrdup(QJsonDocument(p.toJson()).toJson(QJsonDocument::Compact).constData()); }
}

namespace {

const QString mainId = u"com.qorvpn.connect.mac.tunnel"_s;
const QString reserveId = u"com.qorvpn.connect.mac.reserve"_s;

VpnProfile profile(const QString &provider, const QString &description, QVariantMap configuration = {{u"k"_s, u"v"_s}},
                   const QString &server = u"elsewhere"_s, bool onDemand = false)
{
    return {.id = {}, .localizedDescription = description, .enabled = true, .protocol = TunnelProviderProtocol{provider, server, configuration},
            .protocolKind = {}, .onDemandEnabled = onDemand, .onDemandRules = onDemand ? QList<OnDemandRule>{OnDemandRule{}} : QList<OnDemandRule>{}};
}

// What a manager writes for its channel, with that configuration.
VpnProfile written(const VpnProfile &saved, bool reserve, const QVariantMap &configuration, bool onDemand = true)
{
    VpnProfile p = reserve ? profile(reserveId, u"Qor Connect Reserve"_s, configuration, u"Qor Reserve"_s, onDemand)
                           : profile(mainId, u"Qor Connect"_s, configuration, u"Qor Network"_s, onDemand);
    p.id = saved.id;
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
    QString start() // the main channel's
    {
        settled(manager.start(u"DOC"_s));
        return manager.profile()->id;
    }
};

const QString failedPrefix = u"Не удалось активировать системное расширение: "_s;

QString plist(const QString &identifierElement)
{
    return u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>CFBundleName</key><string>x</string>\n<key>CFBundleIdentifier</key>%1\n</dict>\n</plist>\n"_s.arg(identifierElement);
}

// A bundle tree in the scratch folder, pointed at through QOR_BUNDLE_DIR; returns its extension folder.
QString makeBundle(const QString &name)
{
    const QString root = qEnvironmentVariable("QOR_TEST_SCRATCH") + u"/bundles/"_s + name;
    QDir(root).removeRecursively();
    QDir().mkpath(root + u"/Contents"_s);
    qputenv("QOR_BUNDLE_DIR", root.toUtf8());
    return root + u"/Contents/Library/SystemExtensions"_s;
}

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

    // The main profile is written twice: first with the placeholder document (its layout reaches the provider) and no
    // on-demand rule, then for real. The reserve's own profile carries its configuration from the first save.
    void firstStartWritesTheProfileTwice()
    {
        Bed b;
        QCOMPARE(b.manager.connectionStatus(), std::optional<int>());
        auto outcome = settled(b.manager.start(u"{\"doc\":1}"_s));
        QVERIFY(outcome->done && !outcome->failed());
        const VpnProfile saved = b.service.stored().value(0);
        QCOMPARE(b.service.stored(), QList<VpnProfile>{written(saved, false, content(u"{\"doc\":1}"_s))});
        QCOMPARE(b.service.calls(), (QStringList{"loadAll", "save new", "reload " + saved.id, "save " + saved.id, "start " + saved.id}));
        const QString placeholder =
            u"{\n  \"log\": { \"level\": \"info\" },\n  \"inbounds\": [\n    {\n      \"type\": \"tun\",\n"
            "      \"interface_name\": \"utun-qor\",\n      \"address\": [\"172.19.0.1/30\"],\n      \"mtu\": 9000,\n"
            "      \"auto_route\": true,\n      \"strict_route\": false,\n      \"stack\": \"system\"\n    }\n  ],\n"
            "  \"outbounds\": [\n    { \"type\": \"direct\", \"tag\": \"direct\" }\n  ]\n}"_s;
        QCOMPARE(b.service.saveHistory().first(), written(saved, false, content(placeholder), false));
        QCOMPARE(b.manager.connectionStatus(), std::optional<int>(1));

        ReserveTunnelManager reserve(b.service, b.clock);
        const QStringList configs{"[Interface]\nPrivateKey = a\n", "[Interface]\nPrivateKey = b\n"};
        QVERIFY(!settled(reserve.start(configs))->failed());
        const QVariantMap configuration{{u"wgQuickConfigs"_s, configs}};
        const VpnProfile second = b.service.stored().value(1);
        QCOMPARE(b.service.stored(), (QList<VpnProfile>{saved, written(second, true, configuration)}));
        QCOMPARE(b.service.saveHistory().mid(2), (QList<VpnProfile>{written(second, true, configuration, false), b.service.stored().at(1)}));
        QCOMPARE(b.service.calls().last(), "start " + second.id);
    }

    // "bypassIPs", "policy" and "tavrinKey" only when given, else only the placeholder; each start rewrites the one profile whole.
    void providerConfigurationEntries()
    {
        const QVariantMap policy{{u"block_torrent"_s, true}, {u"block_domains"_s, QStringList{"example.org"}}};
        const QStringList bypass{"192.0.2.1", "198.51.100.7"};
        const struct {
            std::optional<QString> document;
            QStringList bypass;
            std::optional<QString> key;
            std::optional<QVariantMap> policy;
            QVariantMap expected;
        } rows[] = {
            {u"DOC"_s, bypass, u"k3y"_s, policy,
             {{u"configContent"_s, u"DOC"_s}, {u"bypassIPs"_s, bypass}, {u"policy"_s, policy}, {u"tavrinKey"_s, u"k3y"_s}}},
            {u"DOC"_s, {}, QString(), policy, {{u"configContent"_s, u"DOC"_s}, {u"policy"_s, policy}}},
            {u"DOC"_s, {}, {}, {}, content(u"DOC"_s)},
            {{}, bypass, u"k3y"_s, policy, content(TunnelManager::placeholderConfiguration())},
        };
        Bed b;
        for (const auto &row : rows) {
            auto outcome = settled(b.manager.start(row.document, row.bypass, row.key, row.policy));
            QVERIFY(outcome->done && !outcome->failed());
            const VpnProfile saved = b.service.stored().value(0);
            QCOMPARE(b.service.stored(), QList<VpnProfile>{written(saved, false, row.expected)});
        }
    }

    void onlyTheFirstProfileOfTheChannelIsUsed()
    {
        Bed b;
        VpnProfile otherKind;
        otherKind.localizedDescription = "IKEv2";
        otherKind.protocolKind = "ikev2";
        b.service.addStored(otherKind);
        b.service.addStored(profile(reserveId, "reserve"));
        b.service.addStored(profile(u"com.qorvpn.connect.mac.TUNNEL"_s, "wrong case"));
        const QString firstId = b.service.addStored(profile(mainId, "first"));
        b.service.addStored(profile(mainId, "second"));
        QList<VpnProfile> expected = b.service.stored();
        QVERIFY(!settled(b.manager.start(u"DOC"_s))->failed());
        expected[3] = written(expected[3], false, content(u"DOC"_s));
        QCOMPARE(b.service.stored(), expected);
        QCOMPARE(b.manager.profile()->id, firstId);
    }

    // Each refused call names its stage, showing one level of the underlying error; the second save's refusal reaches the
    // caller as the platform's own error. The reserve never shows the underlying error and starts without on-demand.
    void refusedCallsNameTheirStage()
    {
        const PlatformError nested("com.qorvpn.connect.profiles", 5, "Отказано",
                                   PlatformError("POSIX", 13, "Permission denied", PlatformError("deeper", 1, "never shown")));
        const QString text = u"] domain=com.qorvpn.connect.profiles code=5 Отказано"_s;
        const QString underlying = u" | underlying: domain=POSIX code=13 Permission denied"_s;
        const QString mainError = u"TunnelManager.TunnelError"_s, reserveError = u"ReserveTunnelManager.ReserveTunnelError"_s;
        const struct {
            bool reserve;
            Call call;
            int skip;
            QString domain;
            QString description; // empty: no failure
        } rows[] = {
            {false, Call::LoadAll, 0, mainError, "[loadAllFromPreferences" + text + underlying},
            {false, Call::Save, 0, mainError, "[saveToPreferences" + text + underlying},
            {false, Call::Reload, 0, mainError, "[loadFromPreferences" + text + underlying},
            {false, Call::Start, 0, mainError, "[startVPNTunnel" + text + underlying},
            {false, Call::Save, 1, u"com.qorvpn.connect.profiles"_s, u"Отказано"_s},
            {true, Call::LoadAll, 0, reserveError, "[loadAllFromPreferences" + text}, {true, Call::Save, 0, reserveError, "[saveToPreferences" + text},
            {true, Call::Reload, 0, reserveError, "[loadFromPreferences" + text}, {true, Call::Start, 0, reserveError, "[startVPNTunnel" + text},
            {true, Call::Save, 1, {}, {}},
        };
        for (const auto &row : rows) {
            Bed<TunnelManager> main;
            Bed<ReserveTunnelManager> reserve;
            FakeProfileService &service = row.reserve ? reserve.service : main.service;
            service.failOn(row.call, nested, -1, row.skip);
            const auto outcome = row.reserve ? settled(reserve.manager.start({u"conf"_s})) : settled(main.manager.start(u"DOC"_s));
            const QString where = row.description + (row.reserve ? u" (reserve)"_s : u" (main)"_s);
            QVERIFY2(outcome->done && outcome->errorDomain.value_or(QString()) == row.domain, qPrintable(where));
            QVERIFY2(outcome->errorDescription == row.description, qPrintable(outcome->errorDescription));
            const bool started = !service.calls().filter(u"start"_s).isEmpty();
            QVERIFY2(started == (row.call == Call::Start || row.domain.isEmpty()), qPrintable(where));
            if (row.domain.isEmpty())
                QVERIFY(!service.stored().first().onDemandEnabled);
        }
    }

    // A refused listing or only another channel's profile: nothing adopted or reported. Then the channel's profile is
    // adopted once, its status reported at once and every later change of it (not of other profiles) forwarded.
    void loadExistingAdoptsOnceAndReports()
    {
        Bed b;
        QList<int> reports;
        b.manager.onStatusChange = [&reports](int status) { reports.append(status); };
        b.service.failOn(Call::LoadAll, PlatformError(u"com.qorvpn.connect.profiles"_s, 5, u"Отказано"_s), 1);
        auto failed = settled(b.manager.loadExisting());
        QVERIFY(failed->done && !failed->failed());
        const QString other = b.service.addStored(profile(reserveId, "only reserve"));
        QVERIFY(settled(b.manager.loadExisting())->done);
        QVERIFY(!b.manager.connectionStatus() && reports.isEmpty());

        const QString id = b.service.addStored(profile(mainId, "kept"));
        b.service.setStatus(id, VpnStatus::Connected);
        ManualClock::drainEvents();
        b.service.clearCalls();
        settled(b.manager.loadExisting());
        QVERIFY(reports == QList<int>{3} && b.manager.connectionStatus() == 3);
        QCOMPARE(b.service.stored().at(1).localizedDescription, u"kept"_s); // not rewritten
        settled(b.manager.loadExisting()); // a second call does nothing
        QCOMPARE(b.service.calls(), QStringList{"loadAll"});
        b.service.setStatus(other, VpnStatus::Connecting);
        b.service.setStatus(id, VpnStatus::Reasserting);
        ManualClock::drainEvents();
        b.service.setStatus(id, VpnStatus::Disconnecting);
        ManualClock::drainEvents();
        QCOMPARE(reports, (QList<int>{3, 4, 5}));
    }

    void statusReportsStopWithTheManager()
    {
        FakeProfileService service;
        ManualClock clock;
        const QString id = service.addStored(profile(mainId, "p"));
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

    // Without a profile it returns at once; otherwise it polls about every 150 ms until the tunnel is down or the deadline.
    void stopAndWaitEndsWhenDownOrAtTheDeadline()
    {
        Bed b;
        const QDateTime before = b.clock.now();
        QVERIFY(settled(b.manager.stopAndWait(10.0))->done);
        QCOMPARE(b.clock.now(), before);
        QCOMPARE(b.service.calls(), QStringList{"loadAll"});

        b.service.setStatusOnStop(std::nullopt); // a tunnel that never goes down
        const QString id = b.start();
        b.service.setStatus(id, VpnStatus::Disconnecting);
        ManualClock::drainEvents();
        const QDateTime begin = b.clock.now();
        const int readsBefore = b.service.statusReads();
        auto outcome = track(b.manager.stopAndWait(2.0));
        QVERIFY(b.clock.advanceUntil([&] { return outcome->done; }, 5s, 10ms));
        const qint64 waited = begin.msecsTo(b.clock.now());
        QVERIFY2(waited >= 2000 && waited < 2150, qPrintable(QString::number(waited)));
        QCOMPARE(b.service.statusReads() - readsBefore, 15); // at the start and after each of 14 pauses

        b.service.setStatus(id, VpnStatus::Connected);
        outcome = track(b.manager.stopAndWait(10.0));
        b.clock.advance(400ms);
        QVERIFY(!outcome->done);
        b.service.setStatus(id, VpnStatus::Disconnected);
        b.clock.advance(150ms);
        QVERIFY(outcome->done);
    }

    // stop() returns first, then stops, saves without on-demand (a refusal does not stop the stop), stops again; with no profile it adopts the running one.
    void stopWorksAfterReturning()
    {
        Bed own;
        const QString id = own.start();
        own.service.clearCalls();
        own.service.failOn(Call::Save, PlatformError(u"com.qorvpn.connect.profiles"_s, 5, u"Отказано"_s));
        own.manager.stop();
        QVERIFY(own.service.calls().isEmpty());
        ManualClock::drainEvents();
        QCOMPARE(own.service.calls(), (QStringList{"stop " + id, "save " + id, "stop " + id}));
        QVERIFY(!own.manager.profile()->onDemandEnabled && own.manager.profile()->onDemandRules.isEmpty());

        Bed adopting;
        const QString running = adopting.service.addStored(profile(mainId, "running"));
        adopting.service.setStatus(running, VpnStatus::Connected);
        adopting.manager.stop();
        QVERIFY(adopting.service.calls().isEmpty());
        ManualClock::drainEvents();
        QCOMPARE(adopting.service.calls(), (QStringList{"loadAll", "stop " + running, "save " + running, "stop " + running}));
        QCOMPARE(adopting.manager.connectionStatus(), std::optional<int>(1));
    }

    // Answered later, never inside the call; a withdrawal resumes on any outcome and never fails.
    void outcomes()
    {
        makeBundle(u"outcomes"_s);
        const std::pair<Outcome, std::optional<Result>> rows[] = {
            {Outcome::Finish, Result::Activated}, {Outcome::NeedApproval, Result::NeedsUserApproval}, {Outcome::Fail, std::nullopt}};
        for (const auto &[outcome, expected] : rows) {
            FakeExtensionActivator activator;
            activator.setAutomaticActivationOutcome(outcome);
            activator.setAutomaticDeactivationOutcome(outcome);
            SystemExtensionManager manager(activator);
            auto result = track(manager.activate(mainId));
            auto withdrawal = track(manager.withdrawPendingRequest(reserveId));
            QVERIFY(!result->done && !withdrawal->done);
            ManualClock::drainEvents();
            QVERIFY(result->done && withdrawal->done && !withdrawal->failed() && result->value == expected);
            QCOMPARE(activator.requests(), (QStringList{"activate " + mainId, "deactivate " + reserveId}));
            QVERIFY(result->value || (result->errorDomain == u"SystemExtensionManager.ActivationError"_s
                                      && result->errorDescription.startsWith(failedPrefix + u"отказано\nbundle: "_s)));
        }
    }

    // A late finish after approval finds nobody waiting; a new request gets its own answer; concurrent requests share the
    // first outcome (withdrawal errors dropped); a caller still waiting when the manager goes is released with a failure.
    void requestsAndLateAnswers()
    {
        FakeExtensionActivator activator;
        auto manager = std::make_unique<SystemExtensionManager>(activator);
        auto first = track(manager->activate(mainId));
        activator.answerNeedsApproval(mainId);
        ManualClock::drainEvents();
        QCOMPARE(*first->value, Result::NeedsUserApproval);
        activator.answerFinished(mainId);
        activator.answerFailed(mainId, "d", 1, "late");
        ManualClock::drainEvents();
        QCOMPARE(*first->value, Result::NeedsUserApproval);

        auto second = track(manager->activate(mainId));
        activator.answerFinished(reserveId);
        ManualClock::drainEvents();
        QVERIFY(!second->done);
        activator.answerFinished(mainId);
        ManualClock::drainEvents();
        QCOMPARE(*second->value, Result::Activated);

        auto activation = track(manager->activate(mainId));
        auto again = track(manager->activate(mainId));
        auto withdrawal = track(manager->withdrawPendingRequest(mainId));
        activator.answerFailed(mainId, "OSSystemExtensionErrorDomain", 8, "запрещено");
        ManualClock::drainEvents();
        QVERIFY(activation->done && again->done && withdrawal->done && !withdrawal->failed());
        QCOMPARE(activation->errorDescription.section('\n', 0, 0), failedPrefix + u"запрещено"_s);
        QCOMPARE(again->errorDescription, activation->errorDescription);
        auto pending = track(manager->activate(mainId));
        manager.reset();
        ManualClock::drainEvents();
        QVERIFY(pending->done && pending->failed());
    }

    // The failure names the bundle's extension folder and what each extension in it calls itself.
    void failureTextListsTheBundle()
    {
        const QString nothing = u"нет CFBundleIdentifier"_s;
        const struct {
            const char *bundle;
            bool withFolder;
            QList<std::pair<QString, QString>> extensions; // name, Info.plist ("": none)
            QStringList expected;
        } rows[] = {
            {"two", true,
             {{"a.systemextension", plist("<string>com.example.a</string>")}, {"b.systemextension", plist("<string>com.example.b</string>")}},
             {"a.systemextension → com.example.a", "b.systemextension → com.example.b"}},
            {"no-identifier", true,
             {{"bare.systemextension", ""}, {"list.systemextension", "<plist><array><string>x</string></array></plist>"},
              {"number.systemextension", plist("<integer>7</integer>")}},
             {"bare.systemextension → " + nothing, "list.systemextension → " + nothing, "number.systemextension → " + nothing}},
            {"empty-folder", true, {}, {"ничего"}},
            {"no-folder", false, {}, {"ничего"}},
        };
        for (const auto &row : rows) {
            const QString folder = makeBundle(QString::fromLatin1(row.bundle));
            if (row.withFolder)
                QDir().mkpath(folder);
            for (const auto &[name, plistText] : row.extensions) {
                QDir().mkpath(folder + '/' + name + u"/Contents"_s);
                if (!plistText.isEmpty())
                    writePrivateFile(folder + '/' + name + u"/Contents/Info.plist"_s, plistText.toUtf8());
            }
            const QString text = SystemExtensionManager::failureDescription(u"Ошибка"_s);
            const QString head = failedPrefix + u"Ошибка\nbundle: "_s + folder + u"\nнайдено: "_s;
            QVERIFY2(text.startsWith(head), qPrintable(text));
            QStringList items = text.mid(head.size()).split(u"; "_s);
            items.sort(); // the file system's order is not ours to fix
            QCOMPARE(items, row.expected);
        }
    }

    void linuxSubstituteReportsThreeOutcomes()
    {
        const QString build = qEnvironmentVariable("QOR_BUILD_DIR");
        QVERIFY(!build.isEmpty());
        qputenv("QOR_BUNDLE_DIR", (build + u"/bundle"_s).toUtf8());
        BundleExtensionActivator activator;
        SystemExtensionManager manager(activator);
        BundleExtensionActivator::setAwaitingApproval(mainId, false);

        auto main = track(manager.activate(mainId));
        auto reserve = track(manager.activate(reserveId));
        auto missing = track(manager.activate(u"com.example.absent"_s));
        ManualClock::drainEvents();
        QVERIFY(main->value == Result::Activated && reserve->value == Result::Activated && missing->failed());
        QVERIFY2(missing->errorDescription.startsWith(failedPrefix + u"Системное расширение не найдено в сборке\nbundle: "_s)
                     && missing->errorDescription.contains(mainId + ".systemextension → " + mainId)
                     && missing->errorDescription.contains(reserveId + ".systemextension → " + reserveId),
                 qPrintable(missing->errorDescription));
        QVERIFY(manager.bundleContainsExtension(reserveId) && !manager.bundleContainsExtension(u"com.example.absent"_s));

        // Awaiting approval: asked for until the mark is gone, then the pending request finishes with nobody waiting.
        BundleExtensionActivator::setAwaitingApproval(mainId, true);
        auto asked = track(manager.activate(mainId));
        ManualClock::drainEvents();
        QCOMPARE(*asked->value, Result::NeedsUserApproval);
        QSignalSpy finished(&activator, &ExtensionActivator::finished);
        BundleExtensionActivator::setAwaitingApproval(mainId, false);
        QTRY_COMPARE(finished.count(), 1); // the file watcher's event, not a timer
        QCOMPARE(finished.first().first().toString(), mainId);
        QCOMPARE(*settled(manager.activate(mainId))->value, Result::Activated);
    }
};

QTEST_GUILESS_MAIN(TestTunnelManager)
#include "test_tunnel_manager.moc"
