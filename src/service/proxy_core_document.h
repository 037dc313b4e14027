#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>
#include <QVariantMap>

#include <variant>

namespace qor::service {

// The Xray-compatible program that runs the main channel: xray when installed,
// else Debian's v2ray 4.34, which lacks REALITY, XTLS flows, gRPC, XHTTP and more.
enum class ProxyCore { Xray, V2Ray };

struct CaptureSettings {
    quint16 tproxyPort = 52345;   // the dokodemo-door inbound nftables sends captured traffic to
    quint32 outboundMark = 51889; // SO_MARK on every outbound socket of the core, so its own traffic is never captured
    // A geosite.dat the core can read, empty when none is installed. The core looks
    // for "geosite.dat" in its asset directory, so the caller runs it with
    // V2RAY_LOCATION_ASSET / XRAY_LOCATION_ASSET set to this file's folder.
    QString geositePath;
    // The servers' addresses as the service looked them up, by the names the document uses.
    QHash<QString, QHostAddress> serverAddresses;
};

// The document the core runs: the given one, its outbounds, routing and DNS kept, with what
// transparent capture and the company policy need added; or the Russian reason it cannot run
// on this core (naming what to install).
//
// Added: the "qor-capture" inbound on tproxyPort; the mark on every outbound; a "qor-dns"
// outbound taking captured port-53 traffic to the core's own DNS (its other queries chained
// through the default outbound, so none leave beside the tunnel); "qor-block" when the policy
// blocks anything. A document without DNS servers gets 8.8.8.8, which the core queries
// through its default outbound, never directly. Tags taken by the document get a suffix.
//
// policy: "allow_domains", "block_domains", "block_geosite" (string lists), "block_torrent"
// (bool), and "doh", "doh_host", "doh_ip" together (a DoH URL placed first among the DNS
// servers, its host pinned to that address so it needs no other resolver).
std::variant<QByteArray, QString> coreDocument(const QString &configContent, ProxyCore core,
                                               const QVariantMap &policy, const CaptureSettings &capture);

} // namespace qor::service
