#include "interface_counters.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qor {

namespace {

// Closes the socket on every way out.
struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString attributeString(const rtattr *attr)
{
    const auto *data = static_cast<const char *>(RTA_DATA(attr));
    const int size = int(RTA_PAYLOAD(attr));
    return QString::fromUtf8(data, int(::strnlen(data, size_t(size))));
}

void parseLink(const nlmsghdr *header, QList<LinkRecord> &links)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return;
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
    LinkRecord link;
    link.index = info->ifi_index;
    link.hardwareType = info->ifi_type;
    link.up = (info->ifi_flags & IFF_UP) != 0;

    int left = int(header->nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg)));
    for (const rtattr *attr = IFLA_RTA(info); RTA_OK(attr, left); attr = RTA_NEXT(attr, left)) {
        switch (attr->rta_type) {
        case IFLA_IFNAME:
            link.name = attributeString(attr);
            break;
        case IFLA_STATS64:
            if (RTA_PAYLOAD(attr) >= sizeof(rtnl_link_stats64)) {
                // Attribute payloads are only 4-byte aligned.
                rtnl_link_stats64 stats;
                std::memcpy(&stats, RTA_DATA(attr), sizeof stats);
                link.receivedBytes = stats.rx_bytes;
                link.sentBytes = stats.tx_bytes;
            }
            break;
        case IFLA_LINKINFO: {
            int innerLeft = int(RTA_PAYLOAD(attr));
            for (const rtattr *inner = static_cast<const rtattr *>(RTA_DATA(attr)); RTA_OK(inner, innerLeft);
                 inner = RTA_NEXT(inner, innerLeft)) {
                if (inner->rta_type == IFLA_INFO_KIND)
                    link.kind = attributeString(inner);
            }
            break;
        }
        default:
            break;
        }
    }
    if (!link.name.isEmpty())
        links.append(link);
}

} // namespace

QList<LinkRecord> readLinks()
{
    Fd sock{::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
    if (sock.fd < 0)
        return {};

    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.info.ifi_family = AF_UNSPEC;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(sock.fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return {};

    QList<LinkRecord> links;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::recv(sock.fd, buffer.data(), size_t(buffer.size()), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return {};
        }
        if (got == 0)
            return {};
        int left = int(got);
        for (auto *header = reinterpret_cast<const nlmsghdr *>(buffer.constData()); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_seq != request.header.nlmsg_seq)
                continue;
            if (header->nlmsg_type == NLMSG_DONE)
                return links;
            if (header->nlmsg_type == NLMSG_ERROR)
                return {};
            if (header->nlmsg_type == RTM_NEWLINK)
                parseLink(header, links);
        }
    }
}

CounterSnapshot TunnelInterfaceCounters::read()
{
    CounterSnapshot snapshot;
    const QList<LinkRecord> links = readLinks();
    for (const LinkRecord &link : links) {
        if (link.name.startsWith(QLatin1String("utun")))
            snapshot[link.name] = {link.receivedBytes, link.sentBytes};
    }
    return snapshot;
}

TunnelInterfaceCounters &TunnelInterfaceCounters::shared()
{
    static TunnelInterfaceCounters source;
    return source;
}

} // namespace qor
