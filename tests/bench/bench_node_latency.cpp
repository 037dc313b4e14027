// Wall time of AppState::measureNodeLatency with the real probe over 2 000 (and 100) silent loopback nodes, whose
// attempts all run to their 3-second limit, and over 50 answering ones:  build-release/tests/bench_node_latency 2>/dev/null
// Counters: soft_fd_limit after raising it to the hard limit (as the application does); budget, what AppState may have
// in flight; peak_in_flight, the most SYN-SENT sockets seen at once (sampled every 20 ms); measured, nodes with a latency.

#include "app_fixture.h"
#include "loopback_farm.h"

#include "runtime/descriptor_limit.h"
#include "tunnel/latency_probe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

using namespace qor;
using namespace qor::test;

namespace {

long g_softLimit = 0;

// One measurement over the listeners at `ports`: its wall time is the iteration time.
void measure(benchmark::State &state, const QList<quint16> &ports)
{
    QStringList endpoints;
    for (quint16 port : ports)
        endpoints.append(QStringLiteral("127.0.0.1:%1").arg(port));

    AppFixture f;
    AppServices services = f.services();
    services.measureLatency = &qor::measureLatency;
    int budget = 0;
    services.latencyConcurrency = [&budget] { return budget = descriptors::availableBudget(); };
    f.state = std::make_unique<AppState>(services);
    AppState &app = *f.state;
    f.startupDone();
    app.setXrayConfigsJSON(catalogJson(endpoints, false));
    app.refreshDirectNodes();
    if (app.directNodes().size() != endpoints.size())
        qFatal("expected %d nodes, got %d", int(endpoints.size()), int(app.directNodes().size()));

    const int baseline = LoopbackFarm::synSentSockets();
    std::atomic<bool> sampling{true};
    std::atomic<int> peak{0};
    std::thread sampler([&] {
        while (sampling) {
            peak = std::max(peak.load(), LoopbackFarm::synSentSockets() - baseline);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    QEventLoop loop;
    QObject::connect(&app, &AppState::measuringLatencyChanged, &loop, [&] {
        if (!app.measuringLatency())
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    app.measureNodeLatency();
    if (app.measuringLatency())
        loop.exec();
    state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);

    sampling = false;
    sampler.join();
    state.counters["nodes"] = double(ports.size());
    state.counters["measured"] = app.measuredNodeCount();
    state.counters["soft_fd_limit"] = double(g_softLimit);
    state.counters["budget"] = budget;
    state.counters["peak_in_flight"] = peak.load();
}

// Silent listeners are built once (slow); answering ones afresh per run, as a run's connections stay queued in them.
void BM_Nodes(benchmark::State &state, LoopbackFarm::Kind kind)
{
    LoopbackFarm farm;
    for (auto _ : state) {
        if (kind == LoopbackFarm::Answering || farm.ports().isEmpty()) {
            farm.closeAll();
            if (!farm.open(int(state.range(0)), kind)) {
                state.SkipWithError("could not build the listeners");
                return;
            }
        }
        measure(state, farm.ports());
    }
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    QCoreApplication app(argc, argv);
    // As the application does at start: the default soft limit of 1 024 is far too low for 2 000 nodes in flight.
    g_softLimit = descriptors::raiseSoftLimitToHard();
    benchmark::RegisterBenchmark("BM_SilentNodes", BM_Nodes, LoopbackFarm::Silent)->Arg(100)->Arg(2000)->UseManualTime()
        ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
    benchmark::RegisterBenchmark("BM_AnsweringNodes", BM_Nodes, LoopbackFarm::Answering)->Arg(50)->UseManualTime()
        ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
