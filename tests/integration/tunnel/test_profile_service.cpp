// The Linux profile service with the simulated providers of the build's bundle, on its
// own and under the tunnel managers: real processes, state files and interfaces.

#include "../../unit/tunnel/task_outcome.h"
#include "manual_clock.h"
#include "tunnel/platform/interface_counters.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/tunnel_manager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace qor;
using namespace std::chrono_literals;

namespace {

// Real processes on a possibly busy machine: generous, but never waited out when things go right.
constexpr int processLimitMs = 30000;
const QString mainId = "com.qorvpn.connect.mac.tunnel", reserveId = "com.qorvpn.connect.mac.reserve";

template<typename T>
T await(QCoro::Task<T> &&task)
{
    auto outcome = settled(std::move(task));
    if (outcome->failed())
        throw Error(*outcome->errorDomain, outcome->errorCode, outcome->errorDescription);
    if constexpr (!std::is_void_v<T>)
        return *outcome->value;
}

ProfileHandle makeProfile(const QString &provider, const QVariantMap &configuration)
{
    auto p = std::make_shared<VpnProfile>();
    p->localizedDescription = "test";
    p->enabled = true;
    p->protocol = TunnelProviderProtocol{provider, "Qor Network", configuration};
    return p;
}

QVariantMap mainConfiguration(const QJsonObject &demo = {})
{
    QJsonObject doc{{"outbounds", QJsonArray()}};
    if (!demo.isEmpty())
        doc.insert("qor_demo", demo);
    return {{"configContent", QString::fromUtf8(QJsonDocument(doc).toJson())}};
}

QString lastErrorFile()
{
    return qEnvironmentVariable("QOR_TRACE_DIR") + "/tunnel-last-error.txt";
}

QString lastError()
{
    QFile f(lastErrorFile());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

int mode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

// Alive and not merely waiting to be reaped (a detached provider's parent is init,
// which may take its time).
bool processExists(qint64 pid)
{
    return process_identity::startTime(pid).has_value();
}

// Real providers move in real time, the managers' pauses in virtual time: step both.
bool driveUntil(ManualClock &clock, const std::function<bool()> &done)
{
    QElapsedTimer real;
    real.start();
    for (; !done(); QTest::qWait(5)) {
        if (real.elapsed() > processLimitMs)
            return false;
        clock.advance(50ms);
    }
    return true;
}

} // namespace

class TestProfileService : public QObject {
    Q_OBJECT

    std::unique_ptr<LinuxProfileService> service;

    ProfileHandle startProfile(const QString &provider, const QVariantMap &configuration)
    {
        auto profile = makeProfile(provider, configuration);
        await(service->save(profile));
        service->startProvider(*profile);
        return profile;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString build = qEnvironmentVariable("QOR_BUILD_DIR");
        qputenv("QOR_BUNDLE_DIR", (build + "/bundle").toUtf8());
        QVERIFY(QFileInfo(build + "/bundle/Contents/Library/SystemExtensions/" + mainId + ".systemextension/Contents/MacOS/qor-demo-provider")
                    .isExecutable());
        // What an interrupted earlier run may have left.
        QDir(tunnel_paths::profilesDirectory()).removeRecursively();
        QDir(tunnel_paths::stateDirectory()).removeRecursively();
    }

    void init()
    {
        for (const char *name : {"FAIL", "STAY_CONNECTING", "DROP_AFTER", "DROP_ERROR", "CRASH_AFTER", "TUN", "TRAFFIC"})
            qunsetenv(QByteArray("QOR_DEMO_PROVIDER_").append(name).constData());
        qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.05");
        QFile::remove(lastErrorFile());
        service = std::make_unique<LinuxProfileService>();
    }

    // Leaves no provider behind, whatever the test did.
    void cleanup()
    {
        QList<qint64> providers;
        for (const QString &name : QDir(tunnel_paths::profilesDirectory()).entryList({"*.json"}, QDir::Files)) {
            VpnProfile p;
            p.id = name.chopped(5);
            const auto state = service->providerState(p.id);
            if (state && state->pid == ::getpid())
                continue; // a state file the test forged in its own name
            if (state)
                providers.append(state->pid);
            if (const auto launched = service->lastLaunchedProcess(p.id))
                providers.append(*launched);
            service->stopTunnel(p);
        }
        for (qint64 pid : std::as_const(providers))
            QTRY_VERIFY_WITH_TIMEOUT(!processExists(pid), processLimitMs);
        service.reset();
        QDir(tunnel_paths::profilesDirectory()).removeRecursively();
        QDir(tunnel_paths::stateDirectory()).removeRecursively();
    }

    void profilesAreStoredPrivatelyAndInOrder()
    {
        auto first = makeProfile(mainId, mainConfiguration());
        auto second = makeProfile(reserveId, {{"wgQuickConfigs", QStringList{"a"}}});
        await(service->save(first));
        await(service->save(second));
        QVERIFY(!first->id.isEmpty());
        QCOMPARE(mode(service->profilePath(first->id)), 0600);
        QCOMPARE(mode(tunnel_paths::profilesDirectory()), 0700);

        // A malformed document and a stray file are ignored.
        writePrivateFile(tunnel_paths::profilesDirectory() + "/00000000-0000-0000-0000-000000000000.json", "{nope");
        writePrivateFile(tunnel_paths::profilesDirectory() + "/notes.json", "{}");

        // A second instance reads the same profiles, oldest first; saving keeps the order.
        LinuxProfileService other;
        first->localizedDescription = "renamed";
        await(other.save(first));
        const QList<ProfileHandle> all = await(other.loadAll());
        QCOMPARE(all.size(), 2);
        QCOMPARE(all[0]->toJson(), first->toJson());
        QCOMPARE(all[1]->toJson(), second->toJson());
        QCOMPARE(other.statusOf(first->id), VpnStatus::Disconnected);
        QCOMPARE(other.statusOf("11111111-1111-1111-1111-111111111111"), VpnStatus::Invalid);

        // Reloading a profile that is gone fails as stale.
        QFile::remove(service->profilePath(second->id));
        auto outcome = settled(service->reload(second));
        QVERIFY(outcome->failed());
        QCOMPARE(outcome->errorCode, 4);
    }

    // As root in the test's own network namespace the provider has a real interface,
    // which it feeds once a second; the kernel counts that as received.
    void connectsCarriesTrafficAndStops()
    {
        QSignalSpy changes(service.get(), &ProfileService::statusChanged);
        auto profile = startProfile(mainId, mainConfiguration({{"traffic", 20000}}));
        QList<VpnStatus> seen;
        QObject scope;
        connect(service.get(), &ProfileService::statusChanged, &scope, [&](const QString &id) { seen.append(service->statusOf(id)); });
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
        QTRY_VERIFY(!seen.isEmpty() && seen.last() == VpnStatus::Connected);
        QCOMPARE(seen.first(), VpnStatus::Connecting);

        const auto state = service->providerState(profile->id);
        QVERIFY(state);
        QCOMPARE(state->providerIdentifier, mainId);
        QCOMPARE(mode(service->statePath(profile->id)), 0600);
        if (::geteuid() == 0 && QFileInfo::exists("/dev/net/tun")) {
            QVERIFY2(state->interfaceName.startsWith("utun"), qPrintable(state->interfaceName));
            QTRY_VERIFY_WITH_TIMEOUT(ProcNetDevCounters().read().value(state->interfaceName).received >= 20000, processLimitMs);
        } else {
            QCOMPARE(state->interfaceName, QString());
        }

        // Starting again while it runs changes nothing.
        service->startProvider(*profile);
        QCOMPARE(service->providerState(profile->id)->pid, state->pid);

        service->stopTunnel(*profile);
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Disconnected, processLimitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!processExists(state->pid), processLimitMs);
        QTRY_COMPARE(seen.last(), VpnStatus::Disconnected);
        QVERIFY(changes.count() >= 3);
    }

    void failingProviderLeavesItsError_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QVariantMap>("configuration");
        QTest::addColumn<QByteArray>("failEnv");
        QTest::addColumn<QString>("expected");
        QTest::newRow("document is not JSON") << mainId << QVariantMap{{"configContent", "not json"}} << QByteArray()
                                              << "Некорректная конфигурация туннеля: configContent не является JSON";
        QTest::newRow("told to fail by configuration") << mainId << mainConfiguration({{"fail", "Сервер отклонил ключ"}}) << QByteArray()
                                                       << "Сервер отклонил ключ";
        QTest::newRow("told to fail by environment") << mainId << mainConfiguration() << QByteArray("Нет связи с узлом") << "Нет связи с узлом";
        QTest::newRow("reserve without texts") << reserveId << QVariantMap{{"wgQuickConfigs", "[Interface]"}} << QByteArray()
                                               << "Некорректная конфигурация резервного канала: нет wgQuickConfigs";
        QTest::newRow("reserve told in its text")
            << reserveId << QVariantMap{{"wgQuickConfigs", QStringList{"[Interface]\n# qor-demo: fail=Резерв недоступен\n"}}} << QByteArray()
            << "Резерв недоступен";
    }

    void failingProviderLeavesItsError()
    {
        QFETCH(QString, provider);
        QFETCH(QVariantMap, configuration);
        QFETCH(QByteArray, failEnv);
        QFETCH(QString, expected);
        if (!failEnv.isEmpty())
            qputenv("QOR_DEMO_PROVIDER_FAIL", failEnv);
        QList<VpnStatus> seen;
        QObject scope;
        connect(service.get(), &ProfileService::statusChanged, &scope, [&](const QString &id) { seen.append(service->statusOf(id)); });
        auto profile = startProfile(provider, configuration);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lastErrorFile()), processLimitMs);
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Disconnected, processLimitMs);
        QCOMPARE(lastError(), expected);
        QTRY_VERIFY(!seen.isEmpty() && seen.last() == VpnStatus::Disconnected);
        QVERIFY(!seen.contains(VpnStatus::Connected));
    }

    // Whenever the provider got to look, it went down instead of up: once it has gone,
    // nothing can change any more.
    void stopWhileStarting_data()
    {
        QTest::addColumn<bool>("staysConnecting");
        QTest::newRow("before the provider speaks") << false;
        QTest::newRow("provider stays connecting") << true;
    }

    void stopWhileStarting()
    {
        QFETCH(bool, staysConnecting);
        if (staysConnecting)
            qputenv("QOR_DEMO_PROVIDER_STAY_CONNECTING", "1");
        else
            qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.5");
        auto profile = startProfile(mainId, mainConfiguration());
        if (staysConnecting) { // its own word, not just the launch: the state file says connecting
            QTRY_VERIFY_WITH_TIMEOUT(service->providerState(profile->id).has_value(), processLimitMs);
            QCOMPARE(service->providerState(profile->id)->status, VpnStatus::Connecting);
            QCOMPARE(service->status(*profile), VpnStatus::Connecting);
        }
        service->stopTunnel(*profile);
        const auto pid = service->lastLaunchedProcess(profile->id);
        QVERIFY(pid);
        QTRY_VERIFY_WITH_TIMEOUT(!processExists(*pid), processLimitMs);
        QTRY_COMPARE(service->status(*profile), VpnStatus::Disconnected);
        if (const auto state = service->providerState(profile->id))
            QCOMPARE(state->status, VpnStatus::Disconnected);
    }

    // A provider that dies leaves a state file that still claims the connection: it is not
    // believed. One that drops the connection leaves its text.
    void lostConnectionReadsAsDisconnected_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("crashes by itself") << "crash";
        QTest::newRow("drops with a text") << "drop";
    }

    void lostConnectionReadsAsDisconnected()
    {
        QFETCH(QString, how);
        if (how == "crash")
            qputenv("QOR_DEMO_PROVIDER_CRASH_AFTER", "0.3");
        auto profile = startProfile(mainId, how == "drop" ? mainConfiguration({{"drop_after", 0.3}, {"drop_error", "Соединение прервано"}})
                                                          : mainConfiguration());
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
        const auto state = service->providerState(profile->id);
        QVERIFY(state);
        QSignalSpy changes(service.get(), &ProfileService::statusChanged);
        if (how == "drop") {
            QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Disconnected, processLimitMs);
            QCOMPARE(lastError(), "Соединение прервано");
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!changes.isEmpty(), processLimitMs);
        QCOMPARE(service->status(*profile), VpnStatus::Disconnected);
        QCOMPARE(service->providerState(profile->id)->status, VpnStatus::Connected);
    }

    // Only the state of the very process it names counts, from a file of this user.
    void stateIsBelievedOnlyWhenTrustworthy_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("foreignOwner");
        QTest::addColumn<bool>("believed");
        const QByteArray pid = QByteArray::number(::getpid()), head = R"({"version":1,"profile":"ID","provider":"p","pid":)" + pid;
        QTest::newRow("garbage") << QByteArray("\x01\x02{{{") << false << false;
        QTest::newRow("status out of range") << head + R"(,"startTime":"START","status":9})" << false << false;
        QTest::newRow("another profile")
            << QByteArray(R"({"version":1,"profile":"00000000-0000-0000-0000-000000000001","provider":"p","pid":)" + pid
                          + R"(,"startTime":"START","status":3})")
            << false << false;
        QTest::newRow("recycled process id") << head + R"(,"startTime":"1","status":3})" << false << false;
        QTest::newRow("another user's file") << head + R"(,"startTime":"START","status":3})" << true << false;
        QTest::newRow("genuine, of this process") << head + R"(,"startTime":"START","status":3})" << false << true;
    }

    void stateIsBelievedOnlyWhenTrustworthy()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, foreignOwner);
        QFETCH(bool, believed);
        if (foreignOwner && ::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        auto profile = makeProfile(mainId, mainConfiguration());
        await(service->save(profile));
        content.replace("ID", profile->id.toUtf8()).replace("START", QByteArray::number(*process_identity::startTime(::getpid())));
        writePrivateFile(service->statePath(profile->id), content);
        if (foreignOwner)
            QCOMPARE(::chown(QFile::encodeName(service->statePath(profile->id)).constData(), 65534, 65534), 0);

        LinuxProfileService fresh;
        QCOMPARE(fresh.status(*profile), believed ? VpnStatus::Connected : VpnStatus::Disconnected);
        if (believed) { // and not stopped: that would end this test
            QVERIFY(QFile::remove(service->statePath(profile->id)));
            return;
        }
        QVERIFY(!fresh.providerState(profile->id) || content.contains("\"startTime\":\"1\""));
        // Stopping must not signal whatever process the file names (here: this test, which would end at once).
        fresh.stopTunnel(*profile);
        QCOMPARE(fresh.status(*profile), VpnStatus::Disconnected);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("code");
        QTest::newRow("no such extension") << "com.example.missing.tunnel" << true << 3;
        QTest::newRow("disabled") << mainId << false << 2;
    }

    void refusals()
    {
        QFETCH(QString, provider);
        QFETCH(bool, enabled);
        QFETCH(int, code);
        auto profile = makeProfile(provider, mainConfiguration());
        profile->enabled = enabled;
        await(service->save(profile));
        try {
            service->startProvider(*profile);
            QFAIL("the start was accepted");
        } catch (const PlatformError &error) {
            QCOMPARE(error.domain(), QStringLiteral("com.qorvpn.connect.profiles"));
            QCOMPARE(error.code(), code);
        }
        QCOMPARE(service->status(*profile), VpnStatus::Disconnected);
        auto unsaved = makeProfile(mainId, mainConfiguration());
        QCOMPARE(service->status(*unsaved), VpnStatus::Invalid);
        QVERIFY_THROWS_EXCEPTION(PlatformError, service->startProvider(*unsaved));
    }

    // The main channel's manager: what the provider is handed, and an application
    // restart (a second service and manager) that adopts the running tunnel and stops
    // it, which the first service sees too.
    void mainChannelSurvivesAnApplicationRestart()
    {
        ManualClock clock;
        auto manager = std::make_unique<TunnelManager>(*service, clock);
        QList<int> reports;
        manager->onStatusChange = [&reports](int status) { reports.append(status); };
        const QVariantMap policy{{"block_torrent", true}, {"block_domains", QStringList{"example.org"}}};
        auto started = track(manager->start("{\"outbounds\":[]}", {"192.0.2.41"}, std::nullopt, policy));
        QVERIFY(driveUntil(clock, [&] { return started->done && reports.contains(3); }));
        QVERIFY2(!started->failed(), qPrintable(started->errorDescription));
        QCOMPARE(reports.first(), 2);
        QCOMPARE(manager->connectionStatus(), std::optional<int>(3));
        const ProfileHandle profile = manager->profile();
        QFile stored(service->profilePath(profile->id));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        const QJsonObject doc = QJsonDocument::fromJson(stored.readAll()).object();
        QCOMPARE(doc["protocol"]["providerConfiguration"].toObject().keys(), (QStringList{"bypassIPs", "configContent", "policy"}));
        QCOMPARE(doc["protocol"]["providerBundleIdentifier"].toString(), mainId);
        QVERIFY(doc["onDemandEnabled"].toBool());

        manager.reset();
        LinuxProfileService restartedService;
        TunnelManager restarted(restartedService, clock);
        QList<int> afterRestart;
        restarted.onStatusChange = [&afterRestart](int status) { afterRestart.append(status); };
        auto adopted = track(restarted.loadExisting());
        QVERIFY(driveUntil(clock, [&] { return adopted->done; }));
        QCOMPARE(afterRestart, QList<int>{3});
        auto stopped = track(restarted.stopAndWait(10.0));
        QVERIFY(driveUntil(clock, [&] { return stopped->done; }));
        QCOMPARE(restarted.connectionStatus(), std::optional<int>(1));
        QVERIFY(driveUntil(clock, [&] { return !afterRestart.isEmpty() && afterRestart.last() == 1; }));
        QVERIFY(!restarted.profile()->onDemandEnabled);
        QCOMPARE(service->status(*profile), VpnStatus::Disconnected);
    }
};

QTEST_GUILESS_MAIN(TestProfileService)
#include "test_profile_service.moc"
