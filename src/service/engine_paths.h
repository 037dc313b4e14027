#pragma once

#include <QString>
#include <QStringList>

namespace qor::service {

// The programs the service runs, each resolved once at start to an absolute path
// (empty when not installed). Nothing is looked up through PATH later.
struct EnginePaths {
    QString ip;          // iproute2
    QString nft;         // nftables
    QString wireguardGo; // userspace WireGuard
    QString amneziawgGo; // userspace AmneziaWG
    QString xray;        // the main channel's proxy core, preferred
    QString v2ray;       // the main channel's proxy core otherwise (Debian's 4.34)
    QString geosite;     // a geosite.dat either core can read, for company rules by category

    static QStringList defaultSearchPath(); // /usr/local/sbin … /bin
    // The first regular, executable file of each name in the search path; geosite.dat
    // from the cores' usual asset folders.
    static EnginePaths resolve(const QStringList &searchPath = defaultSearchPath());
};

} // namespace qor::service
