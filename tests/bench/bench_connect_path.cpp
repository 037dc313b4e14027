// Main-thread time from tapGlobe to the tunnel start request, over the in-memory
// tunnel doubles: the connect's synchronous parts and its continuations (the stops,
// the corporate refresh's request and answer, the catalog, the cascade's client and
// document, the profile writes), without the time the main thread spends waiting.
//
//   build-release/tests/bench_connect_path 2>/dev/null
//
// The reported time is the main thread's CPU time (CLOCK_THREAD_CPUTIME_ID) from just
// before tapGlobe until the profile service receives the start request. The account
// server answers from a thread of its own, so its work is not counted; wall_us is the
// elapsed real time over the same span, waits included. Run with stderr sent to
// /dev/null: trace lines also go to the log.

#include "app_fixture.h"
#include "fixed_tunnel_bypass.h"
#include "tunnel/tavrin_entries.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QThread>

#include <benchmark/benchmark.h>

#include <ctime>

using namespace qor;
using namespace qor::test;

namespace {

std::chrono::nanoseconds threadCpuTime()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// The in-memory profile service, noting the main thread's CPU time and the wall
// time at the moment a start request arrives.
class TimedProfileService final : public ProfileService {
public:
    TimedProfileService()
    {
        m_inner.setStatusOnStart(VpnStatus::Connecting);
        QObject::connect(&m_inner, &ProfileService::statusChanged, this, &ProfileService::statusChanged);
    }
    QCoro::Task<QList<ProfileHandle>> loadAll() override { return m_inner.loadAll(); }
    QCoro::Task<> save(ProfileHandle profile) override { return m_inner.save(std::move(profile)); }
    QCoro::Task<> reload(ProfileHandle profile) override { return m_inner.reload(std::move(profile)); }
    QCoro::Task<> startTunnel(const VpnProfile &profile) override
    {
        cpuAtStart = threadCpuTime();
        wallAtStart = wall.nsecsElapsed();
        co_await m_inner.startTunnel(profile);
        if (onStart)
            onStart();
    }
    void stopTunnel(const VpnProfile &profile) override { m_inner.stopTunnel(profile); }
    VpnStatus status(const VpnProfile &profile) const override { return m_inner.status(profile); }

    std::chrono::nanoseconds cpuAtStart{0};
    qint64 wallAtStart = 0;
    QElapsedTimer wall;
    std::function<void()> onStart;

private:
    FakeProfileService m_inner;
};

// Everything an AppState calls, with the account server on its own thread.
struct World {
    explicit World(bool cascade)
    {
        serverContext.moveToThread(&serverThread);
        serverThread.start();
        const QJsonObject qor{{"company", "Acme"}, {"policy", QJsonObject{{"block_domains", QJsonArray{"example.org"}}, {"block_torrent", true}}}};
        QMetaObject::invokeMethod(&serverContext, [&] {
                server = new AccountServer;
                server->listen();
                server->setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(okAnswer({{"qor", qor}})));
            }, Qt::BlockingQueuedConnection);
        AccountTransport::Settings settings;
        settings.baseAddress = server->baseUrl().toString();
        login = std::make_unique<TelegramLoginService>(clock, AccountTransport(settings), QStringLiteral("https://t.example/QorBot"));
        counters.set(QStringLiteral("utun7"), 0, 0);
        traffic = std::make_unique<TrafficMonitor>(clock, counters);
        activator.setAutomaticActivationOutcome(FakeExtensionActivator::Outcome::Finish);
        extensions = std::make_unique<SystemExtensionManager>(activator);

        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        TavrinResolver::Options options;
        options.port = closed.serverPort();
        closed.close(); // look-ups are refused at once: the built-in addresses stay
        options.bypass = std::make_shared<FixedTunnelBypass>(PathDecision{});
        QList<TavrinEntries::Entry> entries = TavrinEntries::all();
        for (auto &entry : entries)
            entry.host = QStringLiteral("127.0.0.1");
        tavrinResolver = std::make_unique<TavrinResolver>(clock, entries, options);
        tavrinHelper = std::make_unique<TavrinHelper>(launcher);
        trace = std::make_unique<StateTrace>(traceDir.path(), clock);

        Session::Saved saved;
        saved.username = QStringLiteral("user");
        saved.subscriptionURL = QStringLiteral("https://sub.example.com/u");
        saved.xrayConfigsJSON = catalogJson({QStringLiteral("10.0.0.1:443"), QStringLiteral("10.0.0.2:443")});
        saved.tavrinKey = QStringLiteral("tavrin-key");
        saved.sessionToken = QStringLiteral("tok");
        session.save(saved);
        AppServices services{clock, sharedDefaults, standardDefaults, session, *trace, *login, tunnel, reserveTunnel,
                             *traffic, *extensions, *tavrinResolver, *tavrinHelper, {}, {}, {}, {}};
        services.openAddress = [](const QUrl &) {};
        services.probeConnectivity = []() -> QCoro::Task<bool> { co_return true; };
        app = std::make_unique<AppState>(services);
        waitUntil([this] { return app->isStartupFinished(); });
        app->selectMode(cascade ? ConnectMode::Tavrin : ConnectMode::Auto);
    }

    ~World()
    {
        app.reset();
        ManualClock::drainEvents();
        QMetaObject::invokeMethod(&serverContext, [this] { delete server; }, Qt::BlockingQueuedConnection);
        serverThread.quit();
        serverThread.wait();
    }

    void waitUntil(const std::function<bool()> &done)
    {
        QElapsedTimer limit;
        limit.start();
        while (!done() && limit.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        if (!done())
            qFatal("the connect did not get there");
    }

    // One press of the globe, until the start request: its main-thread CPU time is
    // the iteration time, its wall time is added to wallSum (nanoseconds).
    void tapToStart(benchmark::State *state = nullptr)
    {
        QEventLoop loop;
        profiles.onStart = [&loop] { loop.quit(); };
        profiles.wall.start();
        const auto cpuBefore = threadCpuTime();
        app->tapGlobe();
        if (profiles.wallAtStart == 0 || profiles.cpuAtStart < cpuBefore)
            loop.exec();
        profiles.onStart = nullptr;
        if (state) {
            state->SetIterationTime(double((profiles.cpuAtStart - cpuBefore).count()) / 1e9);
            wallSum += double(profiles.wallAtStart);
        }
        // Untimed: let the connect finish, then stop for the next press.
        waitUntil([this] { return !app->switchingChannels; });
        app->stopEverything();
        waitUntil([this] { return tunnel.connectionStatus() == std::optional<int>(1) || !tunnel.connectionStatus(); });
        ManualClock::drainEvents();
        profiles.wallAtStart = 0;
    }

    double wallSum = 0;
    QThread serverThread;
    QObject serverContext;
    AccountServer *server = nullptr;
    QTemporaryDir traceDir;
    ManualClock clock;
    DefaultsStore sharedDefaults;
    DefaultsStore standardDefaults;
    MemorySecretStore secrets;
    Session session{sharedDefaults, secrets, clock};
    std::unique_ptr<StateTrace> trace;
    std::unique_ptr<TelegramLoginService> login;
    TimedProfileService profiles;
    TunnelManager tunnel{profiles, clock};
    ReserveTunnelManager reserveTunnel{profiles, clock};
    ScriptedCounters counters;
    std::unique_ptr<TrafficMonitor> traffic;
    AppFixture::RecordingLauncher launcher;
    FakeExtensionActivator activator;
    std::unique_ptr<SystemExtensionManager> extensions;
    std::unique_ptr<TavrinResolver> tavrinResolver;
    std::unique_ptr<TavrinHelper> tavrinHelper;
    std::unique_ptr<AppState> app;
};

void reportWall(benchmark::State &state, double wallSum)
{
    state.counters["wall_us"] = benchmark::Counter(wallSum / 1e3, benchmark::Counter::kAvgIterations);
}

// A later press: the profile exists and the extensions are active.
void BM_TapToStartRequest(benchmark::State &state)
{
    World world(state.range(0) == 1);
    world.tapToStart(); // warm-up: creates the profile, activates the extensions
    for (auto _ : state)
        world.tapToStart(&state);
    reportWall(state, world.wallSum);
}

// The first press of a run: the profile is created and the extensions are activated.
void BM_FirstTapToStartRequest(benchmark::State &state)
{
    double wallSum = 0;
    for (auto _ : state) {
        World world(state.range(0) == 1);
        world.tapToStart(&state);
        wallSum += world.wallSum;
    }
    reportWall(state, wallSum);
}

} // namespace

// Arg 0: the plain main channel; 1: the Tavrin cascade.
BENCHMARK(BM_TapToStartRequest)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(200)->Repetitions(10)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_FirstTapToStartRequest)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1)->Repetitions(30)
    ->ReportAggregatesOnly(true);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    QCoreApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
