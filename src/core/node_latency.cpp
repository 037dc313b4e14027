// Latency of every direct node, measured concurrently off the main thread.

#include "app_state.h"

#include <QCoroSignal>
#include <QPointer>

#include <memory>

namespace qor {

namespace {
constexpr int attemptsPerNode = 3;

struct LatencyRun {
    int running = 0;
    int successes = 0;
    QPointer<Waker> slotFreed; // set while the collector waits for a measurement to end
};

using MeasureLatency = std::function<QCoro::Task<std::optional<quint64>>(QString, quint16, int)>;

QCoro::Task<> measureNode(MeasureLatency measure, DirectNode node, QPointer<AppState> app, std::shared_ptr<LatencyRun> run)
{
    const auto latency = co_await measure(SubscriptionCatalog::host(node.endpoint), SubscriptionCatalog::port(node.endpoint),
                                          attemptsPerNode);
    if (latency && app) {
        app->setNodeLatency(node.endpoint, *latency);
        ++run->successes;
    }
    --run->running;
    if (run->slotFreed)
        run->slotFreed->fire(true);
}
} // namespace

QCoro::Task<> AppState::measureNodeLatency()
{
    if (measuringLatency())
        co_return;
    setMeasuringLatency(true);
    QPointer<AppState> self(this);
    const QList<DirectNode> nodes = m_directNodes;
    const MeasureLatency measure = m_services.measureLatency;
    // Each measurement holds a socket: keep the number in flight within what the
    // process may open, and start the next node as soon as one ends.
    const int limit = std::max(1, m_services.latencyConcurrency ? m_services.latencyConcurrency() : 256);
    auto run = std::make_shared<LatencyRun>();

    for (qsizetype next = 0;;) {
        while (run->running < limit && next < nodes.size()) {
            ++run->running;
            measureNode(measure, nodes.at(next++), self, run);
        }
        if (run->running == 0)
            break;
        Waker slotFreed;
        run->slotFreed = &slotFreed;
        co_await qCoro(&slotFreed, &Waker::woken);
        if (!self)
            co_return;
    }

    setLatencyNeedsDisconnect(run->successes == 0 && !nodes.isEmpty() && m_connectionState != ConnectionState::Disconnected);
    setMeasuringLatency(false);
}

} // namespace qor
