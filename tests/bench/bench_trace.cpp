// Main-thread cost of StateTrace::trace (its log line goes to stderr):  build-release/tests/bench_trace 2>/dev/null

#include "runtime/qt_clock.h"
#include "core/state_trace.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>

using namespace qor;

namespace {

Q_LOGGING_CATEGORY(lcBench, "com.qorvpn.connect.state", QtInfoMsg)

// Timed in bursts; the worker drains untimed between them, so the queue stays bounded and each burst finds it idle.
constexpr int kBurst = 100;

const QString kMessage = QStringLiteral(
    "status 1 from main (state=connected(2026-01-31 14:05:09 +0000), switching=false, expected=false, userStop=false)");

void setStateLogging(bool enabled)
{
    QLoggingCategory::setFilterRules(enabled ? QString() : QStringLiteral("com.qorvpn.connect.state.info=false"));
}

template<typename Call>
void timeBursts(benchmark::State &state, StateTrace *trace, Call call)
{
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kBurst; ++i)
            call();
        const qint64 nanoseconds = timer.nsecsElapsed();
        state.SetIterationTime(double(nanoseconds) / 1e9 / kBurst);
        if (trace)
            trace->waitForWrites();
    }
}

// The whole call (log line, time stamp, hand-over to the worker); with the state category off, only the hand-over.
void BM_Trace(benchmark::State &state, bool logging)
{
    setStateLogging(logging);
    QTemporaryDir dir;
    StateTrace trace(dir.path(), QtClock::shared());
    timeBursts(state, &trace, [&] { trace.trace(kMessage); });
    setStateLogging(true);
}

// The log line alone, through the default message handler.
void BM_LogLineOnly(benchmark::State &state)
{
    setStateLogging(true);
    timeBursts(state, nullptr, [] { qCInfo(lcBench, "%s", qUtf8Printable(kMessage)); });
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    QCoreApplication app(argc, argv);
    for (auto *b : {benchmark::RegisterBenchmark("BM_TraceCall", BM_Trace, true),
                    benchmark::RegisterBenchmark("BM_TraceCallLogDisabled", BM_Trace, false),
                    benchmark::RegisterBenchmark("BM_LogLineOnly", BM_LogLineOnly)})
        b->UseManualTime()->Iterations(200)->Repetitions(15)->ReportAggregatesOnly(true);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
