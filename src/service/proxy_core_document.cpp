#include "proxy_core_document.h"

#include "proxy_servers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

namespace qor::service {

namespace {

using Result = std::variant<QByteArray, QString>;

QString broken(const QString &detail)
{
    return QStringLiteral("конфигурация основного канала повреждена: ") + detail;
}

QString needsXray(const QString &what, const QString &value)
{
    return QStringLiteral("%1 «%2» не поддерживается ядром v2ray — установите xray").arg(what, value.left(40));
}

// What v2ray 4.34 builds (infra/conf: outbound loaders, TransportProtocol, StreamConfig).
const QSet<QString> v2rayOutbounds{"blackhole", "freedom", "http",    "shadowsocks", "socks",
                                   "vless",     "vmess",   "trojan",  "mtproto",     "dns"};
const QSet<QString> v2rayNetworks{"tcp", "kcp", "mkcp", "ws", "websocket", "h2", "http", "ds", "domainsocket", "quic"};

// Why v2ray could not run this outbound as written, if it could not.
std::optional<QString> v2rayGap(const QJsonObject &outbound)
{
    const QString protocol = outbound.value("protocol").toString().toLower();
    if (!v2rayOutbounds.contains(protocol))
        return needsXray(QStringLiteral("протокол"), protocol);
    const QJsonObject stream = outbound.value("streamSettings").toObject();
    const QString network = stream.value("network").toString().toLower();
    if (!network.isEmpty() && !v2rayNetworks.contains(network))
        return needsXray(QStringLiteral("транспорт"), network);
    // v2ray silently drops a security layer it does not know and would connect without it.
    const QString security = stream.value("security").toString().toLower();
    if (!security.isEmpty() && security != "none" && security != "tls")
        return needsXray(QStringLiteral("защита"), security);
    // Likewise a flow: the server expects Vision framing the client would not speak.
    const QJsonObject settings = outbound.value("settings").toObject();
    for (const char *list : {"vnext", "servers"}) {
        for (const QJsonValue &server : settings.value(list).toArray()) {
            QJsonArray accounts = server.toObject().value("users").toArray();
            accounts.append(server);
            for (const QJsonValue &account : std::as_const(accounts)) {
                const QString flow = account.toObject().value("flow").toString();
                if (!flow.isEmpty())
                    return needsXray(QStringLiteral("поток"), flow);
            }
        }
    }
    return std::nullopt;
}

bool isIpAddress(const QString &text)
{
    unsigned char address[16];
    const QByteArray bytes = text.toLatin1();
    return inet_pton(AF_INET, bytes.constData(), address) == 1 || inet_pton(AF_INET6, bytes.constData(), address) == 1;
}

bool objectOrAbsent(const QJsonValue &value)
{
    return value.isObject() || value.isUndefined() || value.isNull();
}

bool arrayOrAbsent(const QJsonValue &value)
{
    return value.isArray() || value.isUndefined() || value.isNull();
}

// A port field: a number, or a string like "1080", "1000-2000", "80,443,8000-8100".
bool portsInclude(const QJsonValue &value, int port)
{
    if (value.isDouble())
        return value.toInt() == port;
    const QStringList parts = value.toString().split(',', Qt::SkipEmptyParts);
    return std::any_of(parts.begin(), parts.end(), [port](const QString &part) {
        bool fromOk = false, toOk = false;
        const int from = part.section('-', 0, 0).trimmed().toInt(&fromOk);
        const int to = part.contains('-') ? part.section('-', 1).trimmed().toInt(&toOk) : (toOk = fromOk, from);
        return fromOk && toOk && from <= port && port <= to;
    });
}

// Plain names match their subdomains too; entries the core already understands pass as they are.
QJsonArray domainEntries(const QStringList &names)
{
    static const QStringList prefixes{"domain:", "full:", "regexp:", "keyword:", "geosite:"};
    QJsonArray entries;
    for (QString name : names) {
        name = name.trimmed();
        if (std::any_of(prefixes.begin(), prefixes.end(), [&name](const QString &p) { return name.startsWith(p); })) {
            entries.append(name);
            continue;
        }
        if (name.startsWith(QLatin1String("*.")))
            name.remove(0, 2);
        else if (name.startsWith('.'))
            name.remove(0, 1);
        if (!name.isEmpty())
            entries.append(QStringLiteral("domain:") + name.toLower());
    }
    return entries;
}

QJsonArray geositeEntries(const QStringList &categories)
{
    QJsonArray entries;
    for (QString category : categories) {
        category = category.trimmed();
        if (category.startsWith(QLatin1String("geosite:")))
            category.remove(0, 8);
        if (!category.isEmpty())
            entries.append(QStringLiteral("geosite:") + category);
    }
    return entries;
}

QJsonObject withMark(QJsonObject outbound, quint32 mark)
{
    QJsonObject stream = outbound.value("streamSettings").toObject();
    QJsonObject sockopt = stream.value("sockopt").toObject();
    sockopt.insert("mark", double(mark));
    stream.insert("sockopt", sockopt);
    outbound.insert("streamSettings", stream);
    return outbound;
}

} // namespace

Result coreDocument(const QString &configContent, ProxyCore core, const QVariantMap &policy,
                    const CaptureSettings &capture)
{
    QJsonParseError parseError;
    const QJsonDocument parsed = QJsonDocument::fromJson(configContent.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return broken(QStringLiteral("ошибка JSON на позиции %1").arg(parseError.offset));
    if (!parsed.isObject())
        return broken(QStringLiteral("ожидался объект JSON"));
    QJsonObject root = parsed.object();
    const QJsonArray givenOutbounds = root.value("outbounds").toArray();
    if (givenOutbounds.isEmpty())
        return broken(QStringLiteral("нет исходящих соединений (outbounds)"));
    QJsonObject routing = root.value("routing").toObject();
    QJsonObject dns = root.value("dns").toObject();
    if (!arrayOrAbsent(root.value("inbounds")) || !objectOrAbsent(root.value("routing"))
        || !objectOrAbsent(root.value("dns")) || !arrayOrAbsent(routing.value("rules"))
        || !arrayOrAbsent(routing.value("balancers")) || !arrayOrAbsent(dns.value("servers"))
        || !objectOrAbsent(dns.value("hosts")))
        return broken(QStringLiteral("разделы inbounds, routing или dns неверного вида"));

    QSet<QString> tags;
    QJsonArray inbounds = root.value("inbounds").toArray();
    for (const QJsonValue &inbound : std::as_const(inbounds)) {
        if (portsInclude(inbound.toObject().value("port"), capture.tproxyPort))
            return QStringLiteral("порт перехвата %1 занят конфигурацией").arg(capture.tproxyPort);
        tags.insert(inbound.toObject().value("tag").toString());
    }
    for (const QJsonValue &balancer : routing.value("balancers").toArray())
        tags.insert(balancer.toObject().value("tag").toString());
    for (const QJsonValue &outbound : givenOutbounds) {
        const QJsonObject object = outbound.toObject();
        if (!outbound.isObject() || !objectOrAbsent(object.value("streamSettings"))
            || !objectOrAbsent(object.value("streamSettings").toObject().value("sockopt")))
            return broken(QStringLiteral("исходящее соединение неверного вида"));
        if (core == ProxyCore::V2Ray) {
            if (const auto gap = v2rayGap(object))
                return *gap;
        }
        tags.insert(object.value("tag").toString());
    }
    const auto proxies = proxyServers(givenOutbounds);
    if (const QString *error = std::get_if<QString>(&proxies))
        return broken(*error);
    auto claim = [&tags](const QString &base) {
        QString tag = base;
        for (int n = 2; tags.contains(tag); ++n)
            tag = QStringLiteral("%1-%2").arg(base).arg(n);
        tags.insert(tag);
        return tag;
    };

    const QString doh = policy.value("doh").toString();
    const QString dohHost = policy.value("doh_host").toString();
    const QString dohIp = policy.value("doh_ip").toString();
    const int dohParts = int(!doh.isEmpty()) + int(!dohHost.isEmpty()) + int(!dohIp.isEmpty());
    if (dohParts != 0 && (dohParts != 3 || !isIpAddress(dohIp)))
        return QStringLiteral("правила компании повреждены: doh, doh_host и doh_ip (IP-адрес) задаются вместе");
    const QJsonArray geosite = geositeEntries(policy.value("block_geosite").toStringList());
    if (!geosite.isEmpty() && capture.geositePath.isEmpty())
        return QStringLiteral("правила компании требуют базу geosite — установите пакет с geosite.dat"
                              " (например, v2ray-domain-list-community; в Debian 12 такого пакета нет)");
    const QJsonArray allowed = domainEntries(policy.value("allow_domains").toStringList());
    const QJsonArray blocked = domainEntries(policy.value("block_domains").toStringList());
    const bool blockTorrent = policy.value("block_torrent").toBool();

    QJsonArray outbounds = givenOutbounds;
    QJsonObject first = outbounds.first().toObject();
    QString defaultTag = first.value("tag").toString();
    if (defaultTag.isEmpty()) {
        defaultTag = claim(QStringLiteral("qor-proxy"));
        first.insert("tag", defaultTag);
        outbounds.replace(0, first);
    }
    const QString captureTag = claim(QStringLiteral("qor-capture"));
    const QString dnsTag = claim(QStringLiteral("qor-dns"));
    // Queries the core does not answer itself (not A/AAAA) go on through the default
    // outbound rather than straight to the resolver the application asked.
    outbounds.append(
        QJsonObject{{"tag", dnsTag}, {"protocol", "dns"}, {"proxySettings", QJsonObject{{"tag", defaultTag}}}});
    QString blockTag;
    if (!blocked.isEmpty() || !geosite.isEmpty() || blockTorrent) {
        blockTag = claim(QStringLiteral("qor-block"));
        outbounds.append(QJsonObject{{"tag", blockTag}, {"protocol", "blackhole"}});
    }
    for (qsizetype i = 0; i < outbounds.size(); ++i)
        outbounds.replace(i, withMark(withPinnedServers(outbounds.at(i).toObject(), capture.serverAddresses), capture.outboundMark));
    root.insert("outbounds", outbounds);

    // Go cores listen on the unspecified IPv4 address with one dual-stack socket (IPv4-only
    // where IPv6 is off), so this one inbound takes both families; a second one on "::"
    // would clash with it. Xray puts this mark on its UDP replies to captured sockets too,
    // so those are not captured again.
    inbounds.append(QJsonObject{
        {"tag", captureTag},
        {"port", capture.tproxyPort},
        {"listen", "0.0.0.0"},
        {"protocol", "dokodemo-door"},
        {"settings", QJsonObject{{"network", "tcp,udp"}, {"followRedirect", true}}},
        {"streamSettings",
         QJsonObject{{"sockopt", QJsonObject{{"tproxy", "tproxy"}, {"mark", double(capture.outboundMark)}}}}},
        {"sniffing", QJsonObject{{"enabled", true}, {"destOverride", QJsonArray{"http", "tls"}}}},
    });
    root.insert("inbounds", inbounds);

    QJsonArray rules{QJsonObject{
        {"type", "field"}, {"inboundTag", QJsonArray{captureTag}}, {"port", "53"}, {"outboundTag", dnsTag}}};
    auto addRule = [&rules](const char *field, const QJsonArray &values, const QString &outboundTag) {
        if (!values.isEmpty())
            rules.append(QJsonObject{{"type", "field"}, {field, values}, {"outboundTag", outboundTag}});
    };
    addRule("domain", allowed, defaultTag);
    addRule("domain", blocked, blockTag);
    addRule("domain", geosite, blockTag);
    if (blockTorrent)
        addRule("protocol", QJsonArray{"bittorrent"}, blockTag);
    for (const QJsonValue &rule : routing.value("rules").toArray())
        rules.append(rule);
    routing.insert("rules", rules);
    root.insert("routing", routing);

    // Without servers the core would ask the system resolver, whose queries are captured again.
    QJsonArray servers = dns.value("servers").toArray();
    if (!doh.isEmpty()) {
        servers.prepend(QJsonObject{{"address", doh}});
        QJsonObject hosts = dns.value("hosts").toObject();
        hosts.insert(dohHost, dohIp);
        dns.insert("hosts", hosts);
    }
    if (servers.isEmpty())
        servers.append("8.8.8.8");
    dns.insert("servers", servers);
    root.insert("dns", dns);

    // The core runs as root: the document names no files for it to write.
    const QString level = root.value("log").toObject().value("loglevel").toString();
    root.insert("log", QJsonObject{{"loglevel", level.isEmpty() ? QStringLiteral("warning") : level}});

    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

} // namespace qor::service
