#include "capture_plan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
    const QList<QHostAddress> outside = s.servers + s.bypass;
    // Captured connections carry the mark in conntrack too: their packets counted on the
    // way in are the tunnel's upload, the core's replies to them its download.
    const QString capture = QStringLiteral("meta mark set %1 ct mark set %1 counter name tunnel_out").arg(mark);
    const QStringList lines{
        QStringLiteral("table inet %1 {").arg(nftTable),
        QStringLiteral("  counter tunnel_out {}"),
        QStringLiteral("  counter tunnel_in {}"),
        QStringLiteral("  set outside4 { type ipv4_addr; flags interval; auto-merge; elements = { %1 } }")
            .arg(elements(localIPv4, outside, false)),
        QStringLiteral("  set outside6 { type ipv6_addr; flags interval; auto-merge; elements = { %1 } }")
            .arg(elements(localIPv6, outside, true)),
        // Only what the output hook marked comes back through the loopback: connections
        // from other hosts to this machine's own services are never taken.
        QStringLiteral("  chain prerouting {"),
        QStringLiteral("    type filter hook prerouting priority mangle; policy accept;"),
        QStringLiteral("    meta mark %1 meta nfproto ipv4 meta l4proto { tcp, udp } tproxy ip to :%2 accept").arg(mark, port),
        QStringLiteral("    meta mark %1 meta nfproto ipv6 meta l4proto { tcp, udp } tproxy ip6 to :%2 accept").arg(mark, port),
        QStringLiteral("  }"),
        // The core's own sockets, its name look-ups included, are told apart by its group;
        // the mark covers its replies sent from captured addresses as well.
        QStringLiteral("  chain output {"),
        QStringLiteral("    type route hook output priority mangle; policy accept;"),
        QStringLiteral("    meta skgid %1 goto core").arg(s.coreGroup),
        QStringLiteral("    meta mark %1 goto core").arg(s.coreMark),
        QStringLiteral("    meta l4proto { tcp, udp } th dport 53 %1 return").arg(capture),
        QStringLiteral("    ip daddr @outside4 return"),
        QStringLiteral("    ip6 daddr @outside6 return"),
        QStringLiteral("    meta l4proto { tcp, udp } %1").arg(capture),
        QStringLiteral("  }"),
        QStringLiteral("  chain core {"),
        QStringLiteral("    ct mark %1 counter name tunnel_in").arg(mark),
        QStringLiteral("    accept"),
        QStringLiteral("  }"),
        QStringLiteral("}"),
    };
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

SystemCommand counterQuery(const EnginePaths &paths)
{
    return systemCommand(paths.nft, {QStringLiteral("-j"), QStringLiteral("list"), QStringLiteral("counters"),
                                     QStringLiteral("table"), QStringLiteral("inet"), nftTable});
}

std::optional<InterfaceCounters> parseCounters(const QByteArray &json)
{
    std::optional<quint64> in, out;
    for (const QJsonValue &entry : QJsonDocument::fromJson(json).object().value("nftables").toArray()) {
        const QJsonObject counter = entry.toObject().value("counter").toObject();
        const auto bytes = quint64(counter.value("bytes").toDouble());
        if (counter.value("name") == QLatin1String("tunnel_in"))
            in = bytes;
        else if (counter.value("name") == QLatin1String("tunnel_out"))
            out = bytes;
    }
    if (!in || !out)
        return std::nullopt;
    return InterfaceCounters{*in, *out};
}

QList<SystemCommand> leftovers(const EnginePaths &paths)
{
    QList<SystemCommand> commands{
        systemCommand(paths.nft, {QStringLiteral("delete"), QStringLiteral("table"), QStringLiteral("inet"), nftTable}, true)};
    commands << localDelivery(paths, false);
    return commands;
}

} // namespace qor::service::capture_plan
