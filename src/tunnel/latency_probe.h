#pragma once

#include <QCoroTask>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace qor::LatencyProbe {

// How long a TCP connection to a server takes to open, in whole milliseconds, over
// a physical interface only (never through a tunnel). The connection and its
// timing run on a worker thread, so a busy main thread does not inflate the time;
// the result is awaited from the calling thread (which needs an event loop).

// One connection attempt: the time until it was ready, rounded down to whole
// milliseconds, or empty when it failed or took longer than limit. Never fails.
QCoro::Task<std::optional<quint64>> connectOnce(QString host, quint16 port,
                                                std::chrono::milliseconds limit = std::chrono::seconds(3));

// The host's first address from the system resolver, in numeric form, or empty.
QCoro::Task<std::optional<QString>> resolveHost(QString host);

// One attempt as measureLatency makes it.
using Attempt = std::function<QCoro::Task<std::optional<quint64>>(QString host, quint16 port)>;

// The best of attempts made one after another, without pauses; empty when none
// succeeded or attempts is 0. Port 0 cannot be connected to: every attempt is
// skipped.
QCoro::Task<std::optional<quint64>> bestOf(QString host, quint16 port, int attempts, Attempt attempt);

// Resolves host once (its text is used unchanged when that fails), then bestOf()
// with connectOnce() limited to limit.
QCoro::Task<std::optional<quint64>> measureLatency(QString host, quint16 port, int attempts,
                                                   std::chrono::milliseconds limit = std::chrono::seconds(3));

} // namespace qor::LatencyProbe
