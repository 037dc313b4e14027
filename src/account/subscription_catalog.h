#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

namespace qor {

// One directly selectable node of the subscription: the "host:port" of its first
// proxy server and its configuration text, handed on unchanged.
struct DirectNode {
    QString endpoint;
    QString config;
    bool operator==(const DirectNode &) const = default;
};

// Turns the session's server lists into the balancer configuration, the direct
// nodes and the reserve configurations. Pure functions: malformed input degrades
// to an empty result, never an error.
namespace SubscriptionCatalog {

// The entry with this name is the balancer; it is never a direct node.
inline const QString balancerName = QStringLiteral("Qor AI Network");

struct Parsed {
    std::optional<QString> balancerConfig;
    QList<DirectNode> nodes;
};

// xrayConfigsJSON: an array of {"name": text, "config": text}.
Parsed parse(const QString &xrayConfigsJSON);
// "host:port" of the first proxy outbound of one configuration.
std::optional<QString> endpoint(const QString &configJSON);
// awgConfigsJSON: an array of {"server", "host", "conf"}; the non-empty "conf" texts.
QStringList reserveConfigs(const QString &awgConfigsJSON);
// An endpoint's host and port: the port is the text after the last colon (443 when
// there is none or it is not a port number), the host what precedes it, without the
// brackets of "[2001:db8::1]:443"; "2001:db8::1:443" gives the same host and port.
QString host(const QString &endpoint);
quint16 port(const QString &endpoint);
// "Узел NNNN", stable across runs and machines.
QString nodeDisplayLabel(const QString &endpoint);

} // namespace SubscriptionCatalog
} // namespace qor
