#include "tcp_connect.h"

#include "off_thread.h"

#include <QScopeGuard>

#include <condition_variable>
#include <cstring>
#include <net/if.h>
#include <mutex>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qor {

QThreadPool &networkThreadPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(32);
        p->setExpiryTimeout(30000);
        return p;
    }();
    return *pool;
}

namespace net {

namespace {

struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<QList<QHostAddress>> result;
};

QList<QHostAddress> addressesOf(const struct addrinfo *list)
{
    QList<QHostAddress> addresses;
    for (const struct addrinfo *i = list; i; i = i->ai_next) {
        if (!i->ai_addr)
            continue;
        const QHostAddress address(i->ai_addr);
        if (!address.isNull() && !addresses.contains(address))
            addresses.append(address);
    }
    return addresses;
}

bool waitWritable(int fd, Deadline deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        struct pollfd p {fd, POLLOUT, 0};
        const int n = ::poll(&p, 1, int(std::min<qint64>(left.count(), 60000)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
}

std::optional<QString> connectOne(const QHostAddress &address, quint16 port, bool avoidTunnel, Deadline deadline,
                                  const TunnelBypass &bypass)
{
    SocketAddress target;
    const int fd = prepareSocket(address, port, avoidTunnel, bypass, target);
    if (fd < 0)
        return std::nullopt;
    auto closeFd = qScopeGuard([fd] { ::close(fd); });

    if (::connect(fd, target.get(), target.length) != 0) {
        if (errno != EINPROGRESS || !waitWritable(fd, deadline))
            return std::nullopt;
    }
    struct sockaddr_storage peer {};
    socklen_t peerLength = sizeof peer;
    QHostAddress remote = address;
    if (::getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLength) == 0)
        remote.setAddress(reinterpret_cast<struct sockaddr *>(&peer));
    return withoutScope(remote.toString());
}

} // namespace

int prepareSocket(const QHostAddress &address, quint16 port, bool avoidTunnel, const TunnelBypass &bypass, SocketAddress &out)
{
    out = SocketAddress{};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&out.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR raw = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, raw.c, 16);
        in6->sin6_scope_id = address.scopeId().toUInt();
        if (!address.scopeId().isEmpty() && in6->sin6_scope_id == 0)
            in6->sin6_scope_id = ::if_nametoindex(address.scopeId().toLatin1().constData());
        out.length = sizeof(struct sockaddr_in6);
    } else {
        auto *in4 = reinterpret_cast<struct sockaddr_in *>(&out.storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        out.length = sizeof(struct sockaddr_in);
    }

    const int fd = ::socket(out.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (avoidTunnel) {
        const PathDecision path = bypass.decide(address);
        bool usable = path.kind != PathDecision::NoPhysicalPath;
        if (usable && path.kind == PathDecision::BindToDevice) {
            // The rule cannot be kept: no connection rather than one through the tunnel.
            const QByteArray device = path.device.toLatin1();
            usable = ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.constData(), socklen_t(device.size())) == 0;
        }
        if (!usable) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

std::optional<QList<QHostAddress>> resolve(const QString &host, Deadline deadline)
{
    const QHostAddress numeric(host);
    if (!numeric.isNull())
        return QList<QHostAddress>{numeric};

    // getaddrinfo cannot be interrupted: it runs on a thread of its own, and when
    // the deadline comes first it finishes alone and cleans up after itself.
    auto lookup = std::make_shared<Lookup>();
    const QByteArray name = host.toUtf8();
    std::thread([lookup, name] {
        struct addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo *list = nullptr;
        std::optional<QList<QHostAddress>> result;
        if (::getaddrinfo(name.constData(), nullptr, &hints, &list) == 0 && list) {
            result = addressesOf(list);
            ::freeaddrinfo(list);
        }
        std::lock_guard lock(lookup->mutex);
        lookup->result = std::move(result);
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();

    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; }))
        return std::nullopt;
    if (lookup->result && lookup->result->isEmpty())
        return std::nullopt;
    return lookup->result;
}

std::optional<QString> firstNumericAddress(const QString &host)
{
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &list) != 0 || !list)
        return std::nullopt;
    char buffer[1025];
    std::optional<QString> result;
    if (::getnameinfo(list->ai_addr, list->ai_addrlen, buffer, sizeof buffer, nullptr, 0, NI_NUMERICHOST) == 0)
        result = QString::fromLatin1(buffer);
    ::freeaddrinfo(list);
    return result;
}

QString withoutScope(const QString &address)
{
    const qsizetype percent = address.indexOf(QLatin1Char('%'));
    return percent < 0 ? address : address.left(percent);
}

std::optional<Connection> connectTcp(const QString &host, quint16 port, bool avoidTunnel, Deadline deadline,
                                     const TunnelBypass &bypass)
{
    const auto addresses = resolve(host, deadline);
    if (!addresses)
        return std::nullopt;
    for (const QHostAddress &address : *addresses) {
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (auto remote = connectOne(address, port, avoidTunnel, deadline, bypass))
            return Connection{*remote};
    }
    return std::nullopt;
}

} // namespace net
} // namespace qor
