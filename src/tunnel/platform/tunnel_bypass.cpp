#include "tunnel_bypass.h"

#include <QFile>

#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qor {

namespace {

class Socket {
public:
    Socket() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int fd;
};

bool fillName(struct ifreq &ifr, const QString &name)
{
    const QByteArray raw = name.toLatin1();
    if (raw.isEmpty() || raw.size() >= IFNAMSIZ)
        return false;
    std::memcpy(ifr.ifr_name, raw.constData(), size_t(raw.size()));
    return true;
}

QStringList interfaceNames()
{
    QStringList names;
    if (struct if_nameindex *list = ::if_nameindex()) {
        for (struct if_nameindex *i = list; i->if_index != 0 && i->if_name; ++i)
            names.append(QString::fromLatin1(i->if_name));
        ::if_freenameindex(list);
    }
    return names;
}

} // namespace

bool LinuxTunnelBypass::isTunnelInterface(const QString &name)
{
    Socket s;
    struct ifreq ifr {};
    if (s.fd < 0 || !fillName(ifr, name))
        return false;
    if (::ioctl(s.fd, SIOCGIFHWADDR, &ifr) == 0) {
        switch (ifr.ifr_hwaddr.sa_family) {
        case ARPHRD_NONE: // tun, WireGuard
        case ARPHRD_PPP:
        case ARPHRD_TUNNEL:
        case ARPHRD_TUNNEL6:
        case ARPHRD_SIT:
        case ARPHRD_IPGRE:
        case 823: // ARPHRD_IP6GRE
            return true;
        default:
            break;
        }
    }
    // A tap device looks like Ethernet; its driver gives it away.
    struct ethtool_drvinfo info {};
    info.cmd = ETHTOOL_GDRVINFO;
    struct ifreq drv {};
    fillName(drv, name);
    drv.ifr_data = reinterpret_cast<char *>(&info);
    if (::ioctl(s.fd, SIOCETHTOOL, &drv) == 0) {
        const QByteArray driver(info.driver);
        return driver == "tun" || driver == "wireguard";
    }
    return false;
}

QStringList LinuxTunnelBypass::tunnelInterfacesUp()
{
    QStringList up;
    Socket s;
    for (const QString &name : interfaceNames()) {
        struct ifreq ifr {};
        if (s.fd < 0 || !fillName(ifr, name) || ::ioctl(s.fd, SIOCGIFFLAGS, &ifr) != 0)
            continue;
        if ((ifr.ifr_flags & IFF_UP) && !(ifr.ifr_flags & IFF_LOOPBACK) && isTunnelInterface(name))
            up.append(name);
    }
    return up;
}

std::optional<QString> LinuxTunnelBypass::physicalDefaultInterface(QAbstractSocket::NetworkLayerProtocol family)
{
    // The main routing table as the kernel lists it for this network namespace.
    std::optional<QString> best;
    qint64 bestMetric = -1;
    if (family == QAbstractSocket::IPv6Protocol) {
        QFile file(QStringLiteral("/proc/net/ipv6_route"));
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        // dest plen src splen nexthop metric refcnt use flags iface
        while (!file.atEnd()) {
            const QList<QByteArray> f = file.readLine().simplified().split(' ');
            if (f.size() < 10 || f[0] != QByteArray(32, '0') || f[1] != "00")
                continue;
            const QString iface = QString::fromLatin1(f[9]);
            bool ok = false;
            const qint64 metric = f[5].toLongLong(&ok, 16);
            if (iface == QLatin1String("lo") || isTunnelInterface(iface) || (best && metric >= bestMetric))
                continue;
            best = iface;
            bestMetric = ok ? metric : 0;
        }
        return best;
    }
    QFile file(QStringLiteral("/proc/net/route"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    file.readLine(); // header
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    while (!file.atEnd()) {
        const QList<QByteArray> f = file.readLine().simplified().split(' ');
        if (f.size() < 8 || f[1] != "00000000" || f[7] != "00000000")
            continue;
        const QString iface = QString::fromLatin1(f[0]);
        const qint64 metric = f[6].toLongLong();
        if (iface == QLatin1String("lo") || isTunnelInterface(iface) || (best && metric >= bestMetric))
            continue;
        best = iface;
        bestMetric = metric;
    }
    return best;
}

PathDecision LinuxTunnelBypass::decide(const QHostAddress &destination) const
{
    // Traffic to this host never passes a tunnel.
    if (destination.isLoopback())
        return {};
    if (tunnelInterfacesUp().isEmpty())
        return {};
    const auto family = destination.protocol() == QAbstractSocket::IPv6Protocol && !destination.toIPv4Address()
        ? QAbstractSocket::IPv6Protocol
        : QAbstractSocket::IPv4Protocol;
    if (const auto device = physicalDefaultInterface(family))
        return {PathDecision::BindToDevice, *device};
    return {PathDecision::NoPhysicalPath, {}};
}

std::shared_ptr<const TunnelBypass> LinuxTunnelBypass::shared()
{
    static const auto instance = std::make_shared<const LinuxTunnelBypass>();
    return instance;
}

} // namespace qor
