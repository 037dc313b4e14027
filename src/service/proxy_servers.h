#pragma once

#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <variant>

namespace qor::service {

// A server a proxy outbound connects to, as the document names it.
struct ProxyServer {
    QString host;
    int port = 0;
};

// The servers of the outbounds that go through a proxy ("vnext" or "servers" entries);
// or the Russian detail of why the outbounds cannot carry traffic: none goes through a proxy,
// a server has no address, or a port lies outside 1–65535.
std::variant<QList<ProxyServer>, QString> proxyServers(const QJsonArray &outbounds);

// The outbound with each server name replaced by its looked-up address, so the core never
// needs the system resolver for its servers (its queries would meet the capture). The
// name stays where the server expects it: TLS server name, WebSocket and HTTP hosts.
QJsonObject withPinnedServers(QJsonObject outbound, const QHash<QString, QHostAddress> &addresses);

} // namespace qor::service
