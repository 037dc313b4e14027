#pragma once

// An AppState over the real Linux tunnel platform: the profile service that launches
// the simulated providers of the build's bundle, the bundle's extension activator,
// the stand-in Tavrin client, the account server and the connectivity endpoints on
// loopback. Only time is virtual: the connection logic's sleeps move with the manual
// clock, while the providers and the servers run in real time (see drive()).

#include "../tunnel/loopback_listeners.h"

#include "account/defaults_store.h"
#include "account/secret_store_memory.h"
#include "account/session.h"
#include "account/telegram_login_service.h"
#include "core/app_state.h"
#include "core/connectivity_probe.h"
#include "runtime/deployment.h"
#include "runtime/descriptor_limit.h"
#include "manual_clock.h"
#include "core/state_trace.h"
#include "demo/account_server.h"
#include "tunnel/latency_probe.h"
#include "tunnel/platform/bundle_extension_activator.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/system_extension_manager.h"
#include "tunnel/tavrin_entries.h"
#include "tunnel/tavrin_helper.h"
#include "tunnel/tavrin_resolver.h"
#include "tunnel/traffic_monitor.h"
#include "tunnel/tunnel_manager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <ctime>

namespace live {

using namespace qor;
using namespace std::chrono_literals;

inline QString scratch(const QString &name)
{
    return qEnvironmentVariable("QOR_TEST_SCRATCH") + QLatin1Char('/') + name;
}

// Where the stand-in Tavrin client records its command line.
inline QString kvbRecordPath()
{
    return scratch(QStringLiteral("kvb-record.json"));
}

// Points the process at the build's bundle and fixes what the texts depend on. Call
// once, from initTestCase.
inline void prepareEnvironment()
{
    qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + QStringLiteral("/bundle")).toUtf8());
    qputenv("QOR_KVB_RECORD", kvbRecordPath().toUtf8());
    qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.05");
    qputenv("TZ", "UTC");
    ::tzset();
}

// The connectivity endpoints: answers every request with one status, or never (0).
class ProbeServer : public QObject {
public:
    ProbeServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!socket->readAll().contains("\r\n\r\n"))
                        return;
                    ++m_requests;
                    if (m_status == 0)
                        return; // keeps the connection open and says nothing
                    socket->write("HTTP/1.1 " + QByteArray::number(m_status)
                                  + " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    socket->disconnectFromHost();
                });
            }
        });
        m_server.listen(QHostAddress::LocalHost);
    }
    void setStatus(int status) { m_status = status; }
    int requests() const { return m_requests; }
    // The four endpoints of the check, with their paths.
    QStringList urls() const
    {
        QStringList result;
        for (const char *path : {"/generate_204", "/generate_204", "/cdn-cgi/trace", "/hotspot-detect.html"})
            result.append(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(QLatin1String(path)));
        return result;
    }

private:
    QTcpServer m_server;
    int m_status = 204;
    int m_requests = 0;
};

// Clears what an earlier test case left in the private folders of this test.
inline bool clearPlatformState()
{
    QDir(tunnel_paths::profilesDirectory()).removeRecursively();
    QDir(tunnel_paths::stateDirectory()).removeRecursively();
    QDir(BundleExtensionActivator::approvalMarkerDirectory()).removeRecursively();
    QFile::remove(kvbRecordPath());
    for (const char *name : {"state-trace.txt", "tunnel-last-error.txt", "tunnel-checkpoint.txt"})
        QFile::remove(deployment::traceDirectory() + QLatin1Char('/') + QLatin1String(name));
    QDir().mkpath(deployment::traceDirectory());
    return true;
}

// A main-channel configuration as the server sends it; `demo` tells the simulated
// provider how to behave when it runs this configuration.
inline QJsonObject mainConfig(const QString &remarks, const QString &address, int port, const QJsonObject &demo = {})
{
    QJsonObject config{{QStringLiteral("remarks"), remarks},
                       {QStringLiteral("outbounds"),
                        QJsonArray{QJsonObject{{QStringLiteral("protocol"), QStringLiteral("vless")},
                                               {QStringLiteral("settings"),
                                                QJsonObject{{QStringLiteral("vnext"),
                                                             QJsonArray{QJsonObject{{QStringLiteral("address"), address},
                                                                                    {QStringLiteral("port"), port}}}}}}}}}};
    if (!demo.isEmpty())
        config.insert(QStringLiteral("qor_demo"), demo);
    return config;
}

// The configuration text the client keeps for a configuration object (compact JSON).
inline QString configText(const QJsonObject &config)
{
    return QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact));
}

// An "ok" answer of the account server with the balancer (behaving as `demo` says)
// and one direct node, and the given extra members.
inline QJsonObject okAnswer(const QJsonObject &extra = {}, const QJsonObject &demo = {})
{
    QJsonObject answer{{QStringLiteral("status"), QStringLiteral("ok")},
                       {QStringLiteral("username"), QStringLiteral("user")},
                       {QStringLiteral("subscription_url"), QStringLiteral("https://sub.example.com/u")},
                       {QStringLiteral("xray_configs"),
                        QJsonArray{mainConfig(QStringLiteral("Qor AI Network"), QStringLiteral("balancer.example.com"), 443, demo),
                                   mainConfig(QStringLiteral("node"), QStringLiteral("node.example.com"), 8443, demo)}},
                       {QStringLiteral("tavrin_key"), QStringLiteral("tavrin-key")},
                       {QStringLiteral("subscription_status"), QStringLiteral("active")}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        answer.insert(it.key(), it.value());
    return answer;
}

// The server lists as a previous run stored them: the name and text of each configuration.
inline QString storedCatalog(const QJsonArray &xrayConfigs)
{
    QJsonArray entries;
    for (const QJsonValue &config : xrayConfigs)
        entries.append(QJsonObject{{QStringLiteral("name"), config.toObject().value(QStringLiteral("remarks"))},
                                   {QStringLiteral("config"), configText(config.toObject())}});
    return QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

// The "awg_conf" member for these wg-quick texts.
inline QString awgConfigs(const QStringList &confs)
{
    QJsonArray entries;
    for (const QString &conf : confs)
        entries.append(QJsonObject{{QStringLiteral("server"), QStringLiteral("s")}, {QStringLiteral("host"), QStringLiteral("h")},
                                   {QStringLiteral("conf"), conf}});
    return QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

inline bool isUp(std::optional<int> status)
{
    return status == 2 || status == 3 || status == 4 || status == 5;
}

struct LiveApp {
    // How the Tavrin entries answer the look-ups made before the cascade starts:
    // the first two entries are found on loopback and the other three are refused,
    // or every look-up waits on a silent listener until its limit.
    enum class Entries { TwoFound, Silent };

    explicit LiveApp(Entries entries = Entries::TwoFound)
        : cleared(clearPlatformState())
    {
        server.listen();
        AccountTransport::Settings settings;
        settings.baseAddress = server.baseUrl().toString();
        login = std::make_unique<TelegramLoginService>(clock, AccountTransport(settings), QStringLiteral("https://t.example/QorBot"));

        // Each entry host is its own loopback address, all on one port.
        QList<TavrinEntries::Entry> list = TavrinEntries::all();
        if (entries == Entries::TwoFound) {
            for (int attempt = 0; attempt < 20 && !entryListeners[1]; ++attempt) {
                auto first = std::make_unique<LoopbackListener>("127.0.0.2", 0, LoopbackListener::Answering);
                auto second = std::make_unique<LoopbackListener>("127.0.0.3", first->port(), LoopbackListener::Answering);
                if (first->isOpen() && second->isOpen()) {
                    entryPort = first->port();
                    entryListeners[0] = std::move(first);
                    entryListeners[1] = std::move(second);
                }
            }
            for (int i = 0; i < list.size(); ++i)
                list[i].host = QStringLiteral("127.0.0.%1").arg(i + 2);
        } else {
            entryListeners[0] = std::make_unique<LoopbackListener>("127.0.0.1", 0, LoopbackListener::Silent);
            entryPort = entryListeners[0]->port();
            for (auto &entry : list)
                entry.host = QStringLiteral("127.0.0.1");
        }
        entryList = list;
        TavrinResolver::Options options;
        options.port = entryPort;
        tavrinResolver = std::make_unique<TavrinResolver>(clock, list, options);
        probe = std::make_unique<ConnectivityProbe>(probeServer.urls(), probeTimeout);
    }

    ~LiveApp()
    {
        shutDown();
        state.reset();
        ManualClock::drainEvents();
    }

    AppServices services()
    {
        AppServices s{clock, sharedDefaults, standardDefaults, session, trace, *login, tunnel, reserveTunnel, traffic,
                      extensions, *tavrinResolver, tavrinHelper, {}, {}, {}, {}};
        s.openAddress = [](const QUrl &) {};
        s.probeConnectivity = [this]() { return trackedProbe(this); };
        s.measureLatency = &qor::measureLatency;
        s.latencyConcurrency = [] { return descriptors::availableBudget(); };
        return s;
    }

    // Connectivity requests that the endpoints leave unanswered end after this long.
    void setProbeTimeout(std::chrono::milliseconds timeout)
    {
        probeTimeout = timeout;
        probe = std::make_unique<ConnectivityProbe>(probeServer.urls(), probeTimeout);
    }

    // A session stored by an earlier run and refreshed with `answer` at start.
    AppState &signIn(const QJsonObject &answer = okAnswer())
    {
        Session::Saved saved;
        saved.username = QStringLiteral("user");
        saved.subscriptionURL = QStringLiteral("https://sub.example.com/u");
        saved.sessionToken = QStringLiteral("tok");
        saved.tavrinKey = answer.value(QStringLiteral("tavrin_key")).toString();
        saved.xrayConfigsJSON = storedCatalog(answer.value(QStringLiteral("xray_configs")).toArray());
        session.save(saved);
        server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(answer));
        return start();
    }

    AppState &start()
    {
        return start(services());
    }

    AppState &start(AppServices s)
    {
        state = std::make_unique<AppState>(s);
        const bool started = drive([this] { return state->isStartupFinished(); });
        if (!started)
            qWarning("the start-up task did not finish");
        return *state;
    }

    AppState &app() { return *state; }

    static QCoro::Task<bool> trackedProbe(LiveApp *self)
    {
        ++self->probesInFlight;
        const bool answered = co_await self->probe->probe();
        --self->probesInFlight;
        co_return answered;
    }

    // A started tunnel waits for its provider's first report, a connectivity probe
    // for the endpoints: virtual time stands still until the real side has spoken.
    bool awaitingRealWork() const
    {
        return probesInFlight > 0
            || (state && state->connectionState() == ConnectionState::Connecting && !state->switchingChannels);
    }

    // Moves virtual time until `done` holds, and lets the real processes and servers
    // run meanwhile: while a connect switches channels, time moves in small steps
    // paced by real time (the old provider needs real time to stop); while a started
    // tunnel awaits its provider or a probe awaits the endpoints, only real time
    // passes; otherwise time moves freely.
    bool drive(const std::function<bool()> &done, std::chrono::milliseconds virtualLimit = 180s, int realLimitMs = 60000)
    {
        QElapsedTimer real;
        real.start();
        std::chrono::milliseconds spent{0};
        for (;;) {
            ManualClock::drainEvents();
            if (done())
                return true;
            if (real.elapsed() > realLimitMs || spent > virtualLimit)
                return false;
            if (awaitingRealWork()) {
                QTest::qWait(5);
                continue;
            }
            const bool switching = state && state->switchingChannels;
            const auto step = switching ? 20ms : 100ms;
            clock.advance(step);
            spent += step;
            QTest::qWait(switching ? 5 : 1);
        }
    }

    // Lets `duration` of virtual time pass under the same rules.
    void pass(std::chrono::milliseconds duration)
    {
        const qint64 until = clock.now().toMSecsSinceEpoch() + duration.count();
        drive([&] { return clock.now().toMSecsSinceEpoch() >= until; }, duration + 1s);
    }

    // Real time only, for processes that should (or should not) react.
    bool waitReal(const std::function<bool()> &done, int milliseconds = 10000)
    {
        ManualClock::drainEvents();
        return QTest::qWaitFor(done, milliseconds);
    }

    std::optional<VpnStatus> providerStatus(TunnelSource source) const
    {
        const auto handle = source == TunnelSource::Main ? tunnel.profile() : reserveTunnel.profile();
        if (!handle)
            return std::nullopt;
        const auto published = profiles.providerState(handle->id);
        return published ? std::optional<VpnStatus>(published->status) : std::nullopt;
    }

    // True while a provider process serves the channel's tunnel: it is alive and has
    // not yet published that its tunnel is down.
    bool tunnelRunning(TunnelSource source) const
    {
        const auto handle = source == TunnelSource::Main ? tunnel.profile() : reserveTunnel.profile();
        if (!handle)
            return false;
        const auto published = profiles.providerState(handle->id);
        return published && isUp(int(published->status)) && process_identity::isSame(published->pid, published->startTime);
    }

    // The profile of a channel as stored on disk.
    QJsonObject storedProfile(TunnelSource source) const
    {
        const auto handle = source == TunnelSource::Main ? tunnel.profile() : reserveTunnel.profile();
        if (!handle)
            return {};
        QFile file(profiles.profilePath(handle->id));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QJsonObject providerConfiguration(TunnelSource source) const
    {
        return storedProfile(source).value(QStringLiteral("protocol")).toObject().value(QStringLiteral("providerConfiguration")).toObject();
    }

    int storedProfileCount() const
    {
        return int(QDir(tunnel_paths::profilesDirectory()).entryList({QStringLiteral("*.json")}, QDir::Files).size());
    }

    // What the stand-in Tavrin client recorded (empty when it never ran).
    static QJsonObject kvbRecord()
    {
        QFile file(kvbRecordPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    static bool processAlive(qint64 pid)
    {
        return pid > 0 && ::kill(pid_t(pid), 0) == 0;
    }

    // Trace messages so far, without their time stamps.
    QStringList traceLines()
    {
        trace.waitForWrites();
        QFile file(deployment::traceDirectory() + QStringLiteral("/state-trace.txt"));
        QStringList lines;
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            lines.append(line.section(QLatin1Char(' '), 1));
        return lines;
    }

    int traceCount(const QString &prefix)
    {
        int count = 0;
        for (const QString &line : traceLines())
            count += line.startsWith(prefix) ? 1 : 0;
        return count;
    }

    // Stops both channels and waits until no provider runs any more.
    void shutDown()
    {
        if (state)
            state->stopForQuit();
        else {
            tunnel.stop();
            reserveTunnel.stop();
        }
        const bool stopped = waitReal([this] {
            return !tunnelRunning(TunnelSource::Main) && !tunnelRunning(TunnelSource::Reserve);
        }, 15000);
        if (!stopped)
            qWarning("a provider is still running after the test");
        tavrinHelper.stop();
    }

    bool cleared;
    ManualClock clock;
    DefaultsStore sharedDefaults;
    DefaultsStore standardDefaults;
    MemorySecretStore secrets;
    Session session{sharedDefaults, secrets, clock};
    StateTrace trace{deployment::traceDirectory(), clock};
    AccountServer server;
    std::unique_ptr<TelegramLoginService> login;
    LinuxProfileService profiles;
    BundleExtensionActivator activator;
    TunnelManager tunnel{profiles, clock};
    ReserveTunnelManager reserveTunnel{profiles, clock};
    SystemExtensionManager extensions{activator};
    ProcNetDevCounters kernelCounters{QStringLiteral("/proc/net/dev"), QStringLiteral("utun")};
    TrafficMonitor traffic{clock, kernelCounters};
    TavrinHelper tavrinHelper;
    std::unique_ptr<LoopbackListener> entryListeners[2];
    quint16 entryPort = 0;
    QList<TavrinEntries::Entry> entryList;
    std::unique_ptr<TavrinResolver> tavrinResolver;
    ProbeServer probeServer;
    std::chrono::milliseconds probeTimeout{8000};
    std::unique_ptr<ConnectivityProbe> probe;
    int probesInFlight = 0;
    std::unique_ptr<AppState> state;
};

} // namespace live
