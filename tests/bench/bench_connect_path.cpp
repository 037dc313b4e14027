// Main-thread CPU time (CLOCK_THREAD_CPUTIME_ID) from just before tapGlobe until the profile service receives the start
// request: the connect's synchronous parts, not its waits (the account server runs on its own thread); wall_us is real time.
//   build-release/tests/bench_connect_path 2>/dev/null   (trace lines go to stderr)

#include "app_fixture.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QElapsedTimer>
#include <QEventLoop>
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

// The fixture's doubles, with the account server on a thread of its own.
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
        login = std::make_unique<TelegramLoginService>(f.clock, AccountTransport(settings), QStringLiteral("https://t.example/QorBot"));
        f.storeSession(QStringLiteral("tok"), catalogJson({QStringLiteral("10.0.0.1:443"), QStringLiteral("10.0.0.2:443")}));
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        f.profiles.onStartRequest = [this] {
            cpuAtStart = threadCpuTime();
            wallAtStart = wall.nsecsElapsed();
            if (pressLoop)
                pressLoop->quit();
        };
        AppServices services{f.clock, f.sharedDefaults, f.standardDefaults, f.session, *f.trace, *login, f.tunnel, f.reserveTunnel,
                             *f.traffic, *f.extensions, *f.tavrinResolver, *f.tavrinHelper, {}, {}, {}, {}};
        services.openAddress = [](const QUrl &) {};
        services.probeConnectivity = []() -> QCoro::Task<bool> { co_return true; };
        f.state = std::make_unique<AppState>(services);
        app = f.state.get();
        waitUntil([this] { return app->isStartupFinished(); });
        app->selectMode(cascade ? ConnectMode::Tavrin : ConnectMode::Auto);
    }

    ~World()
    {
        f.state.reset(); // before the tunnel managers it uses
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

    // One globe press until the start request: main-thread CPU time is the iteration time, wall time goes to wallSum.
    void tapToStart(benchmark::State *state = nullptr)
    {
        QEventLoop loop;
        pressLoop = &loop;
        wall.start();
        const auto cpuBefore = threadCpuTime();
        app->tapGlobe();
        if (wallAtStart == 0 || cpuAtStart < cpuBefore)
            loop.exec();
        pressLoop = nullptr;
        if (state) {
            state->SetIterationTime(double((cpuAtStart - cpuBefore).count()) / 1e9);
            wallSum += double(wallAtStart);
        }
        // Untimed: let the connect finish, then stop for the next press.
        waitUntil([this] { return !app->switchingChannels; });
        app->stopEverything();
        waitUntil([this] { return f.tunnel.connectionStatus() == std::optional<int>(1) || !f.tunnel.connectionStatus(); });
        ManualClock::drainEvents();
        wallAtStart = 0;
    }

    AppFixture f;
    double wallSum = 0;
    QThread serverThread;
    QObject serverContext;
    AccountServer *server = nullptr;
    std::unique_ptr<TelegramLoginService> login;
    AppState *app = nullptr;
    // Main-thread CPU time and wall time when the start request arrived.
    std::chrono::nanoseconds cpuAtStart{0};
    qint64 wallAtStart = 0;
    QElapsedTimer wall;
    QEventLoop *pressLoop = nullptr;
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
