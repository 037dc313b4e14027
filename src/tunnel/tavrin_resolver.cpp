#include "tavrin_resolver.h"

#include "tunnel/platform/off_thread.h"
#include "tunnel/platform/tcp_connect.h"

#include <QCoroFuture>
#include <QPointer>

namespace qor {

TavrinResolver::TavrinResolver(Clock &clock, QObject *parent)
    : TavrinResolver(clock, TavrinEntries::all(), Options{}, parent)
{
}

TavrinResolver::TavrinResolver(Clock &clock, QList<TavrinEntries::Entry> entries, Options options, QObject *parent)
    : QObject(parent), m_clock(clock), m_entries(std::move(entries)), m_options(std::move(options)),
      m_shared(std::make_shared<Shared>())
{
}

QCoro::Task<std::optional<QString>> TavrinResolver::resolveOffTunnel(QString host)
{
    const auto limit = m_options.limit;
    const quint16 port = m_options.port;
    const auto bypass = m_options.bypass;
    // Named first: GCC 12 destroys a lambda written inside a co_await expression twice.
    const auto lookup = runOffThread([host, limit, port, bypass]() -> std::optional<QString> {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        const auto connection = net::connectTcp(host, port, true, deadline, *bypass);
        if (!connection)
            return std::nullopt;
        return connection->remoteAddress;
    });
    co_return co_await lookup;
}

QCoro::Task<> TavrinResolver::resolveAll()
{
    QList<QFuture<void>> lookups;
    for (const TavrinEntries::Entry &entry : m_entries) {
        const QString host = entry.host;
        const auto limit = m_options.limit;
        const quint16 port = m_options.port;
        const auto bypass = m_options.bypass;
        const auto shared = m_shared;
        // Each result goes into the cache as it arrives, under the lock.
        lookups.append(runOffThread([host, limit, port, bypass, shared] {
            const auto deadline = std::chrono::steady_clock::now() + limit;
            const auto connection = net::connectTcp(host, port, true, deadline, *bypass);
            if (!connection)
                return;
            QMutexLocker locker(&shared->lock);
            shared->cache.insert(host, connection->remoteAddress);
        }));
    }
    for (const QFuture<void> &lookup : std::as_const(lookups))
        co_await lookup;
}

namespace {
QCoro::Task<> endPauseAfter(QCoro::Task<> work, CancelToken pause)
{
    co_await work;
    pause.cancel();
}
} // namespace

QCoro::Task<> TavrinResolver::prefetch(double seconds)
{
    const CancelToken pause = CancelToken::create();
    QCoro::Task<> lookups = endPauseAfter(resolveAll(), pause);
    const auto length = std::chrono::nanoseconds(qint64(seconds * 1e9));
    co_await m_clock.sleep(std::chrono::ceil<std::chrono::milliseconds>(length), pause);
    co_await lookups;
}

QHash<QString, QString> TavrinResolver::cache() const
{
    QMutexLocker locker(&m_shared->lock);
    return m_shared->cache;
}

TavrinEntries::ServerList TavrinResolver::serverList() const
{
    return TavrinEntries::serverList(cache(), m_entries);
}

QStringList TavrinResolver::builtInAddresses() const
{
    return TavrinEntries::builtInAddresses(m_entries);
}

} // namespace qor
