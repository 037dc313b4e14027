#pragma once

#include "engine_paths.h"
#include "system_command.h"
#include "wg_quick_config.h"

#include <QList>

namespace qor::service {

// What the reserve channel's tunnel does to the machine's network, as wg-quick does
// it: the interface's addresses and MTU, a route for every AllowedIPs prefix and,
// for a default route, policy routing — a table of its own reached by every packet
// without the engine's firewall mark, the main table consulted first for anything
// more specific than a default route, and nftables rules that keep the marks on
// the engine's UDP flows and drop spoofed packets to the tunnel's addresses.
// Every object carries a name or number of its own, so a crashed run's leftovers
// are found and removed without touching anything else.
namespace route_plan {

inline const QString reserveLink = QStringLiteral("qor-reserve");
inline constexpr quint32 table = 51888;          // also the engine's firewall mark
inline constexpr int suppressRulePriority = 31100; // "table main suppress_prefixlength 0"
inline constexpr int tunnelRulePriority = 31101;   // "not fwmark <table> table <table>"
inline const QString nftTable = QStringLiteral("qor-connectd");
inline constexpr int defaultMtu = 1420;

struct Plan {
    QList<SystemCommand> apply; // in order; the link exists and is up before them
    QList<SystemCommand> undo;  // reverses apply (every step mayFail)
};

// Addresses, MTU, routes, rules and the nftables table for the configuration on link.
// restoreMarks adds the rules that put the engine's mark back on the replies of its
// UDP flows, which a strict reverse-path filter needs; they make the kernel track
// every connection, which costs about a tenth of the tunnel's throughput, so they are
// left out where no interface filters strictly.
Plan forConfig(const WgQuickConfig &config, const QString &link, const EnginePaths &paths, bool restoreMarks = true);

// Whether the kernel's reverse-path filter is strict on any IPv4 interface.
bool strictReversePathFilter();

// Removes whatever a run on link may have left (the link itself, both families'
// rules of the priorities above, the table's routes, the nftables tables); every
// step mayFail.
QList<SystemCommand> leftovers(const QString &link, const EnginePaths &paths);

} // namespace route_plan
} // namespace qor::service
