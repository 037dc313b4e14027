#pragma once

#include "engine_paths.h"
#include "system_command.h"

#include "tunnel/platform/interface_counters.h"

#include <QHostAddress>
#include <QList>

namespace qor::service {

// Transparent capture for the main channel: every TCP and UDP packet of the machine
// goes to the proxy core's TPROXY inbound, except what must stay outside — loopback,
// link-local, multicast and local-network destinations, the proxy servers themselves,
// the addresses the caller names (the Tavrin client's entries) and the core's own
// sockets (the core runs in a group of its own, and marks its sockets). DNS is captured whatever its destination, so a
// resolver on the local network is no way around the tunnel. IPv6 is captured as IPv4 is.
//
// Locally generated packets are marked in the output hook, which sends them through
// the loopback into the prerouting hook, where TPROXY hands them to the core; nothing
// that arrives from elsewhere is taken, so this machine's own services stay reachable. Named
// counters count what the captured connections send ("tunnel_out") and receive ("tunnel_in").
namespace capture_plan {

inline const QString nftTable = QStringLiteral("qor-capture");
inline constexpr quint32 captureMark = 51890;  // also the table that delivers marked packets locally
inline constexpr int captureRulePriority = 31200;

struct Settings {
    quint16 tproxyPort = 52345;
    quint32 coreMark = 51889;       // the mark on the core's own sockets
    uint coreGroup = 51889;         // the group the core runs in
    QList<QHostAddress> servers;    // the proxy servers the core connects to
    QList<QHostAddress> bypass;     // further destinations left outside
};

struct Plan {
    QList<SystemCommand> apply;
    QList<SystemCommand> undo; // every step mayFail
};

Plan forSettings(const Settings &settings, const EnginePaths &paths);

// The nftables script of forSettings (for a check without applying it: nft -c -f -).
QByteArray nftScript(const Settings &settings);

// Lists the table's counters as JSON, and reads that list: received is what the
// captured connections got, sent what they sent.
SystemCommand counterQuery(const EnginePaths &paths);
std::optional<InterfaceCounters> parseCounters(const QByteArray &json);

// Removes whatever a run may have left; every step mayFail.
QList<SystemCommand> leftovers(const EnginePaths &paths);

} // namespace capture_plan
} // namespace qor::service
