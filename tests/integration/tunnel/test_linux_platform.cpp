// The Linux tunnel platform with real processes, interfaces and connections; TUN cases run as root in the wrapper's namespace.

#include "../../unit/tunnel/task_outcome.h"
#include "loopback_listeners.h"
#include "tunnel/latency_probe.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/platform/service_profile_service.h"
#include "tunnel/platform/tunnel_bypass.h"
#include "tunnel/platform/tcp_connect.h"
#include "tunnel/platform/tunnel_service_bus.h"
#include "tunnel/provider_identifiers.h"
#include "tunnel/tavrin_helper.h"
#include "tunnel/tavrin_resolver.h"
#include "tunnel/traffic_monitor.h"

#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace qor;
using namespace std::chrono_literals;
using Millis = std::optional<quint64>;
namespace bus = qor::tunnel_service_bus;

namespace {

// Real processes on a possibly busy machine: generous, but never waited out when things go right.
constexpr int processLimitMs = 30000;
const QString mainId = "com.qorvpn.connect.mac.tunnel", reserveId = "com.qorvpn.connect.mac.reserve";

// A main-channel profile by default; `demo` tells the simulated provider how to behave.
ProfileHandle makeProfile(const QString &provider = mainId, const QJsonObject &demo = {}, bool enabled = true)
{
    QJsonObject doc{{"outbounds", QJsonArray()}};
    if (!demo.isEmpty())
        doc.insert("qor_demo", demo);
    auto p = std::make_shared<VpnProfile>();
    p->enabled = enabled;
    p->protocol = TunnelProviderProtocol{provider, "Qor Network", {{"configContent", QString::fromUtf8(QJsonDocument(doc).toJson())}}};
    return p;
}

const QString lastErrorFile = qEnvironmentVariable("QOR_TRACE_DIR") + "/tunnel-last-error.txt";

// Alive and not merely waiting to be reaped (a detached provider's parent is init, which may take its time).
bool processExists(qint64 pid)
{
    return process_identity::startTime(pid).has_value();
}

bool ip(const QStringList &arguments)
{
    QProcess p;
    p.start("ip", arguments);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A TUN or TAP device without IPv6 (no router solicitations in the counters), up for as long as the object lives.
struct Device {
    int fd = -1;
    QString name;
    bool open(short kind, const char *pattern)
    {
        fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        ifreq ifr{};
        ifr.ifr_flags = short(kind | IFF_NO_PI);
        std::strncpy(ifr.ifr_name, pattern, IFNAMSIZ - 1);
        if (fd < 0 || ::ioctl(fd, TUNSETIFF, &ifr) != 0)
            return false;
        name = QString::fromLatin1(ifr.ifr_name);
        if (QFile ipv6("/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6"); ipv6.open(QIODevice::WriteOnly))
            ipv6.write("1"); // closed, so written, before the interface goes up
        return ip({"link", "set", name, "up"});
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    ~Device() { close(); }
};

// The tunnel service as its client sees it: ListProfiles answers one running reserve profile and its counters.
class StandInService final : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != "ListProfiles")
            return false;
        VpnProfile profile;
        profile.id = "0f8fad5b-d9cb-469f-a165-70867728950e";
        profile.enabled = true;
        profile.protocol = TunnelProviderProtocol{reserveProviderIdentifier(), "Qor Reserve", {}};
        connection.send(message.createReply({QStringList{QJsonDocument(profile.toJson()).toJson(QJsonDocument::Compact)},
                                             QVariant::fromValue(QList<int>{3}), QVariant::fromValue(QList<qulonglong>{5000}),
                                             QVariant::fromValue(QList<qulonglong>{700})}));
        return true;
    }
};

// What the call threw: "domain code description"; empty when it returned.
template<typename Call>
QString thrown(Call &&call)
{
    try {
        call();
    } catch (const Error &error) {
        return error.domain() + ' ' + QString::number(error.code()) + ' ' + error.description();
    }
    return {};
}

// What the stand-in Tavrin client recorded: its command line and key file, and whether it was terminated.
QJsonObject kvbRecord(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

// Run in a child copy of this test: starts the Tavrin client, then quits through its event loop as the real one does.
int quitScenario(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TavrinHelper helper;
    helper.start("quit-key", "192.0.2.41:8443@k@h");
    (void)QTest::qWaitFor([] { return QFileInfo::exists(qEnvironmentVariable("QOR_KVB_RECORD")); }, processLimitMs);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}

// The resolver's limit: short enough to wait out, long enough for a busy machine to answer a loopback connect.
constexpr auto limit = 1500ms;

// A resolver of these entry hosts, each looked up on this port.
std::unique_ptr<TavrinResolver> resolverOf(ManualClock &clock, quint16 port, const QStringList &hosts = {})
{
    QList<TavrinEntries::Entry> entries;
    for (const QString &host : hosts)
        entries.append({host, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "192.0.2.1"});
    return std::make_unique<TavrinResolver>(clock, entries, TavrinResolver::Options{limit, port});
}

} // namespace

class TestLinuxPlatform : public QObject {
    Q_OBJECT

    std::unique_ptr<LinuxProfileService> service;
    QList<VpnStatus> seen; // each status the service announced
    QString record;        // where the stand-in Tavrin client records itself
    ManualClock clock;     // the Tavrin resolver's

    void recordTo(const QString &name)
    {
        record = qEnvironmentVariable("QOR_TEST_SCRATCH") + "/" + name;
        QFile::remove(record);
        qputenv("QOR_KVB_RECORD", record.toUtf8());
    }

    ProfileHandle startProfile(const ProfileHandle &profile)
    {
        QCoro::waitFor(service->save(profile));
        service->startProvider(*profile);
        return profile;
    }

private Q_SLOTS:
    void initTestCase() // what an interrupted earlier run may have left
    {
        init();
        cleanup();
    }

    void init()
    {
        qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + "/bundle").toUtf8());
        qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.05");
        recordTo("kvb-record.json");
        QDir(QFileInfo(TavrinHelper::keyFileLocation()).absolutePath()).removeRecursively();
        QFile::remove(lastErrorFile);
        service = std::make_unique<LinuxProfileService>();
        seen.clear();
        connect(service.get(), &ProfileService::statusChanged, this, [this](const QString &id) { seen.append(service->statusOf(id)); });
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

    void profilesAreStoredInOrderAndRefusedWhenUnusable()
    {
        auto first = makeProfile(), second = makeProfile(reserveId);
        QCoro::waitFor(service->save(first));
        QCoro::waitFor(service->save(second));
        QVERIFY(!first->id.isEmpty()); // (the documents' modes: test_secret_files_private)
        // A malformed document and a stray file are ignored.
        writePrivateFile(tunnel_paths::profilesDirectory() + "/00000000-0000-0000-0000-000000000000.json", "{nope");
        writePrivateFile(tunnel_paths::profilesDirectory() + "/notes.json", "{}");

        // A second instance reads the same profiles, oldest first; saving keeps the order.
        LinuxProfileService other;
        first->localizedDescription = "renamed";
        QCoro::waitFor(other.save(first));
        const QList<ProfileHandle> all = QCoro::waitFor(other.loadAll());
        QCOMPARE(all.size(), 2);
        QCOMPARE(all[0]->toJson(), first->toJson());
        QCOMPARE(all[1]->toJson(), second->toJson());
        QCOMPARE(other.statusOf(first->id), VpnStatus::Disconnected);
        QCOMPARE(other.statusOf("11111111-1111-1111-1111-111111111111"), VpnStatus::Invalid);

        // Reloading a profile that is gone fails as stale.
        QFile::remove(service->profilePath(second->id));
        QCOMPARE(settled(service->reload(second))->errorCode, 4);

        // A provider that is not there, a disabled profile and one never saved are not started.
        for (const auto &[profile, code] : {std::pair(makeProfile("com.example.missing.tunnel"), 3), std::pair(makeProfile(mainId, {}, false), 2)}) {
            QCoro::waitFor(service->save(profile));
            const QString error = thrown([&] { service->startProvider(*profile); });
            QVERIFY2(error.startsWith(QStringLiteral("com.qorvpn.connect.profiles %1 ").arg(code)), qPrintable(error));
            QCOMPARE(service->status(*profile), VpnStatus::Disconnected);
        }
        auto unsaved = makeProfile();
        QCOMPARE(service->status(*unsaved), VpnStatus::Invalid);
        QVERIFY_THROWS_EXCEPTION(PlatformError, service->startProvider(*unsaved));
    }

    // A provider's run as the service reports it: a connected one feeds its real interface; a failed one leaves its error.
    void providerRuns_data()
    {
        QTest::addColumn<QVariantMap>("configuration"); // the reserve channel's when it has wgQuickConfigs
        QTest::addColumn<QString>("outcome");           // "connects", "stopped before it speaks", or the error it leaves
        const auto main = [](const QJsonObject &demo) { return makeProfile(mainId, demo)->protocol->providerConfiguration; };
        QTest::newRow("connects, carries traffic, stops") << main({{"traffic", 20000}}) << "connects";
        QTest::newRow("stopped before it speaks") << main({}) << "stopped before it speaks";
        QTest::newRow("document is not JSON") << QVariantMap{{"configContent", "not json"}} << "Некорректная конфигурация туннеля: configContent не является JSON";
        QTest::newRow("told to fail by its document") << main({{"fail", "Сервер отклонил ключ"}}) << "Сервер отклонил ключ";
        QTest::newRow("reserve without texts") << QVariantMap{{"wgQuickConfigs", "[Interface]"}} << "Некорректная конфигурация резервного канала: нет wgQuickConfigs";
        QTest::newRow("reserve told in its text")
            << QVariantMap{{"wgQuickConfigs", QStringList{"[Interface]\n# qor-demo: fail=Резерв недоступен\n"}}} << "Резерв недоступен";
    }

    void providerRuns()
    {
        QFETCH(QVariantMap, configuration);
        QFETCH(QString, outcome);
        const bool connects = outcome == "connects", stoppedAtOnce = outcome == "stopped before it speaks";
        if (stoppedAtOnce)
            qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.5");
        auto profile = makeProfile(configuration.contains("wgQuickConfigs") ? reserveId : mainId);
        profile->protocol->providerConfiguration = configuration;
        startProfile(profile);
        const auto pid = service->lastLaunchedProcess(profile->id);
        QVERIFY(pid);
        if (connects) {
            QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Connected, processLimitMs);
            QTRY_VERIFY(!seen.isEmpty() && seen.last() == VpnStatus::Connected);
            QCOMPARE(seen.first(), VpnStatus::Connecting);
            const auto state = service->providerState(profile->id);
            QVERIFY(state);
            QCOMPARE(state->providerIdentifier, mainId);
            QCOMPARE(state->pid, *pid);
            if (::geteuid() == 0 && QFileInfo::exists("/dev/net/tun")) {
                QVERIFY2(state->interfaceName.startsWith("utun"), qPrintable(state->interfaceName));
                QTRY_VERIFY_WITH_TIMEOUT(ProcNetDevCounters().read().value(state->interfaceName).received >= 20000, processLimitMs);
            } else {
                QCOMPARE(state->interfaceName, QString());
            }
            service->startProvider(*profile);
            QCOMPARE(service->providerState(profile->id)->pid, *pid);
        }
        if (connects || stoppedAtOnce) {
            service->stopTunnel(*profile);
            QTRY_VERIFY_WITH_TIMEOUT(!processExists(*pid), processLimitMs);
        } else { // (a provider that fails its start stays until stopped: cleanup() stops it)
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lastErrorFile), processLimitMs);
            QFile text(lastErrorFile);
            QVERIFY(text.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromUtf8(text.readAll()), outcome);
        }
        QTRY_COMPARE_WITH_TIMEOUT(service->status(*profile), VpnStatus::Disconnected, processLimitMs);
        if (const auto state = service->providerState(profile->id))
            QCOMPARE(state->status, VpnStatus::Disconnected);
        QTRY_VERIFY(!seen.isEmpty() && seen.last() == VpnStatus::Disconnected);
        QCOMPARE(seen.contains(VpnStatus::Connected), connects);
    }

    // Only the state of the very process it names counts, from a file of this user (a recycled id has another start time).
    void stateIsBelievedOnlyWhenTrustworthy_data()
    {
        QTest::addColumn<QString>("flaw"); // empty: none
        for (const char *flaw : {"another profile", "another user's file", "another start time", ""})
            QTest::newRow(*flaw ? flaw : "genuine, of this process") << flaw;
    }

    void stateIsBelievedOnlyWhenTrustworthy()
    {
        QFETCH(QString, flaw);
        if (flaw == "another user's file" && ::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        const bool believed = flaw.isEmpty();
        auto saved = makeProfile();
        QCoro::waitFor(service->save(saved));
        const ProviderState state{.profileId = flaw == "another profile" ? "00000000-0000-0000-0000-000000000001" : saved->id,
                                  .providerIdentifier = mainId, .pid = ::getpid(),
                                  .startTime = *process_identity::startTime(::getpid()) + (flaw == "another start time" ? 1 : 0),
                                  .status = VpnStatus::Connected, .interfaceName = {}};
        const QString path = service->statePath(saved->id);
        writePrivateFile(path, state.toJson());
        QVERIFY(flaw != "another user's file" || ::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);

        LinuxProfileService fresh;
        QCOMPARE(fresh.status(*saved), believed ? VpnStatus::Connected : VpnStatus::Disconnected);
        // The document of this user and profile is read; the tunnel is up only while the process is the one it names.
        QCOMPARE(fresh.providerState(saved->id).has_value(), believed || flaw == "another start time");
        if (believed)
            return; // and not stopped: that would end this test (cleanup() leaves a state in its name alone)
        // Stopping must not signal whatever process the file names (here: this test, which would end at once).
        fresh.stopTunnel(*saved);
        QCOMPARE(fresh.status(*saved), VpnStatus::Disconnected);
    }

    // A second start replaces the Tavrin client; stop() and the application's quit end it.
    void tavrinClientIsReplacedAndEnds()
    {
        TavrinHelper helper;
        helper.start("first", "a");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), processLimitMs);
        const QString firstRecord = record;
        recordTo("kvb-record-second.json");
        helper.start("second", "b");
        QTRY_VERIFY_WITH_TIMEOUT(kvbRecord(firstRecord)["terminated"].toBool(), processLimitMs);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), processLimitMs);
        QVERIFY(kvbRecord(record)["pid"].toInteger() != kvbRecord(firstRecord)["pid"].toInteger());
        QFile key(TavrinHelper::keyFileLocation());
        QVERIFY(key.open(QIODevice::ReadOnly) && key.readAll() == "second");
        helper.stop();
        QTRY_VERIFY_WITH_TIMEOUT(kvbRecord(record)["terminated"].toBool(), processLimitMs);
        // And when the application quits, in a child copy of this test.
        recordTo("kvb-record-quit.json");
        QProcess app;
        app.start(QCoreApplication::applicationFilePath(), {"--quit-scenario"});
        QVERIFY(app.waitForFinished(processLimitMs));
        QVERIFY(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
        QVERIFY(QFileInfo::exists(record) && !QFileInfo::exists(TavrinHelper::keyFileLocation()));
        QTRY_VERIFY_WITH_TIMEOUT(kvbRecord(record)["terminated"].toBool(), processLimitMs);
    }

    // A refused start of the Tavrin client runs nothing; only a key already written stays until stop().
    void tavrinClientRefusals_data()
    {
        QTest::addColumn<QString>("bundle"); // "missing" or "not-executable" client; empty: the build's
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("error"); // "POSIX": with the system's code
        QTest::newRow("blank key") << "" << " \n\t \r\n" << "Tavrin 2 Tavrin не подключён к этому аккаунту — обновите подписку";
        QTest::newRow("blank key, no client: the client is checked first") << "missing" << "  " << "Tavrin 1 Tavrin-клиент (kvb-client) не вложен в сборку";
        QTest::newRow("client cannot run") << "not-executable" << "key"
                                           << QStringLiteral("QProcess %1 Не удалось запустить Tavrin-клиент (kvb-client)").arg(QProcess::FailedToStart);
        QTest::newRow("key folder cannot be made") << "" << "key" << "POSIX";
    }

    void tavrinClientRefusals()
    {
        QFETCH(QString, bundle);
        QFETCH(QString, key);
        QFETCH(QString, error);
        if (!bundle.isEmpty()) { // a bundle of our own whose kvb-client is a script without the execute bit, or absent
            const QString root = qEnvironmentVariable("QOR_TEST_SCRATCH") + "/bundles/" + bundle;
            QDir(root).removeRecursively();
            QDir().mkpath(root + "/Contents/Resources");
            QFile client(root + "/Contents/Resources/kvb-client");
            QVERIFY(bundle == "missing" || (client.open(QIODevice::WriteOnly) && client.write("#!/bin/sh\nexit 0\n") > 0));
            qputenv("QOR_BUNDLE_DIR", root.toUtf8());
        }
        const QString keyFolder = QFileInfo(TavrinHelper::keyFileLocation()).absolutePath();
        if (error == "POSIX") { // a file stands where the key's folder would be made
            QDir().mkpath(QFileInfo(keyFolder).absolutePath());
            QFile blocker(keyFolder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        TavrinHelper helper;
        const QString got = thrown([&] { helper.start(key, "x"); });
        QVERIFY2(error == "POSIX" ? got.startsWith("POSIX ") && !got.startsWith("POSIX 0 ") : got == error, qPrintable(got));
        QVERIFY(!helper.isRunning());
        QVERIFY(!QFileInfo::exists(record));
        QCOMPARE(QFileInfo::exists(TavrinHelper::keyFileLocation()), bundle == "not-executable");
        helper.stop();
        QVERIFY(!QFileInfo::exists(TavrinHelper::keyFileLocation()));
        QFile::remove(keyFolder);
    }

    // The tunnel service's client sees every status signalled, in order; a service that goes away leaves no tunnel up.
    void serviceClientSeesEveryTransition()
    {
        QDBusConnection serviceBus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "service");
        StandInService standIn;
        QVERIFY(serviceBus.registerVirtualObject(bus::objectPath, &standIn));
        QVERIFY(serviceBus.registerService(bus::serviceName));
        ServiceProfileService client(QDBusConnection::sessionBus());
        const QList<ProfileHandle> profiles = QCoro::waitFor(client.loadAll());
        QCOMPARE(profiles.size(), 1);
        const VpnProfile &profile = *profiles.first();
        QCOMPARE(client.status(profile), VpnStatus::Connected);
        QCOMPARE(client.read().value(profile.id), (InterfaceCounters{5000, 700})); // from the same answer

        QList<VpnStatus> statuses;
        connect(&client, &ProfileService::statusChanged, this, [&] { statuses.append(client.status(profile)); });
        for (int status : {1, 2, 3, 1, 2, 3}) {
            QDBusMessage signal = QDBusMessage::createSignal(bus::objectPath, bus::interfaceName, "StatusChanged");
            serviceBus.send(signal << profile.id << status);
        }
        QTRY_COMPARE(statuses.size(), 6);
        QCOMPARE(statuses, (QList<VpnStatus>{VpnStatus::Disconnected, VpnStatus::Connecting, VpnStatus::Connected, VpnStatus::Disconnected,
                                              VpnStatus::Connecting, VpnStatus::Connected}));
        serviceBus.unregisterService(bus::serviceName);
        QTRY_COMPARE(client.status(profile), VpnStatus::Disconnected);
        QCOMPARE(statuses.last(), VpnStatus::Disconnected);
        QVERIFY(client.read().isEmpty());
        serviceBus.unregisterObject(bus::objectPath);
        QDBusConnection::disconnectFromBus("service");
    }

    // The host is resolved once, even for no attempt; every attempt goes to the address found (the name as written
    // when none is) and avoids the tunnel. Times are whole milliseconds, rounded down; an address loses its scope.
    void bestOfScriptedAttempts()
    {
        for (const auto &[ns, ms] : QList<std::pair<qint64, quint64>>{{1999900, 1}, {900000, 0}, {2000000, 2}, {80500000, 80}, {-5, 0}})
            QVERIFY2(LatencyProbe::wholeMilliseconds(std::chrono::nanoseconds(ns)) == ms, qPrintable(QString::number(ns)));
        for (const auto &[address, bare] : QList<std::pair<QString, QString>>{{"fe80::1%eth0", "fe80::1"}, {"fe80::1%2%x", "fe80::1"},
                                                                              {"192.0.2.7", "192.0.2.7"}})
            QCOMPARE(net::withoutScope(address), bare);
        const QStringList thrice(3, "192.0.2.10:443 off-tunnel");
        const struct {
            const char *name;
            QList<Millis> answers; // of the attempts in turn
            quint16 port;
            int attempts;
            bool resolves;
            Millis best;
            QStringList asked;
        } rows[] = {{"80, 35, timeout", {80, 35, {}}, 443, 3, true, 35, thrice},
                    {"all fail", {}, 443, 3, true, {}, thrice},
                    {"zero attempts", {5}, 443, 0, true, {}, {}},
                    {"unresolved: tried as written", {12}, 8443, 1, false, 12, {"node.example.com:8443 off-tunnel"}},
                    {"port zero: no attempt", {1, 2, 3}, 0, 3, true, {}, {}}};
        for (const auto &row : rows) {
            struct Script {
                QMutex lock;
                QList<Millis> answers;
                QStringList asked;
                int resolutions = 0;
            };
            auto script = std::make_shared<Script>();
            script->answers = row.answers;
            LatencyProbe::Options o;
            o.attempt = [script](const QString &host, quint16 port, bool avoid) -> Millis {
                QMutexLocker locker(&script->lock);
                script->asked.append(host + ":" + QString::number(port) + (avoid ? " off-tunnel" : ""));
                return script->answers.isEmpty() ? std::nullopt : script->answers.takeFirst();
            };
            o.resolver = [script, resolves = row.resolves](const QString &) -> std::optional<QString> {
                QMutexLocker locker(&script->lock);
                ++script->resolutions;
                return resolves ? std::optional<QString>("192.0.2.10") : std::nullopt;
            };
            const Millis best = QCoro::waitFor(LatencyProbe(o).measureLatency("node.example.com", row.port, row.attempts));
            QVERIFY2(best == row.best && script->resolutions == 1 && script->asked == row.asked,
                     qPrintable(QStringLiteral("%1: best %2, %3 look-ups, asked %4").arg(row.name).arg(best ? qint64(*best) : -1)
                                    .arg(script->resolutions).arg(script->asked.join(", "))));
        }
    }

    // Against a listener that answers, refuses or stays silent: the probe's time and the address the resolver reached,
    // or none. Silence lasts each attempt's limit in turn. An answered attempt is timed off the (busy) main thread.
    void realAttempts_data()
    {
        QTest::addColumn<QString>("listener");
        for (const char *kind : {"answers", "refuses", "is silent"})
            QTest::newRow(kind) << kind;
    }

    void realAttempts()
    {
        QFETCH(QString, listener);
        LoopbackListener server("127.0.0.1", 0, listener == "is silent" ? LoopbackListener::Silent : LoopbackListener::Answering);
        QVERIFY(server.isOpen());
        if (listener == "refuses")
            server.close();
        const bool answers = listener == "answers", silent = listener == "is silent";
        if (answers) {
            auto attempt = track(connectOnce("127.0.0.1", server.port(), true));
            QThread::msleep(600); // the main thread is busy while the attempt runs
            QTRY_VERIFY_WITH_TIMEOUT(attempt->done, 20000);
            QVERIFY2(*attempt->value && **attempt->value < 300, qPrintable(QString::number(attempt->value->value_or(0))));
            const std::optional<QString> address = QCoro::waitFor(LatencyProbe().resolveHost("localhost"));
            QVERIFY2(address == "127.0.0.1" || address == "::1", qPrintable(address.value_or("absent")));
        }
        LatencyProbe::Options o;
        o.limit = 300ms;
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(QCoro::waitFor(LatencyProbe(o).measureLatency("127.0.0.1", server.port(), 3)).has_value(), answers);
        const qint64 probeMs = elapsed.restart();
        QVERIFY2(silent ? probeMs >= 3 * 290 && probeMs < 3 * 300 + 5000 : probeMs < 3000, qPrintable(QString::number(probeMs)));
        const auto resolver = resolverOf(clock, server.port(), {"127.0.0.1", "localhost"});
        for (const char *host : {"127.0.0.1", "localhost"}) {
            QCOMPARE(QCoro::waitFor(resolver->resolveOffTunnel(host)), answers ? std::optional<QString>("127.0.0.1") : std::nullopt);
            QVERIFY2(silent == (elapsed.restart() >= limit.count() - 50), host);
        }
        if (answers) { // every entry is looked up at once, each address cached; one that stops answering keeps its earlier one
            auto third = std::make_unique<LoopbackListener>("127.0.0.3", server.port(), LoopbackListener::Answering);
            LoopbackListener quiet("127.0.0.2", server.port(), LoopbackListener::Silent);
            if (!third->isOpen() || !quiet.isOpen())
                QSKIP("loopback addresses beyond 127.0.0.1 are not usable here");
            const auto all = resolverOf(clock, server.port(), {"127.0.0.1", "127.0.0.2", "127.0.0.3"});
            const int sleepsBefore = clock.pendingSleeps();
            auto prefetch = track(all->prefetch(2.5)); // its pause ends with its look-ups, before any virtual time passed
            QTRY_VERIFY_WITH_TIMEOUT(prefetch->done, 10000);
            QCOMPARE(clock.pendingSleeps(), sleepsBefore);
            QCOMPARE(all->cache(), (QHash<QString, QString>{{"127.0.0.1", "127.0.0.1"}, {"127.0.0.3", "127.0.0.3"}}));
            QCOMPARE(all->serverList().addresses, (QStringList{"127.0.0.1", "192.0.2.1", "127.0.0.3"}));
            third.reset();
            QCoro::waitFor(all->resolveAll());
            QCOMPARE(all->cache().value("127.0.0.3"), "127.0.0.3");
        }
        if (!silent)
            return;
        // A look-up that outlasts a prefetch's pause still runs to its own end.
        const int sleepsBefore = clock.pendingSleeps();
        auto prefetch = track(resolver->prefetch(0.5));
        clock.advance(500ms); // the pause is over
        QVERIFY(!prefetch->done);
        QTRY_VERIFY_WITH_TIMEOUT(prefetch->done, 10000);
        QVERIFY(clock.pendingSleeps() == sleepsBefore && resolver->cache().isEmpty());
        QVERIFY(elapsed.elapsed() >= limit.count() - 50);
    }

    // While a real TUN interface is up the bypass binds to the physical interface with a default route; the traffic monitor reports what the kernel counts.
    void realTunInterface()
    {
        const LinuxTunnelBypass bypass;
        const QHostAddress remote("198.51.100.7");
        Device tun, tap;
        QFile routes("/proc/net/route"); // nothing but the test's own interfaces and routes
        if (::geteuid() != 0 || !routes.open(QIODevice::ReadOnly) || routes.readAll().count('\n') > 1 || !LinuxTunnelBypass::tunnelInterfacesUp().isEmpty()
            || !tun.open(IFF_TUN, "utun%d") || !tap.open(IFF_TAP, "qtap%d"))
            QSKIP("needs root, a network namespace of its own and TUN and TAP devices");
        for (const QString &name : {tun.name, tap.name, QString("lo"), QString("no-such-if")})
            QVERIFY2(LinuxTunnelBypass::isTunnelInterface(name) == (name == tun.name || name == tap.name), qPrintable(name));
        const QStringList up = LinuxTunnelBypass::tunnelInterfacesUp();
        QCOMPARE(QSet<QString>(up.begin(), up.end()), (QSet<QString>{tun.name, tap.name}));
        tap.close();
        QTRY_COMPARE(LinuxTunnelBypass::tunnelInterfacesUp(), QStringList{tun.name});
        // A tunnel and no physical default route: no path that keeps the rule.
        QCOMPARE(bypass.decide(remote).kind, PathDecision::NoPhysicalPath);
        QCOMPARE(bypass.decide(QHostAddress::LocalHost), PathDecision{}); // this host is always reached directly

        QVERIFY(ip({"addr", "add", "192.0.2.1/24", "dev", tun.name}));
        ManualClock clock;
        ProcNetDevCounters kernel("/proc/net/dev", "utun");
        TrafficMonitor monitor(clock, kernel);
        QVERIFY(monitor.readCounters().contains(tun.name));
        monitor.start();
        monitor.beginSession();

        // Inbound: UDP packets from 198.51.100.9 to 203.0.113.9 written into the interface are received by the kernel.
        QByteArray packet(1400, '\0');
        const unsigned char header[20] = {0x45, 0, 1400 >> 8, 1400 & 0xff, 0, 0, 0, 0, 64, IPPROTO_UDP, 0, 0, 198, 51, 100, 9, 203, 0, 113, 9};
        std::memcpy(packet.data(), header, sizeof header);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(::write(tun.fd, packet.constData(), size_t(packet.size())), ssize_t(packet.size()));
        // Outbound: datagrams routed to the interface, taken off it by us.
        const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        ::inet_pton(AF_INET, "192.0.2.2", &to.sin_addr);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(::sendto(udp, packet.constData(), 100, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), ssize_t(100));
        ::close(udp);
        // Everything taken off the interface counts as sent, ours and any chatter of the kernel's that came first.
        qint64 taken = 0;
        for (int ours = 0; ours < 3;) {
            pollfd p{tun.fd, POLLIN, 0};
            QVERIFY(::poll(&p, 1, 5000) == 1);
            unsigned char buffer[2048];
            const ssize_t n = ::read(tun.fd, buffer, sizeof buffer);
            QVERIFY(n > 0);
            taken += n;
            ours += n == 128 && (buffer[0] >> 4) == 4 && buffer[9] == IPPROTO_UDP ? 1 : 0;
        }

        clock.advance(1s);
        QCOMPARE(monitor.downloadBytesPerSecond(), quint64(5 * 1400));
        QCOMPARE(monitor.uploadBytesPerSecond(), quint64(taken));
        QCOMPARE(monitor.sessionDownloadBytes(), quint64(5 * 1400));
        clock.advance(1s); // a quiet second
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u);
        QCOMPARE(monitor.sessionUploadBytes(), quint64(taken));
        QVERIFY(ip({"addr", "flush", "dev", tun.name}));

        if (!ip({"link", "add", "qeth0", "type", "veth", "peer", "name", "qeth1"}))
            QSKIP("no veth devices here");
        QVERIFY(!LinuxTunnelBypass::isTunnelInterface("qeth0"));
        for (const QStringList &command : {QStringList{"link", "set", "qeth1", "up"}, {"link", "set", "qeth0", "up"},
                                           {"addr", "add", "192.0.2.2/24", "dev", "qeth0"}, {"addr", "add", "203.0.113.1/30", "dev", tun.name},
                                           // The tunnel's default route is preferred by metric; it is still never chosen.
                                           {"route", "add", "default", "dev", tun.name, "metric", "5"},
                                           {"route", "add", "default", "via", "192.0.2.1", "dev", "qeth0", "metric", "100"}})
            QVERIFY2(ip(command), qPrintable(command.join(' ')));
        QCOMPARE(bypass.decide(remote), (PathDecision{PathDecision::BindToDevice, "qeth0"}));
        QCOMPARE(LinuxTunnelBypass::physicalDefaultInterface(QAbstractSocket::IPv4Protocol), "qeth0");

        // Without the tunnel no binding is needed.
        tun.close();
        QTRY_VERIFY(LinuxTunnelBypass::tunnelInterfacesUp().isEmpty());
        QCOMPARE(bypass.decide(remote), PathDecision{});
        ip({"link", "del", "qeth0"});
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--quit-scenario")
        return quitScenario(argc, argv);
    QCoreApplication app(argc, argv);
    TestLinuxPlatform test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_linux_platform.moc"
