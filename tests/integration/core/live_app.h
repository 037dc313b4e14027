#pragma once

// AppState over the real Linux tunnel platform and bundle, loopback servers; only sleeps are virtual.

#include "../tunnel/loopback_listeners.h"

#include "account/defaults_store.h"
#include "memory_secret_store.h"
#include "account/session.h"
#include "account/telegram_login_service.h"
#include "core/app_state.h"
#include "core/connectivity_probe.h"
#include "core/state_trace.h"
#include "demo/account_server.h"
#include "manual_clock.h"
#include "runtime/deployment.h"
#include "runtime/descriptor_limit.h"
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
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QRegularExpression>
#include <QTcpServer> // for the tests that hold a port
#include <QTest>

#include <csignal>
#include <ctime>

namespace live {

using namespace qor;
using namespace std::chrono_literals;

inline QString scratch(const QString &name) { return qEnvironmentVariable("QOR_TEST_SCRATCH") + QLatin1Char('/') + name; }
inline QString kvbRecordPath() { return scratch(QStringLiteral("kvb-record.json")); }
inline QJsonObject readObject(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

// The application's info lines (its state trace) are held back and printed only for a
// case that failed, so a failing run's output shows that case rather than the passing ones.
struct HeldLog {
    struct Line {
        QtMsgType type;
        QByteArray category;
        QString text;
    };
    static inline QtMessageHandler previous = nullptr;
    static inline QMutex lock; // providers' look-ups log from other threads
    static inline QList<Line> lines;

    static void install() { previous = qInstallMessageHandler(&HeldLog::handle); }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type != QtInfoMsg && type != QtDebugMsg)
            return previous ? previous(type, context, text) : void();
        QMutexLocker locker(&lock);
        lines.append({type, QByteArray(context.category), text});
    }
    static void release(bool print)
    {
        QMutexLocker locker(&lock);
        for (const Line &line : std::as_const(lines)) {
            if (print && previous)
                previous(line.type, QMessageLogContext(nullptr, 0, nullptr, line.category.constData()), line.text);
        }
        lines.clear();
    }
};

// The build's bundle, and what the texts depend on. Call once, from initTestCase.
inline void prepareEnvironment()
{
    HeldLog::install();
    qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + QStringLiteral("/bundle")).toUtf8());
    qputenv("QOR_KVB_RECORD", kvbRecordPath().toUtf8());
    qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.05");
    qputenv("TZ", "UTC");
    ::tzset();
}

inline QString compact(const QJsonValue &value)
{
    const QJsonDocument document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
}

// A main-channel configuration as the server sends it; `demo` steers the simulated provider.
inline QJsonObject mainConfig(const QString &remarks, const QString &address, int port, const QJsonObject &demo = {})
{
    const QJsonObject server{{"address", address}, {"port", port}}, settings{{"vnext", QJsonArray{server}}};
    QJsonObject config{{"remarks", remarks}, {"outbounds", QJsonArray{QJsonObject{{"protocol", "vless"}, {"settings", settings}}}}};
    if (!demo.isEmpty())
        config.insert("qor_demo", demo);
    return config;
}

// An "ok" account answer: the balancer (behaving as `demo` says), one direct node, `extra`.
inline QJsonObject okAnswer(const QJsonObject &extra = {}, const QJsonObject &demo = {})
{
    QJsonObject answer{{"status", "ok"}, {"username", "user"}, {"subscription_url", "https://sub.example.com/u"},
                       {"xray_configs", QJsonArray{mainConfig("Qor AI Network", "balancer.example.com", 443, demo),
                                                   mainConfig("node", "node.example.com", 8443, demo)}},
                       {"tavrin_key", "tavrin-key"}, {"subscription_status", "active"}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        answer.insert(it.key(), it.value());
    return answer;
}

inline QString awgConfigs(const QStringList &confs)
{
    QJsonArray entries;
    for (const QString &conf : confs)
        entries.append(QJsonObject{{"server", "s"}, {"host", "h"}, {"conf", conf}});
    return compact(entries);
}

struct LiveApp {
    // The entry look-ups before a cascade: two found (the rest refused), or all silent.
    enum class Entries { TwoFound, Silent };

    // Clears what an earlier case left, before the trace and the managers look.
    static bool clearPlatformState()
    {
        for (const QString &dir : {tunnel_paths::profilesDirectory(), tunnel_paths::stateDirectory(),
                                   BundleExtensionActivator::approvalMarkerDirectory()})
            QDir(dir).removeRecursively();
        QFile::remove(kvbRecordPath());
        for (const char *name : {"state-trace.txt", "tunnel-last-error.txt", "tunnel-checkpoint.txt"})
            QFile::remove(deployment::traceDirectory() + QLatin1Char('/') + QLatin1String(name));
        return QDir().mkpath(deployment::traceDirectory());
    }

    explicit LiveApp(Entries entries = Entries::TwoFound)
    {
        server.listen();
        login = std::make_unique<TelegramLoginService>(clock, AccountTransport({server.baseUrl().toString()}),
                                                       QStringLiteral("https://t.example/QorBot"));
        endpoints.listen();
        setProbeStatus(204);
        setProbeTimeout(8s);
        // Each entry host is its own loopback address, all on one port.
        entryList = TavrinEntries::all();
        const bool found = entries == Entries::TwoFound;
        for (int attempt = 0; attempt < 20 && !entryListeners[found ? 1 : 0]; ++attempt) {
            const auto kind = found ? LoopbackListener::Answering : LoopbackListener::Silent;
            auto first = std::make_unique<LoopbackListener>(found ? "127.0.0.2" : "127.0.0.1", 0, kind);
            auto second = found ? std::make_unique<LoopbackListener>("127.0.0.3", first->port(), kind) : nullptr;
            if (first->isOpen() && (!found || second->isOpen())) {
                entryListeners[0] = std::move(first);
                entryListeners[1] = std::move(second);
            }
        }
        for (int i = 0; i < entryList.size(); ++i)
            entryList[i].host = found ? QStringLiteral("127.0.0.%1").arg(i + 2) : QStringLiteral("127.0.0.1");
        TavrinResolver::Options options;
        options.port = entryListeners[0]->port();
        tavrinResolver = std::make_unique<TavrinResolver>(clock, entryList, options);
    }

    ~LiveApp()
    {
        shutDown();
        state.reset();
        ManualClock::drainEvents();
        HeldLog::release(QTest::currentTestFailed());
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

    // Four connectivity endpoints on one loopback server answering `status`, or never (0).
    void setProbeStatus(int status)
    {
        endpoints.setDefault(QStringLiteral("probe/"), status ? ScriptedAnswer::raw({}, status) : ScriptedAnswer::never());
    }
    void setProbeTimeout(std::chrono::milliseconds timeout)
    {
        QStringList urls;
        for (const char *path : {"generate_204", "generate_204", "cdn-cgi/trace", "hotspot-detect.html"})
            urls.append(endpoints.baseUrl().toString() + QStringLiteral("probe/") + QLatin1String(path));
        probe = std::make_unique<ConnectivityProbe>(urls, timeout);
    }
    int probeRequests() const { return endpoints.requestCount(QStringLiteral("probe/")); }
    // Counts the probes in flight, for drive().
    static QCoro::Task<bool> trackedProbe(LiveApp *self)
    {
        ++self->probesInFlight;
        const bool answered = co_await self->probe->probe();
        --self->probesInFlight;
        co_return answered;
    }

    static Session::Saved saved(const QJsonObject &answer)
    {
        Session::Saved saved;
        saved.username = QStringLiteral("user");
        saved.subscriptionURL = QStringLiteral("https://sub.example.com/u");
        saved.sessionToken = QStringLiteral("tok");
        saved.tavrinKey = answer.value("tavrin_key").toString();
        QJsonArray catalog;
        for (const QJsonValue &config : answer.value("xray_configs").toArray())
            catalog.append(QJsonObject{{"name", config.toObject().value("remarks")}, {"config", compact(config)}});
        saved.xrayConfigsJSON = compact(catalog);
        return saved;
    }

    // Starts with a session stored by an earlier run and refreshed with `answer`.
    AppState &signIn(const QJsonObject &answer = okAnswer())
    {
        session.save(saved(answer));
        server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(answer));
        return start();
    }

    AppState &start(std::optional<AppServices> s = std::nullopt)
    {
        state = std::make_unique<AppState>(s ? *s : services());
        if (!drive([this] { return state->isStartupFinished(); }))
            qWarning("the start-up task did not finish");
        return *state;
    }

    // Moves virtual time until `done`; not while a provider or probe is awaited, in small steps in a switch.
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
            if (probesInFlight > 0 || (state && state->connectionState() == ConnectionState::Connecting && !state->switchingChannels)) {
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

    bool connected() const { return state->connectionState() == ConnectionState::Connected && !state->switchingChannels; }
    bool settled() const { return state->connectionState() == ConnectionState::Disconnected && !state->switchingChannels; }

    // A provider process serves the channel's tunnel: alive, and not published as down.
    bool tunnelRunning(TunnelSource source) const
    {
        const auto handle = source == TunnelSource::Main ? tunnel.profile() : reserveTunnel.profile();
        const auto published = handle ? profiles.providerState(handle->id) : std::nullopt;
        const int status = published ? int(published->status) : 0;
        return status >= 2 && status <= 5 && process_identity::isSame(published->pid, published->startTime);
    }

    // Connection, error and channels whose provider runs, e.g. "connected - main".
    QString summary() const
    {
        QStringList running;
        for (const TunnelSource source : {TunnelSource::Main, TunnelSource::Reserve}) {
            if (tunnelRunning(source))
                running.append(rawText(source));
        }
        return caseName(state->connectionState()) + QLatin1Char(' ') + state->connectionError().value_or(QStringLiteral("-"))
            + QLatin1Char(' ') + running.join(QLatin1Char(','));
    }

    QJsonObject storedProfile(TunnelSource source) const
    {
        const auto handle = source == TunnelSource::Main ? tunnel.profile() : reserveTunnel.profile();
        return handle ? readObject(profiles.profilePath(handle->id)) : QJsonObject();
    }
    QJsonObject providerConfiguration(TunnelSource source) const
    {
        return storedProfile(source).value("protocol").toObject().value("providerConfiguration").toObject();
    }
    int storedProfileCount() const
    {
        return int(QDir(tunnel_paths::profilesDirectory()).entryList({QStringLiteral("*.json")}, QDir::Files).size());
    }

    // The stand-in Tavrin client's command line (empty when it never ran).
    static QJsonObject kvbRecord() { return readObject(kvbRecordPath()); }

    // Trace messages so far, without their time stamps.
    QStringList traceLines()
    {
        trace.waitForWrites();
        QFile file(deployment::traceDirectory() + QStringLiteral("/state-trace.txt"));
        QStringList lines = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
        for (QString &line : lines)
            line = line.section(QLatin1Char(' '), 1);
        return lines;
    }
    int traceCount(const QString &prefix)
    {
        return int(traceLines().filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix))).size());
    }
    // How many trace lines begin with each prefix, e.g. "1 0".
    QString traceCounts(const QStringList &prefixes)
    {
        QStringList counts;
        for (const QString &prefix : prefixes)
            counts.append(QString::number(traceCount(prefix)));
        return counts.join(QLatin1Char(' '));
    }

    void shutDown()
    {
        if (state)
            state->stopForQuit();
        else
            tunnel.stop(), reserveTunnel.stop();
        if (!waitReal([this] { return !tunnelRunning(TunnelSource::Main) && !tunnelRunning(TunnelSource::Reserve); }, 15000))
            qWarning("a provider is still running after the test");
        tavrinHelper.stop();
    }

    bool cleared = clearPlatformState();
    ManualClock clock;
    DefaultsStore sharedDefaults;
    DefaultsStore standardDefaults;
    MemorySecretStore secrets;
    Session session{sharedDefaults, secrets, clock};
    StateTrace trace{deployment::traceDirectory(), clock};
    AccountServer server;
    AccountServer endpoints;
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
    QList<TavrinEntries::Entry> entryList;
    std::unique_ptr<TavrinResolver> tavrinResolver;
    std::unique_ptr<ConnectivityProbe> probe;
    int probesInFlight = 0;
    std::unique_ptr<AppState> state;
};

} // namespace live
