#include "tavrin_entries.h"

namespace qor {

const QList<TavrinEntries::Entry> &TavrinEntries::all()
{
    // Product data of this build: reserved example domains and documentation
    // addresses, never real third-party hosts.
    static const QList<Entry> entries{
        {QStringLiteral("t1.tavrin.example.com"), QStringLiteral("tU62rNIw7rLQtITyzpkZUBeLUb3sRhw60KpxwAk6wDE="),
         QStringLiteral("192.0.2.41")},
        {QStringLiteral("t2.tavrin.example.net"), QStringLiteral("ApTMkqEUL0bOKLmmSypY5B6h6UFMrOQ+ju3JR28bLBc="),
         QStringLiteral("198.51.100.42")},
        {QStringLiteral("t3.tavrin.example.org"), QStringLiteral("rE2hobk+sYg5HxiyfaMWwULhHbG3WU7zauUyZt5dW2M="),
         QStringLiteral("203.0.113.43")},
        {QStringLiteral("t4.tavrin.example.com"), QStringLiteral("MvRbREh1MO64y/86v/qPE4546FeaewYvJiXrARo+Gko="),
         QStringLiteral("192.0.2.44")},
        {QStringLiteral("t5.tavrin.example.net"), QStringLiteral("Kb02CIhpZP9djm3+O4rh1II5PKoAZ8WR/itJGGTu320="),
         QStringLiteral("198.51.100.45")},
    };
    return entries;
}

TavrinEntries::ServerList TavrinEntries::serverList(const QHash<QString, QString> &resolved, const QList<Entry> &entries)
{
    ServerList list;
    QStringList servers;
    for (const Entry &entry : entries) {
        const QString address = resolved.value(entry.host, entry.ip);
        servers.append(address + QStringLiteral(":8443@") + entry.pub + QLatin1Char('@') + entry.host);
        list.addresses.append(address);
    }
    list.text = servers.join(QLatin1Char(','));
    return list;
}

QStringList TavrinEntries::builtInAddresses(const QList<Entry> &entries)
{
    QStringList addresses;
    for (const Entry &entry : entries)
        addresses.append(entry.ip);
    return addresses;
}

} // namespace qor
