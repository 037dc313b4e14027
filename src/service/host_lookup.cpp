#include "host_lookup.h"

#include "tunnel/platform/off_thread.h"

#include <QCoroFuture>
#include <QCoroSignal>
#include <QFutureWatcher>
#include <QHostInfo>

using namespace std::chrono_literals;

namespace qor::service {

QCoro::Task<std::variant<QHostAddress, QString>> lookUpHost(QString host, std::chrono::milliseconds limit)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        co_return literal;
    QFuture<QHostInfo> future = runOffThread([host] { return QHostInfo::fromName(host); });
    QFutureWatcher<QHostInfo> watcher;
    watcher.setFuture(future);
    if (!future.isFinished()) {
        const auto done = co_await qCoro(&watcher, &QFutureWatcherBase::finished, std::max(1ms, limit));
        if (!done)
            co_return QString::fromUtf8("адрес сервера «") + host + QString::fromUtf8("» не найден за отведённое время");
    }
    QHostAddress address;
    for (const QHostAddress &candidate : future.result().addresses()) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            co_return candidate;
        if (address.isNull())
            address = candidate;
    }
    if (address.isNull())
        co_return QString::fromUtf8("адрес сервера «") + host + QString::fromUtf8("» не найден");
    co_return address;
}

} // namespace qor::service
