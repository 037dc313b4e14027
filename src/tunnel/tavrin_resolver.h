#pragma once

#include "runtime/clock.h"
#include "tavrin_entries.h"
#include "tunnel/platform/tunnel_bypass.h"

#include <QCoroTask>
#include <QHash>
#include <QMutex>
#include <QObject>

#include <chrono>
#include <memory>
#include <optional>

namespace qor {

// Finds the addresses of the Tavrin entries over the physical network (never
// through the tunnel) by opening a connection to each entry's port 8443, and keeps
// what it found. The look-ups run on the network threads; the cache is shared with
// them under a lock.
class TavrinResolver final : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::chrono::milliseconds limit{4000}; // per look-up
        quint16 port = 8443;
        std::shared_ptr<const TunnelBypass> bypass = LinuxTunnelBypass::shared();
    };

    explicit TavrinResolver(Clock &clock, QObject *parent = nullptr);
    TavrinResolver(Clock &clock, QList<TavrinEntries::Entry> entries, Options options, QObject *parent = nullptr);

    // The address a connection to host:8443 reached (an IPv6 address without its
    // scope suffix), or absent after a failure or the time limit. Never fails.
    QCoro::Task<std::optional<QString>> resolveOffTunnel(QString host);

    // Looks up all entries at once and caches every address found; an entry that
    // finds none keeps its earlier cache value.
    QCoro::Task<> resolveAll();

    // resolveAll beside a pause of the given length; the pause ends early when the
    // look-ups end first, and the look-ups always run to their own end.
    QCoro::Task<> prefetch(double seconds);

    // A copy of the cache (entry host -> address).
    QHash<QString, QString> cache() const;

    // TavrinEntries::serverList over this cache.
    TavrinEntries::ServerList serverList() const;
    QStringList builtInAddresses() const;

private:
    struct Shared {
        mutable QMutex lock;
        QHash<QString, QString> cache;
    };

    Clock &m_clock;
    const QList<TavrinEntries::Entry> m_entries;
    const Options m_options;
    std::shared_ptr<Shared> m_shared; // outlives this object while look-ups finish
};

} // namespace qor
