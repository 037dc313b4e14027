#pragma once

#include "tunnel_bypass.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

#include <sys/socket.h>

// Blocking network primitives, for the network thread pool only.
namespace qor::net {

using Deadline = std::chrono::steady_clock::time_point;

// The system resolver's addresses for host (stream sockets, any family), or absent
// when the look-up fails or the deadline passes first. Numeric hosts need no look-up.
std::optional<QList<QHostAddress>> resolve(const QString &host, Deadline deadline);

// The first address the system resolver returns for host, as numeric text
// (getnameinfo with NI_NUMERICHOST), or absent. Not bounded in time.
std::optional<QString> firstNumericAddress(const QString &host);

// An address's text without an IPv6 scope suffix ("fe80::1%eth0" -> "fe80::1").
QString withoutScope(const QString &address);

// A destination in the form connect() takes.
struct SocketAddress {
    struct sockaddr_storage storage {};
    socklen_t length = 0;
    const struct sockaddr *get() const { return reinterpret_cast<const struct sockaddr *>(&storage); }
};

// A non-blocking TCP socket for address:port, with `out` filled in for connect().
// With avoidTunnel it is kept off tunnel interfaces (see TunnelBypass); -1 when the
// socket cannot be made or that rule cannot be kept.
int prepareSocket(const QHostAddress &address, quint16 port, bool avoidTunnel, const TunnelBypass &bypass, SocketAddress &out);

struct Connection {
    QString remoteAddress; // numeric, without scope
};

// Opens a TCP connection to host:port (each resolved address in turn) and closes it
// again; absent when none could be opened before the deadline. With avoidTunnel,
// the connection never uses a tunnel interface (see TunnelBypass).
std::optional<Connection> connectTcp(const QString &host, quint16 port, bool avoidTunnel, Deadline deadline,
                                     const TunnelBypass &bypass);

} // namespace qor::net
