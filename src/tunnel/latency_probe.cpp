#include "latency_probe.h"

#include "tunnel/platform/off_tunnel_connector.h"

#include <QCoroFuture>

namespace qor::LatencyProbe {

QCoro::Task<std::optional<quint64>> connectOnce(QString host, quint16 port, std::chrono::milliseconds limit)
{
    const auto connection = co_await offtunnel::connect(host, port, limit);
    if (!connection)
        co_return std::nullopt;
    co_return connection->elapsedNanoseconds / 1000000;
}

QCoro::Task<std::optional<QString>> resolveHost(QString host)
{
    co_return co_await offtunnel::resolve(host);
}

QCoro::Task<std::optional<quint64>> bestOf(QString host, quint16 port, int attempts, Attempt attempt)
{
    std::optional<quint64> best;
    for (int i = 0; i < attempts; ++i) {
        if (port == 0)
            continue;
        const auto time = co_await attempt(host, port);
        if (time && (!best || *time < *best))
            best = time;
    }
    co_return best;
}

QCoro::Task<std::optional<quint64>> measureLatency(QString host, quint16 port, int attempts, std::chrono::milliseconds limit)
{
    const QString target = (co_await resolveHost(host)).value_or(host);
    co_return co_await bestOf(target, port, attempts, [limit](QString h, quint16 p) { return connectOnce(std::move(h), p, limit); });
}

} // namespace qor::LatencyProbe
