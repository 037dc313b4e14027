#include "service/wg_quick_config.h"
#include "service/wireguard_uapi.h"

#include <QRegularExpression>
#include <QTest>

using namespace qor::service;

namespace {

const QString zeroKey = QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
const QString ffKey = QStringLiteral("//////////////////////////////////////////8=");
const QString abKey = QStringLiteral("q6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=");

const QString minimal = QStringLiteral("[Interface]\nPrivateKey = %1\nAddress = 10.0.0.2\n"
                                       "[Peer]\nPublicKey = %2\nEndpoint = 192.0.2.1:51820\nAllowedIPs = 0.0.0.0/0\n")
                            .arg(zeroKey, ffKey);

QString errorOf(const std::variant<WgQuickConfig, QString> &parsed)
{
    const QString *error = std::get_if<QString>(&parsed);
    return error ? *error : QString();
}

QString replaced(const QString &from, const QString &to)
{
    QString text = minimal;
    return text.replace(from, to);
}

} // namespace

class TestWgQuickConfig : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesRealisticConfig()
    {
        const QStringList lines{
            "# exported by a server panel", "[interface]", "PrivateKey=%1",
            "Address = 10.8.0.2/24, fd00:8::2 # both families",
            "DNS = 1.1.1.1,2606:4700:4700::1111, corp.example.com",
            "MTU = 1380", "ListenPort = 0", "Table = off", "PostUp = iptables -A FORWARD -j ACCEPT",
            "Jc = 4", "Jmin = 40", "Jmax = 70", "S1 = 15", "S2 = 68",
            "H1 = 1234567", "H2 = 2", "H3 = 3", "H4 = 4294967295",
            "", "[Peer]", "PublicKey = %2", "PresharedKey = %3", "AllowedIPs = 0.0.0.0/0, 10.1.2.3/16",
            "Endpoint = vpn.example.net:51820", "PersistentKeepalive = 25",
            "[PEER]", "publickey = %3", "allowedips = ::/0", "endpoint = [2001:db8::7]:443",
            "persistentkeepalive = off", ""};
        const auto parsed = WgQuickConfig::parse(QChar(0xFEFF) + lines.join("\r\n").arg(zeroKey, ffKey, abKey));
        QVERIFY2(std::holds_alternative<WgQuickConfig>(parsed), qPrintable(errorOf(parsed)));
        const auto &config = std::get<WgQuickConfig>(parsed);
        QCOMPARE(config.privateKey, QByteArray(32, '\0'));
        QCOMPARE(config.listenPort, std::optional<quint16>(0));
        QCOMPARE(config.addresses,
                 (QList<IpPrefix>{{QHostAddress("10.8.0.2"), 24}, {QHostAddress("fd00:8::2"), 128}}));
        QCOMPARE(config.dnsServers,
                 (QList<QHostAddress>{QHostAddress("1.1.1.1"), QHostAddress("2606:4700:4700::1111")}));
        QCOMPARE(config.dnsSearchDomains, QStringList{"corp.example.com"});
        QCOMPARE(config.mtu, std::optional<int>(1380));
        QVERIFY(config.amnezia == (AmneziaParameters{4, 40, 70, 15, 68, 1234567, 2, 3, 4294967295u}));
        QVERIFY(!config.amnezia.isNeutral());
        QCOMPARE(config.peers.size(), 2);
        const WgQuickPeer &first = config.peers[0];
        QCOMPARE(first.publicKey, QByteArray(32, '\xff'));
        QCOMPARE(first.presharedKey, QByteArray(32, '\xab'));
        QCOMPARE(first.endpointHost, "vpn.example.net");
        QCOMPARE(first.endpointPort, 51820);
        QCOMPARE(first.persistentKeepalive, 25);
        QCOMPARE(first.allowedIps.last().text(), "10.1.0.0/16"); // host bits cleared
        const WgQuickPeer &second = config.peers[1];
        QVERIFY(second.presharedKey.isEmpty());
        QCOMPARE(second.endpointHost, "2001:db8::7");
        QCOMPARE(second.endpointPort, 443);
        QCOMPARE(second.persistentKeepalive, 0);
        QVERIFY(config.routesAllIPv4() && config.routesAllIPv6());
    }

    void rejectsMalformed_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason"); // empty: the text is valid

        QString manyPeers = minimal;
        for (int i = 0; i < 64; ++i)
            manyPeers += QStringLiteral("[Peer]\nPublicKey = %1\nEndpoint = 192.0.2.1:1\n").arg(abKey);

        QTest::newRow("valid") << minimal << QString();
        QTest::newRow("no interface") << minimal.mid(minimal.indexOf("[Peer]")) << "нет секции [Interface]";
        QTest::newRow("no peer") << minimal.left(minimal.indexOf("[Peer]")) << "нет ни одной секции [Peer]";
        QTest::newRow("two interfaces") << minimal + "[Interface]\n" << "[Interface] указана дважды";
        QTest::newRow("outside section") << "MTU = 1400\n" + minimal << "строка вне секции";
        QTest::newRow("unknown key") << replaced("Address", "Adress") << "неизвестный параметр «Adress»";
        QTest::newRow("peer key in interface")
            << replaced("Address = 10.0.0.2", "Address = 10.0.0.2\nEndpoint = 192.0.2.1:1")
            << "неизвестный параметр «Endpoint» в секции [Interface]";
        QTest::newRow("key pasted alone") << minimal + abKey + "\n" << "неизвестный параметр в секции [Peer]";
        QTest::newRow("short key") << replaced(zeroKey, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==")
            << "неверный ключ PrivateKey";
        QTest::newRow("non-canonical key") << replaced(ffKey, ffKey.chopped(2) + "9=") << "неверный ключ PublicKey";
        QTest::newRow("bad psk") << minimal + "PresharedKey = " + abKey.chopped(2) + "!=\n"
            << "неверный ключ PresharedKey";
        QTest::newRow("no address") << replaced("Address = 10.0.0.2\n", "") << "нет адреса туннеля (Address)";
        QTest::newRow("octal-looking ipv4") << replaced("10.0.0.2", "010.0.0.2")
            << "неверный адрес «010.0.0.2» в Address";
        QTest::newRow("prefix too long") << replaced("0.0.0.0/0", "::/0, fd00::/129")
            << "неверный адрес «fd00::/129» в AllowedIPs";
        QTest::newRow("bare ipv6 endpoint") << replaced("192.0.2.1:51820", "2001:db8::1:51820")
            << "неверный Endpoint «2001:db8::1:51820»";
        QTest::newRow("key as endpoint") << replaced("192.0.2.1:51820", abKey) << "неверный Endpoint";
        QTest::newRow("no endpoint") << replaced("Endpoint = 192.0.2.1:51820\n", "") << "у узла нет Endpoint";
        QTest::newRow("duplicate peer") << minimal + "[Peer]\nPublicKey = " + ffKey + "\nEndpoint = 192.0.2.1:1\n"
            << "два узла";
        QTest::newRow("mtu") << replaced("Address", "MTU = 100\nAddress") << "неверное значение «100» параметра MTU";
        QTest::newRow("keepalive") << minimal + "PersistentKeepalive = -1\n" << "параметра PersistentKeepalive";
        QTest::newRow("jmin over jmax") << replaced("Address", "Jc = 3\nJmin = 50\nJmax = 40\nAddress")
            << "Jmin больше Jmax";
        QTest::newRow("65 peers") << manyPeers << "конфигурация слишком велика";
        QTest::newRow("huge text") << minimal + "#" + QString(70000, 'x') << "конфигурация слишком велика";
    }

    void rejectsMalformed()
    {
        QFETCH(QString, text);
        QFETCH(QString, reason);
        const auto parsed = WgQuickConfig::parse(text);
        const QString *error = std::get_if<QString>(&parsed);
        if (reason.isEmpty()) {
            QVERIFY2(!error, qPrintable(errorOf(parsed)));
            QVERIFY(std::get<WgQuickConfig>(parsed).amnezia.isNeutral());
            return;
        }
        QVERIFY(error);
        QVERIFY2(error->contains(reason), qPrintable(*error));
        // A reason reaches the user's screen and reports: it must never carry a key.
        QVERIFY2(!error->contains(QRegularExpression("[A-Za-z0-9+/]{30,}")), qPrintable(*error));
    }

    void setRequestText_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<bool>("withAmnezia");
        QTest::addColumn<quint32>("fwmark");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QByteArray>("peerEndpoint");

        QTest::newRow("plain, ipv6 endpoint")
            << "2001:db8::1" << false << 0u << QByteArray() << QByteArray("[2001:db8::1]:51820");
        QTest::newRow("amnezia, fwmark, v4-mapped")
            << "::ffff:192.0.2.1" << true << 51888u
            << QByteArray("fwmark=51888\njc=3\njmin=10\njmax=50\ns1=0\ns2=0\nh1=1\nh2=2\nh3=3\nh4=4\n")
            << QByteArray("192.0.2.1:51820");
    }

    void setRequestText()
    {
        QFETCH(QString, endpoint);
        QFETCH(bool, withAmnezia);
        QFETCH(quint32, fwmark);
        QFETCH(QByteArray, device);
        QFETCH(QByteArray, peerEndpoint);
        const QString text = replaced("Address", "Jc = 3\nJmin = 10\nJmax = 50\nAddress") + "AllowedIPs = 10.1.2.3/8\n"
                             + "PresharedKey = " + abKey + "\n";
        const auto config = std::get<WgQuickConfig>(WgQuickConfig::parse(text));
        const QByteArray ff = QByteArray("ff").repeated(32);
        const QByteArray expected = "set=1\nprivate_key=" + QByteArray(64, '0') + "\n" + device
            + "replace_peers=true\npublic_key=" + ff + "\npreshared_key=" + QByteArray("ab").repeated(32)
            + "\nendpoint=" + peerEndpoint + "\npersistent_keepalive_interval=0\nreplace_allowed_ips=true\n"
            + "allowed_ip=0.0.0.0/0\nallowed_ip=10.0.0.0/8\n\n";
        QCOMPARE(uapi::setRequest(config, {{QHostAddress(endpoint), 51820}}, fwmark, withAmnezia), expected);
        QCOMPARE(uapi::keepaliveRequest(config.peers[0].publicKey, 25),
                 "set=1\npublic_key=" + ff + "\npersistent_keepalive_interval=25\n\n");
    }

    void parsesAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<int>("error");
        QTest::addColumn<qint64>("handshake");
        QTest::addColumn<quint64>("received");
        QTest::addColumn<quint64>("sent");

        const QByteArray peers = "private_key=" + QByteArray(64, '0') + "\nlisten_port=40000\npublic_key="
            + QByteArray(64, 'f') + "\nendpoint=192.0.2.1:51820\nlast_handshake_time_sec=1700000100\n"
            + "last_handshake_time_nsec=5\nrx_bytes=1000\ntx_bytes=2000\nallowed_ip=0.0.0.0/0\npublic_key="
            + QByteArray(64, 'a') + "\nlast_handshake_time_sec=1700000000\nrx_bytes=24\ntx_bytes=48\n";
        QTest::newRow("two peers")
            << peers + "errno=0\n\n" << true << 0 << qint64(1700000100) << quint64(1024) << quint64(2048);
        QTest::newRow("no errno yet") << peers << false << 0 << qint64(0) << quint64(0) << quint64(0);
        QTest::newRow("errno line cut") << peers + "errno=-2" << false << 0 << qint64(0) << quint64(0) << quint64(0);
        QTest::newRow("negated errno")
            << QByteArray("errno=-22\n\n") << true << 22 << qint64(0) << quint64(0) << quint64(0);
    }

    void parsesAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, complete);
        QFETCH(int, error);
        const auto status = uapi::parseGetAnswer(answer);
        QCOMPARE(status.has_value(), complete);
        QCOMPARE(uapi::parseSetAnswer(answer), complete ? std::optional(error) : std::nullopt);
        if (!complete)
            return;
        QCOMPARE(status->error, error);
        QTEST(status->latestHandshake, "handshake");
        QTEST(status->receivedBytes, "received");
        QTEST(status->sentBytes, "sent");
    }
};

QTEST_GUILESS_MAIN(TestWgQuickConfig)
#include "test_wg_quick_config.moc"
