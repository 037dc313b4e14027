#include "tavrin_entries.h"

#include "tavrin_resolver.h"

namespace qor::TavrinEntries {

const QList<Entry> &entries()
{
    static const QList<Entry> list = {
        {QStringLiteral("entry1.tavrin.example.net"), QStringLiteral("hgvXm1Zd9YqDPC0dx5eSosbjJ6DjMWaZhTl9Lak4CLw="),
         QStringLiteral("192.0.2.41")},
        {QStringLiteral("entry2.tavrin.example.net"), QStringLiteral("CkGgE2zTBBjaW+6TQ+k2tN6th03HEQH59awit5ntkXk="),
         QStringLiteral("198.51.100.17")},
        {QStringLiteral("entry3.tavrin.example.net"), QStringLiteral("JPk5rFg21Yjr8UY1JYm/SAccG9E8Ic6wsn/g2b811tE="),
         QStringLiteral("203.0.113.58")},
        {QStringLiteral("entry4.tavrin.example.org"), QStringLiteral("wtgwLyHNC4v1zCkyiwkakT3/GBLrFmuREAEY5pfQYtY="),
         QStringLiteral("192.0.2.142")},
        {QStringLiteral("entry5.tavrin.example.com"), QStringLiteral("hicYWNEQh5oqxMYxQByYcc3/Bc1EkrEORK66X5c5aFg="),
         QStringLiteral("198.51.100.203")},
    };
    return list;
}

ServerList serverList(const TavrinResolver &resolver)
{
    ServerList result;
    QStringList servers;
    for (const Entry &entry : entries()) {
        const QString address = resolver.cachedAddress(entry.host).value_or(entry.ip);
        servers.append(address + QLatin1Char(':') + QString::number(entryPort) + QLatin1Char('@') + entry.pub
                       + QLatin1Char('@') + entry.host);
        result.addresses.append(address);
    }
    result.text = servers.join(QLatin1Char(','));
    return result;
}

QStringList builtInAddresses()
{
    QStringList addresses;
    for (const Entry &entry : entries())
        addresses.append(entry.ip);
    return addresses;
}

} // namespace qor::TavrinEntries
