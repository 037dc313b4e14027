#include "latency_probe.h"

#include "tunnel/platform/connect_waiter.h"
#include "tunnel/platform/off_thread.h"
#include "tunnel/platform/tcp_connect.h"

#include <QCoroFuture>

namespace qor {

namespace {

// The coroutines below take everything by value: a probe object may be gone
// before they resume.

QCoro::Task<std::optional<QString>> resolveWith(LatencyProbe::Options options, QString host)
{
    auto resolver = options.resolver ? options.resolver : LatencyProbe::Resolver(&net::firstNumericAddress);
    // Named first: GCC 12 destroys a lambda written inside a co_await expression twice.
    const auto lookup = runOffThread([resolver, host] { return resolver(host); });
    co_return co_await lookup;
}

QCoro::Task<std::optional<quint64>> attemptWith(LatencyProbe::Options options, QString host, quint16 port,
                                                bool avoidingTunnel)
{
    if (const LatencyProbe::Attempt attempt = options.attempt) {
        const auto timed = runOffThread([attempt, host, port, avoidingTunnel] { return attempt(host, port, avoidingTunnel); });
        co_return co_await timed;
    }
    // A real connection waits without a thread of its own, so that every node of a
    // long list can be in flight at once rather than a pool's worth at a time.
    const auto deadline = std::chrono::steady_clock::now() + options.limit;
    const auto lookup = runOffThread([host, deadline] {
        const auto began = std::chrono::steady_clock::now();
        auto addresses = net::resolve(host, deadline);
        return std::make_pair(std::move(addresses), std::chrono::steady_clock::now() - began);
    });
    const auto [addresses, lookupTime] = co_await lookup;
    if (!addresses)
        co_return std::nullopt;
    const auto opening = net::openTcpAsync(*addresses, port, avoidingTunnel, deadline, options.bypass);
    const std::optional<std::chrono::nanoseconds> opened = co_await opening;
    if (!opened)
        co_return std::nullopt;
    // For a named host the time includes its look-up, as one blocking attempt's would.
    co_return LatencyProbe::wholeMilliseconds(lookupTime + *opened);
}

QCoro::Task<std::optional<quint64>> measureWith(LatencyProbe::Options options, QString host, quint16 port, int attempts)
{
    const std::optional<QString> resolved = co_await resolveWith(options, host);
    const QString target = resolved.value_or(host);
    if (attempts <= 0)
        co_return std::nullopt;
    std::optional<quint64> best;
    for (int i = 0; i < attempts; ++i) {
        if (port == 0)
            continue; // not a network port
        const std::optional<quint64> time = co_await attemptWith(options, target, port, true);
        if (time && (!best || *time < *best))
            best = time;
    }
    co_return best;
}

} // namespace

LatencyProbe::LatencyProbe() = default;

LatencyProbe::LatencyProbe(Options options)
    : m_options(std::move(options))
{
}

quint64 LatencyProbe::wholeMilliseconds(std::chrono::nanoseconds elapsed)
{
    return elapsed.count() <= 0 ? 0 : quint64(elapsed.count()) / 1000000u;
}

std::optional<quint64> LatencyProbe::timedConnect(const QString &host, quint16 port, bool avoidingTunnel,
                                                  std::chrono::milliseconds limit, const TunnelBypass &bypass)
{
    const auto start = std::chrono::steady_clock::now();
    if (!net::connectTcp(host, port, avoidingTunnel, start + limit, bypass))
        return std::nullopt;
    return wholeMilliseconds(std::chrono::steady_clock::now() - start);
}

QCoro::Task<std::optional<quint64>> LatencyProbe::measureLatency(QString host, quint16 port, int attempts) const
{
    return measureWith(m_options, std::move(host), port, attempts);
}

QCoro::Task<std::optional<quint64>> LatencyProbe::connectOnce(QString host, quint16 port, bool avoidingTunnel) const
{
    return attemptWith(m_options, std::move(host), port, avoidingTunnel);
}

QCoro::Task<std::optional<QString>> LatencyProbe::resolveHost(QString host) const
{
    return resolveWith(m_options, std::move(host));
}

QCoro::Task<std::optional<quint64>> measureLatency(QString host, quint16 port, int attempts)
{
    return LatencyProbe().measureLatency(std::move(host), port, attempts);
}

QCoro::Task<std::optional<quint64>> connectOnce(QString host, quint16 port, bool avoidingTunnel)
{
    return LatencyProbe().connectOnce(std::move(host), port, avoidingTunnel);
}

} // namespace qor
