#pragma once

#include "core/runtime/clock.h"
#include "tunnel/platform/off_tunnel_connector.h"

#include <QCoroTask>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace qor {

// Resolves the Tavrin entry hosts to addresses over the physical network (never
// through a tunnel) by opening a TCP connection to each entry and noting the
// address it reached, and keeps the answers for the server list.
//
// Lives on the main thread; the connections run on worker threads and the cache
// is guarded by a lock, so cachedAddress() may be called from any thread.
class TavrinResolver : public QObject {
    Q_OBJECT
public:
    // Opens one connection off the tunnel; offtunnel::connect() unless a test
    // hands in another.
    using Connector = std::function<QFuture<std::optional<offtunnel::Connection>>(
        const QString &host, quint16 port, std::chrono::milliseconds limit)>;

    struct Options {
        QStringList hosts;                    // what resolveAll() looks up
        quint16 port = 8443;                  // the entries' port
        std::chrono::milliseconds limit{4000}; // per connection
        Connector connector;                  // empty: offtunnel::connect
    };
    // The built-in entries' hosts, port 8443, 4 seconds, the real connector.
    static Options productOptions();

    // clock: drives the pause of prefetch().
    explicit TavrinResolver(Clock &clock, QObject *parent = nullptr);
    TavrinResolver(Clock &clock, Options options, QObject *parent = nullptr);

    // The address a connection to host reached (an IPv6 scope suffix dropped), or
    // empty when it failed or took longer than the limit. Never fails.
    QCoro::Task<std::optional<QString>> resolveOffTunnel(QString host);

    // Looks up every host at once and caches each address as it arrives; a host
    // that gives none keeps its earlier cached address. Ends when all have ended.
    QCoro::Task<> resolveAll();

    // resolveAll() side by side with a pause of the given length; whichever ends
    // first cancels the other. The lookups do not stop when cancelled, so this
    // returns when the lookups have ended (at most the limit after the start).
    QCoro::Task<> prefetch(double seconds);

    std::optional<QString> cachedAddress(const QString &host) const;

private:
    QCoro::Task<> resolveAndStore(QString host, int &resolved);
    void store(const QString &host, const QString &address);

    Clock &m_clock;
    Options m_options;
    mutable QMutex m_lock;
    QHash<QString, QString> m_cache; // host -> address; only grows
};

} // namespace qor
