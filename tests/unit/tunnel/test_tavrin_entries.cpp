#include "tunnel/tavrin_entries.h"

#include <QHostAddress>
#include <QSet>
#include <QTest>

using namespace qor;

class TestTavrinEntries : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Five distinct entries on reserved example domains and documentation addresses, with
    // 32-byte keys. The server list uses the built-in addresses unless a host has been
    // resolved; hosts of no entry are ignored.
    void entriesAndServerList()
    {
        const auto &e = TavrinEntries::all();
        QCOMPARE(e.size(), 5);
        QSet<QString> hosts;
        QStringList addresses, servers;
        for (const auto &entry : e) {
            hosts.insert(entry.host);
            QVERIFY2(entry.host.endsWith(".example.com") || entry.host.endsWith(".example.net") || entry.host.endsWith(".example.org"),
                     qPrintable(entry.host));
            const QHostAddress ip(entry.ip);
            QCOMPARE(ip.toString(), entry.ip);
            QVERIFY2(ip.isInSubnet(QHostAddress("192.0.2.0"), 24) || ip.isInSubnet(QHostAddress("198.51.100.0"), 24)
                         || ip.isInSubnet(QHostAddress("203.0.113.0"), 24),
                     qPrintable(entry.ip));
            const auto decoded = QByteArray::fromBase64Encoding(entry.pub.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            QVERIFY(entry.pub.size() == 44 && decoded && decoded.decoded.size() == 32);
            addresses.append(entry.ip);
            servers.append(entry.ip + ":8443@" + entry.pub + "@" + entry.host);
        }
        QCOMPARE(hosts.size(), 5);
        QCOMPARE(TavrinEntries::builtInAddresses(), addresses);
        const auto builtIn = TavrinEntries::serverList({});
        QCOMPARE(builtIn.addresses, addresses);
        QCOMPARE(builtIn.text, servers.join(","));

        const QHash<QString, QString> cache{{e[1].host, "203.0.113.200"}, {e[4].host, "2001:db8::5"}, {"unrelated.example.com", "192.0.2.99"}};
        const auto list = TavrinEntries::serverList(cache);
        QCOMPARE(list.addresses, (QStringList{e[0].ip, "203.0.113.200", e[2].ip, e[3].ip, "2001:db8::5"}));
        servers[1] = "203.0.113.200:8443@" + e[1].pub + "@" + e[1].host;
        servers[4] = "2001:db8::5:8443@" + e[4].pub + "@" + e[4].host;
        QCOMPARE(list.text, servers.join(","));
    }
};

QTEST_GUILESS_MAIN(TestTavrinEntries)
#include "test_tavrin_entries.moc"
