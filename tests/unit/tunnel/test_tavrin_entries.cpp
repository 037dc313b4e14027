#include "tunnel/tavrin_entries.h"

#include <QHostAddress>
#include <QSet>
#include <QTest>

using namespace qor;

class TestTavrinEntries : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void fiveWellFormedEntries()
    {
        const auto &entries = TavrinEntries::all();
        QCOMPARE(entries.size(), 5);
        QSet<QString> hosts;
        for (const auto &entry : entries) {
            hosts.insert(entry.host);
            // Reserved example domains and documentation addresses only.
            QVERIFY2(entry.host.endsWith(".example.com") || entry.host.endsWith(".example.net")
                         || entry.host.endsWith(".example.org"),
                     qPrintable(entry.host));
            const QHostAddress ip(entry.ip);
            QCOMPARE(ip.protocol(), QAbstractSocket::IPv4Protocol);
            QCOMPARE(ip.toString(), entry.ip);
            QVERIFY2(ip.isInSubnet(QHostAddress("192.0.2.0"), 24) || ip.isInSubnet(QHostAddress("198.51.100.0"), 24)
                         || ip.isInSubnet(QHostAddress("203.0.113.0"), 24),
                     qPrintable(entry.ip));
            QCOMPARE(entry.pub.size(), 44);
            QVERIFY(entry.pub.endsWith("=") && !entry.pub.endsWith("=="));
            const auto decoded = QByteArray::fromBase64Encoding(entry.pub.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            QVERIFY(decoded);
            QCOMPARE(decoded.decoded.size(), 32);
        }
        QCOMPARE(hosts.size(), 5);
    }

    // Built-in addresses unless a host has been resolved; hosts of no entry are ignored.
    void serverListUsesResolvedAddresses()
    {
        const auto &e = TavrinEntries::all();
        QCOMPARE(TavrinEntries::builtInAddresses(),
                 (QStringList{"192.0.2.41", "198.51.100.42", "203.0.113.43", "192.0.2.44", "198.51.100.45"}));
        const auto builtIn = TavrinEntries::serverList({});
        QCOMPARE(builtIn.addresses, TavrinEntries::builtInAddresses());
        QStringList expected;
        for (const auto &entry : e)
            expected.append(entry.ip + ":8443@" + entry.pub + "@" + entry.host);
        QCOMPARE(builtIn.text, expected.join(","));
        QCOMPARE(builtIn.text.section(',', 0, 0),
                 QStringLiteral("192.0.2.41:8443@tU62rNIw7rLQtITyzpkZUBeLUb3sRhw60KpxwAk6wDE=@t1.tavrin.example.com"));

        const QHash<QString, QString> cache{{e[1].host, "203.0.113.200"}, {e[4].host, "2001:db8::5"},
                                            {"unrelated.example.com", "192.0.2.99"}};
        const auto list = TavrinEntries::serverList(cache);
        QCOMPARE(list.addresses, (QStringList{e[0].ip, "203.0.113.200", e[2].ip, e[3].ip, "2001:db8::5"}));
        expected[1] = "203.0.113.200:8443@" + e[1].pub + "@" + e[1].host;
        expected[4] = "2001:db8::5:8443@" + e[4].pub + "@" + e[4].host;
        QCOMPARE(list.text, expected.join(","));
    }
};

QTEST_GUILESS_MAIN(TestTavrinEntries)
#include "test_tavrin_entries.moc"
