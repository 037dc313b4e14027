#include "capture_plan.h"

namespace qor::service::capture_plan {

namespace {

// Destinations that are never the tunnel's: this machine, its links, multicast and the
// private and shared address ranges of local networks.
const QStringList localIPv4{QStringLiteral("0.0.0.0/8"),      QStringLiteral("10.0.0.0/8"),
                            QStringLiteral("100.64.0.0/10"),  QStringLiteral("127.0.0.0/8"),
                            QStringLiteral("169.254.0.0/16"), QStringLiteral("172.16.0.0/12"),
                            QStringLiteral("192.168.0.0/16"), QStringLiteral("224.0.0.0/4"),
                            QStringLiteral("240.0.0.0/4")};
const QStringList localIPv6{QStringLiteral("::1/128"), QStringLiteral("fc00::/7"), QStringLiteral("fe80::/10"),
                            QStringLiteral("ff00::/8")};

QString elements(QStringList fixed, const QList<QHostAddress> &addresses, bool ipv6)
{
    for (const QHostAddress &address : addresses) {
        if ((address.protocol() == QAbstractSocket::IPv6Protocol) == ipv6)
            fixed << address.toString();
    }
    return fixed.join(QStringLiteral(", "));
}

QList<SystemCommand> localDelivery(const EnginePaths &paths, bool add)
{
    const QString mark = QString::number(captureMark);
    QList<SystemCommand> commands;
    for (const char *family : {"-4", "-6"}) {
        const QString f = QString::fromLatin1(family);
        if (add) {
            commands << systemCommand(paths.ip, {f, QStringLiteral("rule"), QStringLiteral("add"), QStringLiteral("fwmark"), mark,
                                           QStringLiteral("table"), mark, QStringLiteral("priority"),
                                           QString::number(captureRulePriority)});
            commands << systemCommand(paths.ip, {f, QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("local"),
                                           f == QLatin1String("-4") ? QStringLiteral("0.0.0.0/0") : QStringLiteral("::/0"),
                                           QStringLiteral("dev"), QStringLiteral("lo"), QStringLiteral("table"), mark});
        } else {
            commands << systemCommand(paths.ip, {f, QStringLiteral("rule"), QStringLiteral("del"), QStringLiteral("priority"),
                                           QString::number(captureRulePriority)},
                                true);
            commands << systemCommand(paths.ip, {f, QStringLiteral("route"), QStringLiteral("flush"), QStringLiteral("table"), mark},
                                true);
        }
    }
    return commands;
}

} // namespace

QByteArray nftScript(const Settings &s)
{
    const QString mark = QString::number(captureMark);
    const QString port = QString::number(s.tproxyPort);
    const QString core = QString::number(s.coreMark);
    const QList<QHostAddress> outside = s.servers + s.bypass;
    QStringList lines{
        QStringLiteral("table inet %1 {").arg(nftTable),
        QStringLiteral("  counter tunnel_out {}"),
        QStringLiteral("  counter tunnel_in {}"),
        QStringLiteral("  set outside4 { type ipv4_addr; flags interval; auto-merge; elements = { %1 } }")
            .arg(elements(localIPv4, outside, false)),
        QStringLiteral("  set outside6 { type ipv6_addr; flags interval; auto-merge; elements = { %1 } }")
            .arg(elements(localIPv6, outside, true)),
    };
    const QString servers4 = elements({}, s.servers, false), servers6 = elements({}, s.servers, true);
    if (!servers4.isEmpty())
        lines << QStringLiteral("  set servers4 { type ipv4_addr; elements = { %1 } }").arg(servers4);
    if (!servers6.isEmpty())
        lines << QStringLiteral("  set servers6 { type ipv6_addr; elements = { %1 } }").arg(servers6);
    // Only what the output hook marked comes back through the loopback: connections
    // from other hosts to this machine's own services are never taken.
    lines << QStringLiteral("  chain prerouting {")
          << QStringLiteral("    type filter hook prerouting priority mangle; policy accept;")
          << QStringLiteral("    meta mark %1 meta nfproto ipv4 meta l4proto { tcp, udp } tproxy ip to :%2 accept").arg(mark, port)
          << QStringLiteral("    meta mark %1 meta nfproto ipv6 meta l4proto { tcp, udp } tproxy ip6 to :%2 accept").arg(mark, port)
          << QStringLiteral("  }")
          << QStringLiteral("  chain output {")
          << QStringLiteral("    type route hook output priority mangle; policy accept;")
          << QStringLiteral("    meta mark %1 goto core").arg(core)
          << QStringLiteral("    meta l4proto { tcp, udp } th dport 53 meta mark set %1 return").arg(mark)
          << QStringLiteral("    ip daddr @outside4 return")
          << QStringLiteral("    ip6 daddr @outside6 return")
          << QStringLiteral("    meta l4proto { tcp, udp } meta mark set %1").arg(mark)
          << QStringLiteral("  }")
          << QStringLiteral("  chain core {");
    if (!servers4.isEmpty())
        lines << QStringLiteral("    ip daddr @servers4 counter name tunnel_out");
    if (!servers6.isEmpty())
        lines << QStringLiteral("    ip6 daddr @servers6 counter name tunnel_out");
    // The core's own packets leave as they are.
    lines << QStringLiteral("    accept") << QStringLiteral("  }")
          << QStringLiteral("  chain input {")
          << QStringLiteral("    type filter hook input priority mangle; policy accept;");
    if (!servers4.isEmpty())
        lines << QStringLiteral("    ip saddr @servers4 counter name tunnel_in");
    if (!servers6.isEmpty())
        lines << QStringLiteral("    ip6 saddr @servers6 counter name tunnel_in");
    lines << QStringLiteral("  }") << QStringLiteral("}");
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

Plan forSettings(const Settings &settings, const EnginePaths &paths)
{
    Plan plan;
    plan.apply = localDelivery(paths, true);
    plan.apply << systemCommand(paths.nft, {QStringLiteral("-f"), QStringLiteral("-")}, false, nftScript(settings));
    plan.undo = leftovers(paths);
    return plan;
}

QList<SystemCommand> leftovers(const EnginePaths &paths)
{
    QList<SystemCommand> commands{
        systemCommand(paths.nft, {QStringLiteral("delete"), QStringLiteral("table"), QStringLiteral("inet"), nftTable}, true)};
    commands << localDelivery(paths, false);
    return commands;
}

} // namespace qor::service::capture_plan
