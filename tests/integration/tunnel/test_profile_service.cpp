#include "../../unit/tunnel/task_outcome.h"
#include "manual_clock.h"
#include "tunnel/platform/interface_counters.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace qor;

namespace {

// Real processes on a possibly busy machine: generous, but never waited out when
// things go right.
constexpr int processLimitMs = 30000;

const QString mainId = QStringLiteral("com.qorvpn.connect.mac.tunnel");
const QString reserveId = QStringLiteral("com.qorvpn.connect.mac.reserve");

template<typename T>
T await(QCoro::Task<T> &&task)
{
    auto outcome = track(std::move(task));
    ManualClock::drainEvents();
    if (outcome->failed())
        throw Error(*outcome->errorDomain, outcome->errorCode, outcome->errorDescription);
    if constexpr (!std::is_void_v<T>)
        return *outcome->value;
}

ProfileHandle makeProfile(const QString &provider, const QVariantMap &configuration)
{
    auto p = std::make_shared<VpnProfile>();
    p->localizedDescription = QStringLiteral("test");
    p->enabled = true;
    p->protocol = TunnelProviderProtocol{provider, QStringLiteral("Qor Network"), configuration};
    return p;
}

QVariantMap mainConfiguration(const QJsonObject &demo = {})
{
    QJsonObject doc{{QStringLiteral("outbounds"), QJsonArray()}};
    if (!demo.isEmpty())
        doc.insert(QStringLiteral("qor_demo"), demo);
    return {{QStringLiteral("configContent"), QString::fromUtf8(QJsonDocument(doc).toJson())}};
}

QString traceFile(const QString &name)
{
    return qEnvironmentVariable("QOR_TRACE_DIR") + QLatin1Char('/') + name;
}

QString readText(const QString &path)
{
    QFile f(path);
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

} // namespace

class TestProfileService : public QObject {
    Q_OBJECT

    std::unique_ptr<LinuxProfileService> service;
    QList<qint64> startedProviders;

    ProfileHandle startProfile(const QString &provider, const QVariantMap &configuration)
    {
        auto profile = makeProfile(provider, configuration);
        await(service->save(profile));
        service->startProvider(*profile);
        return profile;
    }

    void rememberProvider(const QString &id)
    {
        if (const auto state = service->providerState(id))
            startedProviders.append(state->pid);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString build = qEnvironmentVariable("QOR_BUILD_DIR");
        QVERIFY2(!build.isEmpty(), "QOR_BUILD_DIR is not set");
        qputenv("QOR_BUNDLE_DIR", (build + QStringLiteral("/bundle")).toUtf8());
        QVERIFY(QFileInfo(build + "/bundle/Contents/Library/SystemExtensions/" + mainId
                          + ".systemextension/Contents/MacOS/qor-demo-provider")
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
        QFile::remove(traceFile("tunnel-last-error.txt"));
        service = std::make_unique<LinuxProfileService>();
    }

    void cleanup()
    {
        // Leave no provider behind, whatever the test did.
        for (const QString &name : QDir(tunnel_paths::profilesDirectory()).entryList({"*.json"}, QDir::Files)) {
            const QString id = name.chopped(5);
            const auto state = service->providerState(id);
            if (state && state->pid == ::getpid())
                continue; // a state file the test forged in its own name
            if (state)
                startedProviders.append(state->pid);
            VpnProfile p;
            p.id = id;
            service->stopTunnel(p);
        }
        for (qint64 pid : std::as_const(startedProviders))
            QTRY_VERIFY_WITH_TIMEOUT(!processExists(pid), processLimitMs);
        startedProviders.clear();
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
        auto outcome = track(service->reload(second));
        ManualClock::drainEvents();
        QVERIFY(outcome->failed());
        QCOMPARE(outcome->errorCode, 4);
    }

    void connectsAndStops()
    {
        QSignalSpy changes(service.get(), &ProfileService::statusChanged);
        auto profile = startProfile(mainId, mainConfiguration());
        QList<VpnStatus> seen;
        connect(service.get(), &ProfileService::statusChanged, this,
                [&](const QString &id) { seen.append(service->statusOf(id)); });
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
        rememberProvider(profile->id);
        QTRY_VERIFY(!seen.isEmpty() && seen.last() == VpnStatus::Connected);
        QCOMPARE(seen.first(), VpnStatus::Connecting);

        const auto state = service->providerState(profile->id);
        QVERIFY(state);
        QCOMPARE(state->providerIdentifier, mainId);
        QCOMPARE(mode(service->statePath(profile->id)), 0600);
        // As root in the test's own network namespace the provider has a real interface.
        const bool mayCreate = ::geteuid() == 0 && QFileInfo("/dev/net/tun").exists();
        if (mayCreate)
            QVERIFY2(state->interfaceName.startsWith("utun"), qPrintable(state->interfaceName));
        else
            QCOMPARE(state->interfaceName, QString());

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

        QTest::newRow("document is not JSON")
            << mainId << QVariantMap{{"configContent", "not json"}} << QByteArray()
            << "Некорректная конфигурация туннеля: configContent не является JSON";
        QTest::newRow("told to fail by configuration")
            << mainId << mainConfiguration({{"fail", "Сервер отклонил ключ"}}) << QByteArray() << "Сервер отклонил ключ";
        QTest::newRow("told to fail by environment")
            << mainId << mainConfiguration() << QByteArray("Нет связи с узлом") << "Нет связи с узлом";
        QTest::newRow("reserve without texts")
            << reserveId << QVariantMap{{"wgQuickConfigs", "[Interface]"}} << QByteArray()
            << "Некорректная конфигурация резервного канала: нет wgQuickConfigs";
        QTest::newRow("reserve told in its text")
            << reserveId << QVariantMap{{"wgQuickConfigs", QStringList{"[Interface]\n# qor-demo: fail=Резерв недоступен\n"}}}
            << QByteArray() << "Резерв недоступен";
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
        connect(service.get(), &ProfileService::statusChanged, this,
                [&](const QString &id) { seen.append(service->statusOf(id)); });
        auto profile = startProfile(provider, configuration);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(traceFile("tunnel-last-error.txt")), processLimitMs);
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Disconnected, processLimitMs);
        QCOMPARE(readText(traceFile("tunnel-last-error.txt")), expected);
        QTRY_VERIFY(!seen.isEmpty() && seen.last() == VpnStatus::Disconnected);
        QVERIFY(!seen.contains(VpnStatus::Connected));
    }

    void providerThatStaysConnectingCanBeStopped()
    {
        qputenv("QOR_DEMO_PROVIDER_STAY_CONNECTING", "1");
        auto profile = startProfile(mainId, mainConfiguration());
        // Its own word, not just the launch: the state file says connecting.
        QTRY_VERIFY_WITH_TIMEOUT(service->providerState(profile->id).has_value(), processLimitMs);
        rememberProvider(profile->id);
        QCOMPARE(service->providerState(profile->id)->status, VpnStatus::Connecting);
        QCOMPARE(service->status(*profile), VpnStatus::Connecting);
        service->stopTunnel(*profile);
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Disconnected, processLimitMs);
    }

    void stopBeforeTheProviderSpeaks()
    {
        qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.5");
        auto profile = makeProfile(mainId, mainConfiguration());
        await(service->save(profile));
        service->startProvider(*profile);
        service->stopTunnel(*profile);
        // Whenever the provider got to look, it went down instead of up: once it has
        // gone, nothing can change any more.
        const auto pid = service->lastLaunchedProcess(profile->id);
        QVERIFY(pid);
        QTRY_VERIFY_WITH_TIMEOUT(!processExists(*pid), processLimitMs);
        QCOMPARE(service->status(*profile), VpnStatus::Disconnected);
        if (const auto state = service->providerState(profile->id))
            QCOMPARE(state->status, VpnStatus::Disconnected);
    }

    void providerDeathReadsAsDisconnected_data()
    {
        QTest::addColumn<bool>("killedByTest");
        QTest::newRow("crashes by itself") << false;
        QTest::newRow("killed") << true;
    }

    void providerDeathReadsAsDisconnected()
    {
        QFETCH(bool, killedByTest);
        if (!killedByTest)
            qputenv("QOR_DEMO_PROVIDER_CRASH_AFTER", "0.3");
        auto profile = startProfile(mainId, mainConfiguration());
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
        const auto state = service->providerState(profile->id);
        QVERIFY(state);
        QSignalSpy changes(service.get(), &ProfileService::statusChanged);
        if (killedByTest)
            ::kill(pid_t(state->pid), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(!changes.isEmpty(), processLimitMs);
        QCOMPARE(service->status(*profile), VpnStatus::Disconnected);
        // The state file still claims the connection; it is not believed.
        QCOMPARE(service->providerState(profile->id)->status, VpnStatus::Connected);
    }

    void droppedConnectionLeavesItsText()
    {
        auto profile = startProfile(mainId, mainConfiguration({{"drop_after", 0.3}, {"drop_error", "Соединение прервано"}}));
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
        rememberProvider(profile->id);
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Disconnected, processLimitMs);
        QCOMPARE(readText(traceFile("tunnel-last-error.txt")), QStringLiteral("Соединение прервано"));
    }

    void newInstanceAdoptsRunningTunnel()
    {
        auto profile = startProfile(reserveId, {{"wgQuickConfigs", QStringList{"[Interface]\nPrivateKey = x\n"}}});
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
        rememberProvider(profile->id);

        // An application restart: a fresh instance sees the tunnel and can stop it.
        LinuxProfileService restarted;
        const QList<ProfileHandle> all = await(restarted.loadAll());
        QCOMPARE(all.size(), 1);
        QCOMPARE(restarted.status(*all.first()), VpnStatus::Connected);
        QSignalSpy changes(&restarted, &ProfileService::statusChanged);
        restarted.stopTunnel(*all.first());
        QTRY_COMPARE_WITH_TIMEOUT(restarted.status(*all.first()), VpnStatus::Disconnected, processLimitMs);
        QTRY_VERIFY(!changes.isEmpty());
        QCOMPARE(service->status(*profile), VpnStatus::Disconnected);
    }

    void untrustworthyStateIsIgnored_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("foreignOwner");
        const QByteArray pid = QByteArray::number(::getpid());
        QTest::newRow("garbage") << QByteArray("\x01\x02{{{") << false;
        QTest::newRow("status out of range")
            << QByteArray(R"({"version":1,"profile":"ID","provider":"p","pid":)" + pid + R"(,"startTime":"START","status":9})")
            << false;
        QTest::newRow("another profile")
            << QByteArray(R"({"version":1,"profile":"00000000-0000-0000-0000-000000000001","provider":"p","pid":)" + pid
                          + R"(,"startTime":"START","status":3})")
            << false;
        QTest::newRow("recycled process id")
            << QByteArray(R"({"version":1,"profile":"ID","provider":"p","pid":)" + pid + R"(,"startTime":"1","status":3})")
            << false;
        QTest::newRow("another user's file")
            << QByteArray(R"({"version":1,"profile":"ID","provider":"p","pid":)" + pid + R"(,"startTime":"START","status":3})")
            << true;
    }

    void untrustworthyStateIsIgnored()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, foreignOwner);
        if (foreignOwner && ::geteuid() != 0)
            QSKIP("giving a file to another user needs root");

        auto profile = makeProfile(mainId, mainConfiguration());
        await(service->save(profile));
        const QByteArray start = QByteArray::number(*process_identity::startTime(::getpid()));
        content.replace("ID", profile->id.toUtf8()).replace("START", start);
        writePrivateFile(service->statePath(profile->id), content);
        if (foreignOwner)
            QCOMPARE(::chown(QFile::encodeName(service->statePath(profile->id)).constData(), 65534, 65534), 0);

        LinuxProfileService fresh;
        QCOMPARE(fresh.status(*profile), VpnStatus::Disconnected);
        QVERIFY(!fresh.providerState(profile->id) || content.contains("\"startTime\":\"1\""));
        // Stopping must not signal whatever process the file names (here: this test,
        // which would end at once).
        fresh.stopTunnel(*profile);
        QCOMPARE(fresh.status(*profile), VpnStatus::Disconnected);
    }

    void genuineStateOfThisProcessCounts()
    {
        // The positive control of the case above: the same document with the true
        // start time is believed.
        auto profile = makeProfile(mainId, mainConfiguration());
        await(service->save(profile));
        ProviderState state;
        state.profileId = profile->id;
        state.providerIdentifier = mainId;
        state.pid = ::getpid();
        state.startTime = *process_identity::startTime(::getpid());
        state.status = VpnStatus::Connected;
        writePrivateFile(service->statePath(profile->id), state.toJson());
        QCOMPARE(LinuxProfileService().status(*profile), VpnStatus::Connected);
        QFile::remove(service->statePath(profile->id));
    }

    void providerInterfaceCarriesDemoTraffic()
    {
        if (::geteuid() != 0 || !QFileInfo("/dev/net/tun").exists())
            QSKIP("the provider makes an interface only as root");
        auto profile = startProfile(mainId, mainConfiguration({{"traffic", 20000}}));
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
        rememberProvider(profile->id);
        const QString name = service->providerState(profile->id)->interfaceName;
        QVERIFY(name.startsWith("utun"));
        // The provider feeds its interface once a second; the kernel counts it received.
        QTRY_VERIFY_WITH_TIMEOUT(ProcNetDevCounters().read().value(name).received >= 20000, processLimitMs);
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
};

QTEST_GUILESS_MAIN(TestProfileService)
#include "test_profile_service.moc"
