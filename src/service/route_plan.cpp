#include "route_plan.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace qor::service::route_plan {

namespace {

QString familyOption(bool ipv6)
{
    return ipv6 ? QStringLiteral("-6") : QStringLiteral("-4");
}

QString nftFamily(bool ipv6)
{
    return ipv6 ? QStringLiteral("ip6") : QStringLiteral("ip");
}

QString prefixText(const IpPrefix &prefix)
{
    return prefix.address.toString() + QLatin1Char('/') + QString::number(prefix.length);
}

// The prefix with its host bits cleared: "ip route add" refuses them, and the
// engine's AllowedIPs (which wg-quick reads back) hold only networks.
IpPrefix network(const IpPrefix &prefix)
{
    if (prefix.isIPv6()) {
        const int length = std::clamp(prefix.length, 0, 128);
        Q_IPV6ADDR bytes = prefix.address.toIPv6Address();
        for (int i = 0; i < 16; ++i) {
            const int kept = std::clamp(length - i * 8, 0, 8);
            bytes[i] &= quint8(0xff00 >> kept);
        }
        return {QHostAddress(bytes), length};
    }
    const int length = std::clamp(prefix.length, 0, 32);
    const quint32 mask = length == 0 ? 0 : ~quint32(0) << (32 - length);
    return {QHostAddress(prefix.address.toIPv4Address() & mask), length};
}

// Adding an address puts its subnet's route on the link (an IPv4 /32 gets none);
// a prefix inside it is skipped as wg-quick's "ip route show dev … match" check
// does, since adding it again fails with "File exists".
bool coveredByAddressRoute(const IpPrefix &prefix, const QList<IpPrefix> &addresses)
{
    return std::any_of(addresses.begin(), addresses.end(), [&](const IpPrefix &address) {
        return address.isIPv6() == prefix.isIPv6() && address.length > 0 && address.length <= prefix.length
               && (address.isIPv6() || address.length < 32)
               && prefix.address.isInSubnet(address.address, address.length);
    });
}

// wg-quick's add_default rules, in a table of the service's own name.
QByteArray nftScript(bool ipv6, const QString &link, const QList<IpPrefix> &addresses, bool restoreMarks)
{
    const QString family = nftFamily(ipv6);
    const QString target = family + QLatin1Char(' ') + nftTable;
    QStringList lines{
        QStringLiteral("add table ") + target,
        QStringLiteral("add chain %1 preraw { type filter hook prerouting priority -300; }").arg(target),
        QStringLiteral("add chain %1 premangle { type filter hook prerouting priority -150; }").arg(target),
        QStringLiteral("add chain %1 postmangle { type filter hook postrouting priority -150; }").arg(target),
    };
    // Packets to the tunnel's addresses arriving on another interface are spoofed.
    for (const IpPrefix &address : addresses) {
        if (address.isIPv6() == ipv6)
            lines.append(QStringLiteral("add rule %1 preraw iifname != \"%2\" %3 daddr %4 fib saddr type != local drop")
                             .arg(target, link, family, address.address.toString()));
    }
    // The mark of the engine's UDP flows is restored on their replies, which thus
    // bypass the tunnel's table too.
    if (restoreMarks) {
        lines.append(
            QStringLiteral("add rule %1 postmangle meta l4proto udp mark %2 ct mark set mark").arg(target).arg(table));
        lines.append(QStringLiteral("add rule %1 premangle meta l4proto udp meta mark set ct mark").arg(target));
    }
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

SystemCommand deleteNftTable(bool ipv6, const EnginePaths &paths)
{
    return systemCommand(paths.nft, {QStringLiteral("delete"), QStringLiteral("table"), nftFamily(ipv6), nftTable}, true);
}

SystemCommand deleteRule(bool ipv6, int priority, const EnginePaths &paths)
{
    return systemCommand(paths.ip,
                   {familyOption(ipv6), QStringLiteral("rule"), QStringLiteral("del"), QStringLiteral("priority"),
                    QString::number(priority)},
                   true);
}

SystemCommand flushTable(bool ipv6, const EnginePaths &paths)
{
    return systemCommand(paths.ip, {familyOption(ipv6), QStringLiteral("route"), QStringLiteral("flush"),
                              QStringLiteral("table"), QString::number(table)},
                   true);
}

} // namespace

Plan forConfig(const WgQuickConfig &config, const QString &link, const EnginePaths &paths, bool restoreMarks)
{
    Plan plan;
    QList<QList<SystemCommand>> undoGroups; // one per applied step, reversed at the end
    const QString ip = paths.ip;

    for (const IpPrefix &address : config.addresses)
        plan.apply.append(systemCommand(ip, {familyOption(address.isIPv6()), QStringLiteral("address"), QStringLiteral("add"),
                                       prefixText(address), QStringLiteral("dev"), link}));
    plan.apply.append(systemCommand(ip, {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("mtu"),
                                   QString::number(config.mtu.value_or(defaultMtu)), QStringLiteral("up"),
                                   QStringLiteral("dev"), link}));

    QList<IpPrefix> prefixes;
    for (const WgQuickPeer &peer : config.peers) {
        for (const IpPrefix &allowed : peer.allowedIps) {
            const IpPrefix prefix = network(allowed);
            if (!prefixes.contains(prefix))
                prefixes.append(prefix);
        }
    }
    // Longest prefix first, as wg-quick sorts them.
    std::stable_sort(prefixes.begin(), prefixes.end(),
                     [](const IpPrefix &a, const IpPrefix &b) { return a.length > b.length; });

    const QString tableText = QString::number(table);
    for (const IpPrefix &prefix : prefixes) {
        const bool ipv6 = prefix.isIPv6();
        const QString family = familyOption(ipv6);
        if (!prefix.isDefault()) {
            if (coveredByAddressRoute(prefix, config.addresses))
                continue;
            plan.apply.append(systemCommand(ip, {family, QStringLiteral("route"), QStringLiteral("add"), prefixText(prefix),
                                           QStringLiteral("dev"), link}));
            undoGroups.append({systemCommand(ip,
                                       {family, QStringLiteral("route"), QStringLiteral("del"), prefixText(prefix),
                                        QStringLiteral("dev"), link},
                                       true)});
            continue;
        }
        // Every packet without the engine's mark goes to the tunnel's table, except
        // where the main table holds a narrower route than its default one.
        plan.apply.append(systemCommand(ip, {family, QStringLiteral("rule"), QStringLiteral("add"), QStringLiteral("not"),
                                       QStringLiteral("fwmark"), tableText, QStringLiteral("table"), tableText,
                                       QStringLiteral("priority"), QString::number(tunnelRulePriority)}));
        plan.apply.append(systemCommand(ip, {family, QStringLiteral("rule"), QStringLiteral("add"), QStringLiteral("table"),
                                       QStringLiteral("main"), QStringLiteral("suppress_prefixlength"),
                                       QStringLiteral("0"), QStringLiteral("priority"),
                                       QString::number(suppressRulePriority)}));
        plan.apply.append(systemCommand(ip, {family, QStringLiteral("route"), QStringLiteral("add"), prefixText(prefix),
                                       QStringLiteral("dev"), link, QStringLiteral("table"), tableText}));
        QList<SystemCommand> undo{flushTable(ipv6, paths), deleteRule(ipv6, suppressRulePriority, paths),
                                  deleteRule(ipv6, tunnelRulePriority, paths)};
        if (!paths.nft.isEmpty()) {
            plan.apply.append(systemCommand(paths.nft, {QStringLiteral("-f"), QStringLiteral("-")}, false,
                                      nftScript(ipv6, link, config.addresses, restoreMarks)));
            undo.prepend(deleteNftTable(ipv6, paths));
        }
        undoGroups.append(undo);
    }

    for (auto group = undoGroups.crbegin(); group != undoGroups.crend(); ++group)
        plan.undo.append(*group);
    return plan;
}

bool strictReversePathFilter()
{
    // The filter in force on an interface is the larger of "all" and its own value; 1 is strict.
    const QDir conf(QStringLiteral("/proc/sys/net/ipv4/conf"));
    for (const QString &name : conf.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile value(conf.filePath(name) + QStringLiteral("/rp_filter"));
        if (value.open(QIODevice::ReadOnly) && value.readAll().trimmed() == "1")
            return true;
    }
    return false;
}

QList<SystemCommand> leftovers(const QString &link, const EnginePaths &paths)
{
    QList<SystemCommand> commands{
        systemCommand(paths.ip, {QStringLiteral("link"), QStringLiteral("del"), QStringLiteral("dev"), link}, true)};
    for (const bool ipv6 : {false, true}) {
        commands.append(deleteRule(ipv6, suppressRulePriority, paths));
        commands.append(deleteRule(ipv6, tunnelRulePriority, paths));
        commands.append(flushTable(ipv6, paths));
    }
    if (!paths.nft.isEmpty()) {
        commands.append(deleteNftTable(false, paths));
        commands.append(deleteNftTable(true, paths));
    }
    return commands;
}

} // namespace qor::service::route_plan
