#pragma once

#include "wg_quick_config.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>

#include <optional>

namespace qor::service {

// The text protocol of a userspace WireGuard engine's control socket
// (wireguard-go, amneziawg-go): "set=1" and "get=1" requests, each ended by an
// empty line, answered with "key=value" lines and "errno=N".
namespace uapi {

struct ResolvedEndpoint {
    QHostAddress address;
    quint16 port = 0;
};

// The whole configuration as one "set=1" request (replacing every peer), with keys
// in hex. endpoints holds one resolved endpoint per peer, in the peers' order.
// fwmark marks the engine's own packets so they stay outside the tunnel (0: none).
// The AmneziaWG keys are written only when withAmnezia is true.
QByteArray setRequest(const WgQuickConfig &config, const QList<ResolvedEndpoint> &endpoints, quint32 fwmark,
                      bool withAmnezia);

// A "set=1" request that changes one peer's persistent keepalive interval (turning it
// on from 0 makes the engine send a keepalive, and so start a handshake, at once).
QByteArray keepaliveRequest(const QByteArray &publicKey, int seconds);

QByteArray getRequest(); // "get=1\n\n"

// What a "get=1" answer says about the device.
struct DeviceStatus {
    int error = 0;                 // the answer's errno
    qint64 latestHandshake = 0;    // seconds since the epoch of the newest peer handshake, 0: never
    quint64 receivedBytes = 0;     // summed over peers
    quint64 sentBytes = 0;
};

// Absent when the answer is not complete (no "errno=" line yet) or malformed.
std::optional<DeviceStatus> parseGetAnswer(const QByteArray &answer);
// The errno of a "set=1" answer; absent while incomplete.
std::optional<int> parseSetAnswer(const QByteArray &answer);

} // namespace uapi
} // namespace qor::service
