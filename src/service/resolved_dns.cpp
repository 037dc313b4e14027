#include "resolved_dns.h"

#include "service_log.h"

#include <QCoroDBus>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QtEndian>

#include <sys/socket.h>

namespace qor::service::resolved {

// An element of SetLinkDNS's a(iay).
struct DnsServer {
    int family = AF_INET;
    QByteArray address;
};

// An element of SetLinkDomains's a(sb): the domain without resolvectl's "~", and
// whether it only routes queries (rather than also completing single-label names).
struct DnsDomain {
    QString name;
    bool routingOnly = false;
};

QDBusArgument &operator<<(QDBusArgument &argument, const DnsServer &server)
{
    argument.beginStructure();
    argument << server.family << server.address;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DnsServer &server)
{
    argument.beginStructure();
    argument >> server.family >> server.address;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const DnsDomain &domain)
{
    argument.beginStructure();
    argument << domain.name << domain.routingOnly;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DnsDomain &domain)
{
    argument.beginStructure();
    argument >> domain.name >> domain.routingOnly;
    argument.endStructure();
    return argument;
}

} // namespace qor::service::resolved

Q_DECLARE_METATYPE(qor::service::resolved::DnsServer)
Q_DECLARE_METATYPE(qor::service::resolved::DnsDomain)

namespace qor::service {

namespace {

using resolved::DnsDomain;
using resolved::DnsServer;

const QString resolvedService = QStringLiteral("org.freedesktop.resolve1");
const QString managerPath = QStringLiteral("/org/freedesktop/resolve1");
const QString managerInterface = QStringLiteral("org.freedesktop.resolve1.Manager");
constexpr int callTimeoutMs = 5000;

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<DnsServer>();
        qDBusRegisterMetaType<QList<DnsServer>>();
        qDBusRegisterMetaType<DnsDomain>();
        qDBusRegisterMetaType<QList<DnsDomain>>();
        return true;
    }();
    Q_UNUSED(registered);
}

QList<DnsServer> toDnsServers(const QList<QHostAddress> &servers)
{
    QList<DnsServer> result;
    for (const QHostAddress &server : servers) {
        if (server.protocol() == QAbstractSocket::IPv4Protocol) {
            const quint32 address = qToBigEndian(server.toIPv4Address());
            result.append({AF_INET, QByteArray(reinterpret_cast<const char *>(&address), 4)});
        } else if (server.protocol() == QAbstractSocket::IPv6Protocol) {
            const Q_IPV6ADDR address = server.toIPv6Address();
            result.append({AF_INET6, QByteArray(reinterpret_cast<const char *>(address.c), 16)});
        }
    }
    return result;
}

QList<DnsDomain> toDomains(const QStringList &searchDomains, bool routeAllQueries)
{
    QList<DnsDomain> result;
    for (const QString &domain : searchDomains) {
        // "~name" is resolvectl's notation for a routing-only domain.
        if (domain.startsWith(QLatin1Char('~')))
            result.append({domain.mid(1), true});
        else
            result.append({domain, false});
    }
    // resolvectl's "~.": the root domain, routing only, so every query may go to this link.
    if (routeAllQueries)
        result.append({QStringLiteral("."), true});
    return result;
}

QCoro::Task<bool> call(const QString &method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(resolvedService, managerPath, managerInterface, method);
    message.setArguments(arguments);
    const QDBusPendingCall pending = QDBusConnection::systemBus().asyncCall(message, callTimeoutMs);
    const QDBusMessage reply = co_await pending;
    if (reply.type() == QDBusMessage::ErrorMessage) {
        qCWarning(lcService).noquote() << "systemd-resolved" << method << "failed:" << reply.errorName()
                                       << reply.errorMessage();
        co_return false;
    }
    co_return true;
}

} // namespace

bool ResolvedDns::isAvailable()
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(resolvedService);
    return registered.isValid() && registered.value();
}

QCoro::Task<bool> ResolvedDns::apply(int interfaceIndex, QList<QHostAddress> servers, QStringList searchDomains,
                                     bool routeAllQueries)
{
    registerTypes();
    // The argument lists are built outside the co_await expressions: GCC 12 rejects
    // an initializer_list inside one ("array used as initializer").
    const QVariant link = interfaceIndex;
    const QVariantList dns{link, QVariant::fromValue(toDnsServers(servers))};
    const QVariantList domains{link, QVariant::fromValue(toDomains(searchDomains, routeAllQueries))};
    const QVariantList defaultRoute{link, routeAllQueries};

    if (!co_await call(QStringLiteral("SetLinkDNS"), dns))
        co_return false;
    if (!co_await call(QStringLiteral("SetLinkDomains"), domains))
        co_return false;
    co_return co_await call(QStringLiteral("SetLinkDefaultRoute"), defaultRoute);
}

QCoro::Task<> ResolvedDns::revert(int interfaceIndex)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(resolvedService, managerPath, managerInterface, QStringLiteral("RevertLink"));
    message << interfaceIndex;
    // Nothing to do about a failure: the link is about to vanish, taking its settings along.
    const QDBusPendingCall pending = QDBusConnection::systemBus().asyncCall(message, callTimeoutMs);
    co_await pending;
}

} // namespace qor::service
