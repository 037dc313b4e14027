#pragma once

#include "interface_counters.h"

#include <QFuture>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

namespace qor::offtunnel {

// TCP connections that never use a virtual (tunnel) interface, and the name
// resolution of the latency probe.
//
// While a tunnel-like interface is up, a socket is bound (SO_BINDTODEVICE) to the
// physical interface that carries the default route for the destination's family,
// so neither the connection nor its packets can enter the tunnel; when there is no
// such interface the attempt fails. With no tunnel up, or towards a loopback
// address, the socket connects as usual.

// A default route of the main routing table.
struct DefaultRoute {
    QString interfaceName;
    int family = 0; // AF_INET or AF_INET6
    quint32 metric = 0;
};

// The default routes in the texts of /proc/net/route and /proc/net/ipv6_route.
QList<DefaultRoute> parseDefaultRoutes(const QByteArray &ipv4Table, const QByteArray &ipv6Table);
// The default routes of the current network namespace.
QList<DefaultRoute> readDefaultRoutes();

// TUN/TAP devices, WireGuard and the kernel's IP-in-IP and GRE tunnels, and any
// interface named like the product's own tunnel ("utun..."). Bridges, veth pairs,
// VLANs and bonds are not: containers and bridged hosts reach the network through them.
bool isTunnelLike(const LinkRecord &link);

struct Route {
    enum Kind {
        Direct,      // connect as usual
        Bound,       // bind to interfaceName first
        Unavailable, // a tunnel is up and no physical interface leads to the destination
    };
    Kind kind = Direct;
    QString interfaceName;
    bool operator==(const Route &other) const { return kind == other.kind && interfaceName == other.interfaceName; }
};

// Decides how a connection to destination avoids the tunnels among links.
Route chooseRoute(const QHostAddress &destination, const QList<LinkRecord> &links, const QList<DefaultRoute> &routes);

// One established connection: how long it took to become ready, measured on the
// worker thread from just before the name lookup, and the peer's numeric address
// (with an IPv6 scope suffix when the kernel reports one).
struct Connection {
    quint64 elapsedNanoseconds = 0;
    QString remoteAddress;
};

// Opens one TCP connection to host:port off the tunnel on a worker thread and
// closes it again at once. The future finishes exactly once: with the connection
// when it became ready, or empty when the lookup or the connection failed, or when
// limit passed first (whichever comes first; later events are ignored). A
// connection that does not become ready within limit is abandoned. Must be called
// from a thread with an event loop; the limit is also watched from there, so a
// name lookup that hangs never keeps the caller waiting.
QFuture<std::optional<Connection>> connect(const QString &host, quint16 port, std::chrono::milliseconds limit);

// The first address the system resolver gives for host (any family, stream
// sockets) in numeric form, or empty; looked up on a worker thread. This lookup
// uses the ordinary resolver and may be answered through a tunnel.
QFuture<std::optional<QString>> resolve(const QString &host);

} // namespace qor::offtunnel
