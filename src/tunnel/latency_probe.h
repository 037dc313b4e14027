#pragma once

#include "tunnel/platform/tunnel_bypass.h"

#include <QCoroTask>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace qor {

// How long a TCP connection to a server takes to open, in whole milliseconds,
// over the physical network and never through the tunnel. Each attempt is timed
// entirely on a network thread, so a busy main thread never inflates it.
class LatencyProbe {
public:
    // One timed attempt, run on a network thread: milliseconds, or absent.
    using Attempt = std::function<std::optional<quint64>(const QString &host, quint16 port, bool avoidingTunnel)>;
    using Resolver = std::function<std::optional<QString>(const QString &host)>;

    struct Options {
        std::chrono::milliseconds limit{3000}; // per attempt
        std::shared_ptr<const TunnelBypass> bypass = LinuxTunnelBypass::shared();
        Attempt attempt;   // empty: a real connection (connectOnce)
        Resolver resolver; // empty: the system resolver
    };

    LatencyProbe();
    explicit LatencyProbe(Options options);

    // Resolves the host once (its text is used unchanged when that fails), then
    // makes the attempts one after the other and keeps the best time. Absent when
    // none succeeded or attempts is 0. Never fails.
    QCoro::Task<std::optional<quint64>> measureLatency(QString host, quint16 port, int attempts) const;

    // One connection to a numeric or named host: the time from just before the
    // start (name look-up included) to the connection being open, or absent after
    // a failure or the limit.
    QCoro::Task<std::optional<quint64>> connectOnce(QString host, quint16 port, bool avoidingTunnel) const;

    // The first numeric address of the host, or absent.
    QCoro::Task<std::optional<QString>> resolveHost(QString host) const;

    // Nanoseconds as whole milliseconds, rounded down.
    static quint64 wholeMilliseconds(std::chrono::nanoseconds elapsed);

    // The same attempt made blocking, holding the calling thread while it waits.
    static std::optional<quint64> timedConnect(const QString &host, quint16 port, bool avoidingTunnel,
                                               std::chrono::milliseconds limit, const TunnelBypass &bypass);

private:
    Options m_options;
};

// The probe with its production limits.
QCoro::Task<std::optional<quint64>> measureLatency(QString host, quint16 port, int attempts);
QCoro::Task<std::optional<quint64>> connectOnce(QString host, quint16 port, bool avoidingTunnel);

} // namespace qor
