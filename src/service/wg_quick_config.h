#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace qor::service {

// An address with its prefix length ("10.0.0.2/32", "::/0").
struct IpPrefix {
    QHostAddress address;
    int length = 0;
    bool isIPv6() const { return address.protocol() == QAbstractSocket::IPv6Protocol; }
    bool isDefault() const { return length == 0; }
    QString text() const; // "10.0.0.0/8", "::/0"
    bool operator==(const IpPrefix &) const = default;
};

// The AmneziaWG obfuscation parameters of an [Interface] section. The neutral
// values make AmneziaWG speak plain WireGuard.
struct AmneziaParameters {
    int jc = 0, jmin = 0, jmax = 0, s1 = 0, s2 = 0;
    quint32 h1 = 1, h2 = 2, h3 = 3, h4 = 4;
    bool isNeutral() const;
    bool operator==(const AmneziaParameters &) const = default;
};

struct WgQuickPeer {
    QByteArray publicKey;    // 32 bytes
    QByteArray presharedKey; // empty or 32 bytes
    QString endpointHost;    // a name or an address literal (brackets removed)
    quint16 endpointPort = 0;
    QList<IpPrefix> allowedIps; // host bits beyond the prefix cleared, as the engine keeps them
    int persistentKeepalive = 0; // seconds, 0: off
};

// One wg-quick configuration text ([Interface] and [Peer] sections), as the
// reserve channel receives it. Hook commands (PreUp, PostUp, PreDown, PostDown)
// and SaveConfig are accepted and never acted upon: the service runs no
// command a server handed it. Table and FwMark are accepted and ignored too: the
// service routes through a table and mark of its own.
struct WgQuickConfig {
    QByteArray privateKey; // 32 bytes
    std::optional<quint16> listenPort;
    QList<IpPrefix> addresses;
    QList<QHostAddress> dnsServers;
    QStringList dnsSearchDomains;
    std::optional<int> mtu;
    AmneziaParameters amnezia;
    QList<WgQuickPeer> peers;

    // Whether any peer's AllowedIPs holds the default route of that family.
    bool routesAllIPv4() const;
    bool routesAllIPv6() const;

    // The parsed configuration, or the Russian reason it is unusable (shown to the
    // user as part of the connection error, so it never quotes a key).
    static std::variant<WgQuickConfig, QString> parse(const QString &text);
};

} // namespace qor::service
