#include "tavrin_resolver.h"

#include "tavrin_entries.h"

#include <QCoroFuture>
#include <QLoggingCategory>
#include <QPointer>

#include <cmath>
#include <vector>

namespace qor {

namespace {

Q_LOGGING_CATEGORY(lcTavrinResolver, "com.qorvpn.connect.tunnel", QtInfoMsg)

QCoro::Task<> pauseThenCancel(Clock &clock, std::chrono::milliseconds length, CancelToken group)
{
    co_await clock.sleep(length, group);
    group.cancel();
}

std::chrono::milliseconds pauseLength(double seconds)
{
    if (!(seconds > 0))
        return std::chrono::milliseconds{0};
    const double nanoseconds = std::min(seconds * 1e9, 1e15); // whole nanoseconds, then whole milliseconds up
    return std::chrono::ceil<std::chrono::milliseconds>(std::chrono::nanoseconds{qint64(nanoseconds)});
}

} // namespace

TavrinResolver::Options TavrinResolver::productOptions()
{
    Options options;
    for (const auto &entry : TavrinEntries::entries())
        options.hosts.append(entry.host);
    options.port = TavrinEntries::entryPort;
    options.limit = std::chrono::seconds{4};
    return options;
}

TavrinResolver::TavrinResolver(Clock &clock, QObject *parent)
    : TavrinResolver(clock, productOptions(), parent)
{
}

TavrinResolver::TavrinResolver(Clock &clock, Options options, QObject *parent)
    : QObject(parent), m_clock(clock), m_options(std::move(options))
{
    if (!m_options.connector)
        m_options.connector = [](const QString &host, quint16 port, std::chrono::milliseconds limit) {
            return offtunnel::connect(host, port, limit);
        };
}

QCoro::Task<std::optional<QString>> TavrinResolver::resolveOffTunnel(QString host)
{
    const auto connection = co_await m_options.connector(host, m_options.port, m_options.limit);
    if (!connection || connection->remoteAddress.isEmpty())
        co_return std::nullopt;
    const QString &remote = connection->remoteAddress;
    const qsizetype scope = remote.indexOf(QLatin1Char('%'));
    co_return scope < 0 ? remote : remote.left(scope);
}

QCoro::Task<> TavrinResolver::resolveAll()
{
    QPointer<TavrinResolver> self(this);
    const QStringList hosts = m_options.hosts;
    int resolved = 0;
    std::vector<QCoro::Task<>> lookups;
    lookups.reserve(size_t(hosts.size()));
    for (const QString &host : hosts)
        lookups.push_back(resolveAndStore(host, resolved));
    for (auto &lookup : lookups)
        co_await lookup;
    qCInfo(lcTavrinResolver) << "tavrin entries resolved off the tunnel:" << resolved << "of" << hosts.size();
}

QCoro::Task<> TavrinResolver::prefetch(double seconds)
{
    const CancelToken group = CancelToken::create();
    auto pause = pauseThenCancel(m_clock, pauseLength(seconds), group);
    co_await resolveAll();
    group.cancel();
    co_await pause;
}

QCoro::Task<> TavrinResolver::resolveAndStore(QString host, int &resolved)
{
    // Stored the moment this lookup ends, not when the slowest one has.
    QPointer<TavrinResolver> self(this);
    const auto address = co_await resolveOffTunnel(host);
    if (address && self) {
        self->store(host, *address);
        ++resolved;
    }
}

std::optional<QString> TavrinResolver::cachedAddress(const QString &host) const
{
    QMutexLocker locker(&m_lock);
    const auto found = m_cache.constFind(host);
    if (found == m_cache.constEnd())
        return std::nullopt;
    return *found;
}

void TavrinResolver::store(const QString &host, const QString &address)
{
    QMutexLocker locker(&m_lock);
    m_cache.insert(host, address);
}

} // namespace qor
