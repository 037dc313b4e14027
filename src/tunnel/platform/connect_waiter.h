#pragma once

#include "tcp_connect.h"

#include <QFuture>

#include <chrono>
#include <memory>
#include <optional>

namespace qor::net {

// Opens a TCP connection to one of the addresses (tried in turn, like connectTcp)
// and closes it again, without holding a thread while it waits. Each socket is set
// up and started on the network pool; every connection in flight is then watched
// by one shared thread (epoll), which notes the moment it opens, moves on to the
// next address when it fails, and gives up at the deadline. Any number of attempts
// may wait at once: only the process's descriptor limit bounds them.
//
// Resolves with the time from just before the first connect() to the connection
// being open, or absent when none opened before the deadline. With avoidTunnel the
// connection never uses a tunnel interface (see TunnelBypass).
QFuture<std::optional<std::chrono::nanoseconds>> openTcpAsync(QList<QHostAddress> addresses, quint16 port, bool avoidTunnel,
                                                               Deadline deadline, std::shared_ptr<const TunnelBypass> bypass);

} // namespace qor::net
