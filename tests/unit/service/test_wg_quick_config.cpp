#include "service/wg_quick_config.h"
#include "service/wireguard_uapi.h"

#include <QRegularExpression>
#include <QTest>

using namespace qor::service;

namespace {

// Keys of all zero, all 0xff and all 0xab bytes.
const QString zeroKey = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", ffKey = "//////////////////////////////////////////8=",
              abKey = "q6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=";
const QString minimal = QStringLiteral("[Interface]\nPrivateKey = %1\nAddress = 10.0.0.2\n"
                                       "[Peer]\nPublicKey = %2\nEndpoint = 192.0.2.1:51820\nAllowedIPs = 0.0.0.0/0\n").arg(zeroKey, ffKey);

QString errorOf(const std::variant<WgQuickConfig, QString> &parsed) { return parsed.index() == 1 ? std::get<QString>(parsed) : QString(); }
QString replaced(const QString &from, const QString &to) { return QString(minimal).replace(from, to); }

} // namespace

class TestWgQuickConfig : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesRealisticConfig()
    {
        const QStringList lines{"# exported by a server panel", "[interface]", "PrivateKey=%1", "Address = 10.8.0.2/24, fd00:8::2 # both families",
                                "DNS = 1.1.1.1,2606:4700:4700::1111, corp.example.com", "MTU = 1380", "ListenPort = 0", "Table = off",
                                "PostUp = iptables -A FORWARD -j ACCEPT", "Jc = 4", "Jmin = 40", "Jmax = 70", "S1 = 15", "S2 = 68",
                                "H1 = 1234567", "H2 = 2", "H3 = 3", "H4 = 4294967295", "", "[Peer]", "PublicKey = %2", "PresharedKey = %3",
                                "AllowedIPs = 0.0.0.0/0, 10.1.2.3/16", "Endpoint = vpn.example.net:51820", "PersistentKeepalive = 25",
                                "[PEER]", "publickey = %3", "allowedips = ::/0", "endpoint = [2001:db8::7]:443", "persistentkeepalive = off", ""};
        const auto parsed = WgQuickConfig::parse(QChar(0xFEFF) + lines.join("\r\n").arg(zeroKey, ffKey, abKey));
        QVERIFY2(std::holds_alternative<WgQuickConfig>(parsed), qPrintable(errorOf(parsed)));
        const auto &config = std::get<WgQuickConfig>(parsed);
        QCOMPARE(config.privateKey, QByteArray(32, '\0'));
        QCOMPARE(config.listenPort, std::optional<quint16>(0));
        QCOMPARE(config.addresses, (QList<IpPrefix>{{QHostAddress("10.8.0.2"), 24}, {QHostAddress("fd00:8::2"), 128}}));
        QCOMPARE(config.dnsServers, (QList<QHostAddress>{QHostAddress("1.1.1.1"), QHostAddress("2606:4700:4700::1111")}));
        QCOMPARE(config.dnsSearchDomains, QStringList{"corp.example.com"});
        QCOMPARE(config.mtu, std::optional<int>(1380));
        QVERIFY(config.amnezia == (AmneziaParameters{4, 40, 70, 15, 68, 1234567, 2, 3, 4294967295u}) && !config.amnezia.isNeutral());
        QCOMPARE(config.peers.size(), 2);
        const WgQuickPeer &first = config.peers[0], &second = config.peers[1];
        QVERIFY(first.publicKey == QByteArray(32, '\xff') && first.presharedKey == QByteArray(32, '\xab') && second.presharedKey.isEmpty());
        QCOMPARE(first.endpointHost + ':' + QString::number(first.endpointPort), "vpn.example.net:51820");
        QCOMPARE(second.endpointHost + ':' + QString::number(second.endpointPort), "2001:db8::7:443"); // brackets removed
        QCOMPARE(first.persistentKeepalive, 25);
        QCOMPARE(second.persistentKeepalive, 0);
        QCOMPARE(first.allowedIps.last().text(), "10.1.0.0/16"); // host bits cleared
        QVERIFY(config.routesAllIPv4() && config.routesAllIPv6());
    }

    // A reason reaches the user's screen and reports: it must never carry a key.
    void rejectsMalformed()
    {
        QString manyPeers = minimal;
        for (int i = 0; i < 64; ++i)
            manyPeers += QStringLiteral("[Peer]\nPublicKey = %1\nEndpoint = 192.0.2.1:1\n").arg(abKey);
        const std::pair<QString, QString> rows[] = { // text, a part of the reason (empty: valid)
            {minimal, ""}, {minimal.mid(minimal.indexOf("[Peer]")), "нет секции [Interface]"},
            {minimal.left(minimal.indexOf("[Peer]")), "нет ни одной секции [Peer]"}, {minimal + "[Interface]\n", "[Interface] указана дважды"},
            {"MTU = 1400\n" + minimal, "строка вне секции"}, {replaced("Address", "Adress"), "неизвестный параметр «Adress»"},
            {replaced("Address = 10.0.0.2", "Address = 10.0.0.2\nEndpoint = 192.0.2.1:1"), "неизвестный параметр «Endpoint» в секции [Interface]"},
            {minimal + abKey + "\n", "неизвестный параметр в секции [Peer]"},
            {replaced(zeroKey, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="), "неверный ключ PrivateKey"},
            {replaced(ffKey, ffKey.chopped(2) + "9="), "неверный ключ PublicKey"}, // not canonical
            {minimal + "PresharedKey = " + abKey.chopped(2) + "!=\n", "неверный ключ PresharedKey"},
            {replaced("Address = 10.0.0.2\n", ""), "нет адреса туннеля (Address)"},
            {replaced("10.0.0.2", "010.0.0.2"), "неверный адрес «010.0.0.2» в Address"},
            {replaced("0.0.0.0/0", "::/0, fd00::/129"), "неверный адрес «fd00::/129» в AllowedIPs"},
            {replaced("192.0.2.1:51820", "2001:db8::1:51820"), "неверный Endpoint «2001:db8::1:51820»"},
            {replaced("192.0.2.1:51820", abKey), "неверный Endpoint"}, {replaced("Endpoint = 192.0.2.1:51820\n", ""), "у узла нет Endpoint"},
            {minimal + "[Peer]\nPublicKey = " + ffKey + "\nEndpoint = 192.0.2.1:1\n", "два узла"},
            {replaced("Address", "MTU = 100\nAddress"), "неверное значение «100» параметра MTU"},
            {minimal + "PersistentKeepalive = -1\n", "параметра PersistentKeepalive"},
            {replaced("Address", "Jc = 3\nJmin = 50\nJmax = 40\nAddress"), "Jmin больше Jmax"}, {manyPeers, "конфигурация слишком велика"},
            {minimal + "#" + QString(70000, 'x'), "конфигурация слишком велика"}};
        for (const auto &[text, reason] : rows) {
            const auto parsed = WgQuickConfig::parse(text);
            const QString error = errorOf(parsed);
            QVERIFY2(reason.isEmpty() ? error.isEmpty() && std::get<WgQuickConfig>(parsed).amnezia.isNeutral() : error.contains(reason), qPrintable(reason + ": " + error));
            QVERIFY2(!error.contains(QRegularExpression("[A-Za-z0-9+/]{30,}")), qPrintable(error));
        }
    }

    // The engine gets keys in hex, endpoints as resolved (a v4-mapped one as IPv4), the
    // allowed prefixes with host bits cleared, and the AmneziaWG keys only when asked.
    void setRequestText()
    {
        const QString text = replaced("Address", "Jc = 3\nJmin = 10\nJmax = 50\nAddress") + "AllowedIPs = 10.1.2.3/8\nPresharedKey = " + abKey + "\n";
        const auto config = std::get<WgQuickConfig>(WgQuickConfig::parse(text));
        const QByteArray ff = QByteArray("ff").repeated(32);
        const struct { const char *endpoint; bool withAmnezia; quint32 fwmark; QByteArray device, peerEndpoint; } rows[] = {
            {"2001:db8::1", false, 0, "", "[2001:db8::1]:51820"},
            {"::ffff:192.0.2.1", true, 51888, "fwmark=51888\njc=3\njmin=10\njmax=50\ns1=0\ns2=0\nh1=1\nh2=2\nh3=3\nh4=4\n", "192.0.2.1:51820"}};
        for (const auto &row : rows) {
            QCOMPARE(uapi::setRequest(config, {{QHostAddress(row.endpoint), 51820}}, row.fwmark, row.withAmnezia),
                     "set=1\nprivate_key=" + QByteArray(64, '0') + "\n" + row.device + "replace_peers=true\npublic_key=" + ff
                         + "\npreshared_key=" + QByteArray("ab").repeated(32) + "\nendpoint=" + row.peerEndpoint
                         + "\npersistent_keepalive_interval=0\nreplace_allowed_ips=true\nallowed_ip=0.0.0.0/0\nallowed_ip=10.0.0.0/8\n\n");
        }
        QCOMPARE(uapi::keepaliveRequest(config.peers[0].publicKey, 25), "set=1\npublic_key=" + ff + "\npersistent_keepalive_interval=25\n\n");
    }

    // An answer counts once its errno line is complete; figures are summed over peers.
    void parsesAnswers()
    {
        const QByteArray peers = "private_key=" + QByteArray(64, '0') + "\nlisten_port=40000\npublic_key=" + QByteArray(64, 'f')
            + "\nendpoint=192.0.2.1:51820\nlast_handshake_time_sec=1700000100\nlast_handshake_time_nsec=5\nrx_bytes=1000\ntx_bytes=2000\n"
            + "allowed_ip=0.0.0.0/0\npublic_key=" + QByteArray(64, 'a') + "\nlast_handshake_time_sec=1700000000\nrx_bytes=24\ntx_bytes=48\n";
        for (const QByteArray &incomplete : {peers, peers + "errno=-2"})
            QVERIFY(!uapi::parseGetAnswer(incomplete) && !uapi::parseSetAnswer(incomplete));
        const auto status = uapi::parseGetAnswer(peers + "errno=0\n\n");
        QVERIFY(status && status->error == 0 && status->latestHandshake == 1700000100);
        QVERIFY(status->receivedBytes == 1024 && status->sentBytes == 2048);
        QCOMPARE(uapi::parseGetAnswer("errno=-22\n\n").value_or(uapi::DeviceStatus()).error, 22); // negated
        QCOMPARE(uapi::parseSetAnswer("errno=-22\n\n"), 22);
        QCOMPARE(uapi::parseSetAnswer(peers + "errno=0\n\n"), 0);
    }
};

QTEST_GUILESS_MAIN(TestWgQuickConfig)
#include "test_wg_quick_config.moc"
