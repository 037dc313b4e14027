#include "off_tunnel_connector.h"

#include <QFile>
#include <QLoggingCategory>
#include <QPromise>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <net/if_arp.h>
#include <net/route.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qor::offtunnel {

namespace {

Q_LOGGING_CATEGORY(lcOffTunnel, "com.qorvpn.connect.tunnel", QtInfoMsg)

using SteadyClock = std::chrono::steady_clock;

constexpr unsigned arphrdIp6Gre = 823; // <linux/if_arp.h>; glibc's header lacks it

// Attempts block in connect()/poll() and in the resolver, so they get threads of
// their own rather than the global pool. The pool is never destroyed: at exit
// nobody waits for an attempt that is still running.
QThreadPool &attemptPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(64);
        p->setExpiryTimeout(30000);
        return p;
    }();
    return *pool;
}

// Delivers one result: the first complete() wins, later ones are ignored.
template<typename T>
class OneShot {
public:
    OneShot() { m_promise.start(); }
    bool complete(const T &value)
    {
        std::lock_guard guard(m_mutex);
        if (m_done)
            return false;
        m_done = true;
        m_promise.addResult(value);
        m_promise.finish();
        return true;
    }
    bool isDone()
    {
        std::lock_guard guard(m_mutex);
        return m_done;
    }
    QFuture<T> future() { return m_promise.future(); }

private:
    std::mutex m_mutex;
    bool m_done = false;
    QPromise<T> m_promise;
};

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct AddrInfo {
    addrinfo *list = nullptr;
    ~AddrInfo()
    {
        if (list)
            ::freeaddrinfo(list);
    }
};

int lookup(const QString &host, quint16 port, AddrInfo &out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = port ? AI_NUMERICSERV : 0;
    const QByteArray name = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    return ::getaddrinfo(name.constData(), port ? service.constData() : nullptr, &hints, &out.list);
}

int remainingMilliseconds(SteadyClock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return int(std::clamp<long long>(left, 0, INT_MAX));
}

// True once the socket is connected, false on failure or when the deadline passed.
bool connectBefore(int fd, const sockaddr *address, socklen_t length, SteadyClock::time_point deadline)
{
    if (::connect(fd, address, length) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    pollfd waiting{fd, POLLOUT, 0};
    for (;;) {
        const int ready = ::poll(&waiting, 1, remainingMilliseconds(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        int error = 0;
        socklen_t size = sizeof error;
        return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
}

std::optional<Connection> attempt(const QString &host, quint16 port, SteadyClock::time_point deadline,
                                  const std::shared_ptr<OneShot<std::optional<Connection>>> &shot)
{
    const auto start = SteadyClock::now();
    AddrInfo found;
    if (lookup(host, port, found) != 0)
        return std::nullopt;
    if (shot->isDone())
        return std::nullopt;

    const QList<LinkRecord> links = readLinks();
    const QList<DefaultRoute> routes = readDefaultRoutes();
    for (const addrinfo *candidate = found.list; candidate; candidate = candidate->ai_next) {
        if (SteadyClock::now() >= deadline || shot->isDone())
            return std::nullopt;
        const Route route = chooseRoute(QHostAddress(candidate->ai_addr), links, routes);
        if (route.kind == Route::Unavailable) {
            qCDebug(lcOffTunnel) << "no physical interface towards" << candidate->ai_family << "destination";
            continue;
        }
        Fd sock{::socket(candidate->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
        if (sock.fd < 0)
            continue;
        if (route.kind == Route::Bound) {
            const QByteArray device = route.interfaceName.toUtf8();
            if (::setsockopt(sock.fd, SOL_SOCKET, SO_BINDTODEVICE, device.constData(), socklen_t(device.size())) != 0) {
                qCWarning(lcOffTunnel) << "cannot bind a socket to" << route.interfaceName << std::strerror(errno);
                continue;
            }
        }
        if (!connectBefore(sock.fd, candidate->ai_addr, candidate->ai_addrlen, deadline))
            continue;
        const auto ready = SteadyClock::now();
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        QString remote;
        if (::getpeername(sock.fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0)
            remote = QHostAddress(reinterpret_cast<const sockaddr *>(&peer)).toString();
        const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(ready - start).count();
        return Connection{quint64(std::max<long long>(elapsed, 0)), remote};
    }
    return std::nullopt;
}

QByteArray readProcFile(const char *path)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll(); // /proc files report no size; read until the end
}

} // namespace

QList<DefaultRoute> parseDefaultRoutes(const QByteArray &ipv4Table, const QByteArray &ipv6Table)
{
    QList<DefaultRoute> routes;
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ... (hexadecimal fields)
    const QList<QByteArray> ipv4Lines = ipv4Table.split('\n');
    for (qsizetype i = 1; i < ipv4Lines.size(); ++i) {
        const QList<QByteArray> f = ipv4Lines.at(i).simplified().split(' ');
        if (f.size() < 8)
            continue;
        bool ok1 = false, ok2 = false, ok3 = false, ok4 = false;
        const quint32 destination = f.at(1).toUInt(&ok1, 16);
        const quint32 flags = f.at(3).toUInt(&ok2, 16);
        const quint32 metric = f.at(6).toUInt(&ok3, 10);
        const quint32 mask = f.at(7).toUInt(&ok4, 16);
        if (ok1 && ok2 && ok3 && ok4 && destination == 0 && mask == 0 && (flags & RTF_UP) && !(flags & RTF_REJECT))
            routes.append({QString::fromUtf8(f.at(0)), AF_INET, metric});
    }
    // destination prefix-length source prefix-length next-hop metric refcnt use flags iface
    for (const QByteArray &line : ipv6Table.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 10)
            continue;
        bool ok1 = false, ok2 = false, ok3 = false;
        const int prefix = f.at(1).toInt(&ok1, 16);
        const quint32 metric = f.at(5).toUInt(&ok2, 16);
        const quint32 flags = f.at(8).toUInt(&ok3, 16);
        const bool anyDestination = f.at(0).count('0') == f.at(0).size() && f.at(0).size() == 32;
        if (ok1 && ok2 && ok3 && anyDestination && prefix == 0 && (flags & RTF_UP) && !(flags & RTF_REJECT))
            routes.append({QString::fromUtf8(f.at(9)), AF_INET6, metric});
    }
    return routes;
}

QList<DefaultRoute> readDefaultRoutes()
{
    return parseDefaultRoutes(readProcFile("/proc/net/route"), readProcFile("/proc/net/ipv6_route"));
}

bool isTunnelLike(const LinkRecord &link)
{
    static const QStringList tunnelKinds = {
        QStringLiteral("tun"),   QStringLiteral("wireguard"), QStringLiteral("ipip"),  QStringLiteral("gre"),
        QStringLiteral("gretap"), QStringLiteral("ip6gre"),   QStringLiteral("ip6gretap"), QStringLiteral("ip6tnl"),
        QStringLiteral("sit"),   QStringLiteral("vti"),       QStringLiteral("vti6"),  QStringLiteral("xfrm"),
    };
    switch (link.hardwareType) {
    case ARPHRD_NONE: // layer-3 TUN devices, WireGuard
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case arphrdIp6Gre:
        return true;
    default:
        break;
    }
    return tunnelKinds.contains(link.kind) || link.name.startsWith(QLatin1String("utun"));
}

Route chooseRoute(const QHostAddress &destination, const QList<LinkRecord> &links, const QList<DefaultRoute> &routes)
{
    if (destination.isLoopback())
        return {};
    const bool tunnelUp = std::any_of(links.begin(), links.end(), [](const LinkRecord &l) { return l.up && isTunnelLike(l); });
    if (!tunnelUp)
        return {};

    bool isV4 = destination.protocol() == QAbstractSocket::IPv4Protocol;
    if (!isV4) {
        bool mapped = false;
        destination.toIPv4Address(&mapped);
        isV4 = mapped;
    }
    const int family = isV4 ? AF_INET : AF_INET6;
    const DefaultRoute *best = nullptr;
    for (const DefaultRoute &route : routes) {
        if (route.family != family)
            continue;
        const auto link = std::find_if(links.begin(), links.end(), [&](const LinkRecord &l) { return l.name == route.interfaceName; });
        if (link == links.end() || !link->up || isTunnelLike(*link))
            continue;
        if (!best || route.metric < best->metric)
            best = &route;
    }
    if (!best)
        return {Route::Unavailable, {}};
    return {Route::Bound, best->interfaceName};
}

QFuture<std::optional<Connection>> connect(const QString &host, quint16 port, std::chrono::milliseconds limit)
{
    auto shot = std::make_shared<OneShot<std::optional<Connection>>>();
    const auto deadline = SteadyClock::now() + limit;
    attemptPool().start([shot, host, port, deadline] { shot->complete(attempt(host, port, deadline, shot)); });
    // The worker keeps to the deadline itself; this covers a resolver that hangs.
    QTimer::singleShot(limit, Qt::PreciseTimer, [shot] { shot->complete(std::nullopt); });
    return shot->future();
}

QFuture<std::optional<QString>> resolve(const QString &host)
{
    auto promise = std::make_shared<QPromise<std::optional<QString>>>();
    promise->start();
    QFuture<std::optional<QString>> future = promise->future();
    attemptPool().start([promise, host] {
        std::optional<QString> result;
        AddrInfo found;
        if (lookup(host, 0, found) == 0 && found.list) {
            char text[1025];
            if (::getnameinfo(found.list->ai_addr, found.list->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
                result = QString::fromUtf8(text);
        }
        promise->addResult(result);
        promise->finish();
    });
    return future;
}

} // namespace qor::offtunnel
