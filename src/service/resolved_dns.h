#pragma once

#include <QCoroTask>
#include <QHostAddress>
#include <QList>
#include <QStringList>

namespace qor::service {

// DNS for a tunnel interface through systemd-resolved (org.freedesktop.resolve1 on
// the system bus), as "resolvectl dns/domain/default-route" would set it.
class ResolvedDns {
public:
    // Whether systemd-resolved runs (its name has an owner on the system bus).
    static bool isAvailable();

    // Sets the link's DNS servers and search domains; with routeAllQueries the link
    // also gets the "~." routing domain and becomes the default DNS route, so every
    // query goes to these servers. False when resolved refused or did not answer.
    static QCoro::Task<bool> apply(int interfaceIndex, QList<QHostAddress> servers, QStringList searchDomains,
                                   bool routeAllQueries);

    // Drops every setting of the link (RevertLink); never fails.
    static QCoro::Task<> revert(int interfaceIndex);
};

} // namespace qor::service
