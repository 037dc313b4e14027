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

    static QStringList defaultSearchPath(); // /usr/local/sbin … /bin
    // The first regular, executable file of each name in the search path.
    static EnginePaths resolve(const QStringList &searchPath = defaultSearchPath());
};

} // namespace qor::service
