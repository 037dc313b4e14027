#include "proxy_servers.h"

#include <QSet>

namespace qor::service {

namespace {

const QSet<QString> proxyProtocols{"vless", "vmess", "trojan", "shadowsocks", "socks", "http"};

const char *serverList(const QString &protocol)
{
    return protocol == QLatin1String("vless") || protocol == QLatin1String("vmess") ? "vnext" : "servers";
}

// Sets object[key] to value unless it holds a non-empty text or list already.
void setIfEmpty(QJsonObject &object, const QString &key, const QJsonValue &value)
{
    const QJsonValue current = object.value(key);
    if (current.toString().isEmpty() && current.toArray().isEmpty())
        object.insert(key, value);
}

} // namespace

std::variant<QList<ProxyServer>, QString> proxyServers(const QJsonArray &outbounds)
{
    QList<ProxyServer> servers;
    bool tunnelled = false;
    for (const QJsonValue &value : outbounds) {
        const QJsonObject outbound = value.toObject();
        const QString protocol = outbound.value("protocol").toString().toLower();
        // Xray's WireGuard outbound names its peers' endpoints its own way; its traffic is the core's like any other.
        tunnelled = tunnelled || protocol == QLatin1String("wireguard");
        if (!proxyProtocols.contains(protocol))
            continue;
        for (const QJsonValue &entry : outbound.value("settings").toObject().value(serverList(protocol)).toArray()) {
            const QJsonObject server = entry.toObject();
            const QString host = server.value("address").toString().trimmed();
            if (host.isEmpty())
                return QStringLiteral("у сервера нет адреса");
            const QJsonValue port = server.value("port");
            const double number = port.isString() ? port.toString().toDouble() : port.toDouble(-1);
            if (number < 1 || number > 65535 || number != int(number))
                return QStringLiteral("порт сервера «%1» вне диапазона 1–65535").arg(host.left(64));
            servers.append({host, int(number)});
        }
    }
    if (servers.isEmpty() && !tunnelled)
        return QStringLiteral("нет исходящего соединения через прокси-сервер");
    return servers;
}

QJsonObject withPinnedServers(QJsonObject outbound, const QHash<QString, QHostAddress> &addresses)
{
    const QString protocol = outbound.value("protocol").toString().toLower();
    if (!proxyProtocols.contains(protocol))
        return outbound;
    const QString list = QString::fromLatin1(serverList(protocol));
    QJsonObject settings = outbound.value("settings").toObject();
    QJsonArray servers = settings.value(list).toArray();
    QString name; // the first server's, for the transport (one server per outbound in practice)
    for (qsizetype i = 0; i < servers.size(); ++i) {
        QJsonObject server = servers.at(i).toObject();
        const QString host = server.value("address").toString().trimmed();
        const auto address = addresses.constFind(host);
        if (address == addresses.constEnd() || !QHostAddress(host).isNull())
            continue;
        if (name.isEmpty())
            name = host;
        server.insert("address", address->toString());
        servers.replace(i, server);
    }
    settings.insert(list, servers);
    outbound.insert("settings", settings);
    if (name.isEmpty())
        return outbound;

    QJsonObject stream = outbound.value("streamSettings").toObject();
    const QString security = stream.value("security").toString().toLower();
    if (security == QLatin1String("tls") || security == QLatin1String("xtls") || security == QLatin1String("reality")) {
        QJsonObject tls = stream.value(security + QStringLiteral("Settings")).toObject();
        setIfEmpty(tls, QStringLiteral("serverName"), name);
        stream.insert(security + QStringLiteral("Settings"), tls);
    }
    const QString network = stream.value("network").toString().toLower();
    if (network == QLatin1String("ws") || network == QLatin1String("websocket")) {
        QJsonObject ws = stream.value("wsSettings").toObject();
        QJsonObject headers = ws.value("headers").toObject();
        if (!headers.contains("Host") && ws.value("host").toString().isEmpty()) {
            headers.insert("Host", name);
            ws.insert("headers", headers);
        }
        stream.insert("wsSettings", ws);
    } else if (network == QLatin1String("h2") || network == QLatin1String("http")) {
        QJsonObject http = stream.value("httpSettings").toObject();
        setIfEmpty(http, QStringLiteral("host"), QJsonArray{name});
        stream.insert("httpSettings", http);
    } else if (network == QLatin1String("httpupgrade") || network == QLatin1String("xhttp") || network == QLatin1String("splithttp")) {
        const QString key = network + QStringLiteral("Settings");
        QJsonObject http = stream.value(key).toObject();
        setIfEmpty(http, QStringLiteral("host"), name);
        stream.insert(key, http);
    }
    if (!stream.isEmpty())
        outbound.insert("streamSettings", stream);
    return outbound;
}

} // namespace qor::service
