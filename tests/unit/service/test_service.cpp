// What the tunnel service accepts and makes of it: profile documents, who may bring a tunnel up (a fake polkit
// authority on the wrapper's private bus), wg-quick texts, engine requests, route and capture commands, the proxy core's document.

#include "service/authorizer.h"
#include "service/capture_plan.h"
#include "service/proxy_core_document.h"
#include "service/request_validation.h"
#include "service/route_plan.h"
#include "service/wg_quick_config.h"
#include "service/wireguard_uapi.h"
#include "tunnel/provider_identifiers.h"

#include <QCoroTask>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <unistd.h>

using namespace qor;
using namespace qor::service;

namespace {

// Answers CheckAuthorization as told and remembers what it was asked.
class FakeAuthority final : public QDBusVirtualObject {
public:
    struct { bool authorized, challenge, dismissed; } answer{};
    QStringList asked; // subject kind, subject name, action, flags

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QDBusArgument subject = message.arguments().at(0).value<QDBusArgument>();
        QString kind;
        QVariantMap details;
        subject.beginStructure();
        subject >> kind >> details;
        subject.endStructure();
        asked = {kind, details.value("name").toString(), message.arguments().at(1).toString(), QString::number(message.arguments().at(3).toUInt())};
        QDBusArgument result;
        result.beginStructure();
        result << answer.authorized << answer.challenge;
        result << (answer.dismissed ? QMap<QString, QString>{{"polkit.dismissed", "true"}} : QMap<QString, QString>{});
        result.endStructure();
        connection.send(message.createReply(QVariant::fromValue(result)));
        return true;
    }
};

QString profileDocument(const QVariantMap &configuration, const QString &identifier = reserveProviderIdentifier(), const QString &id = {})
{
    VpnProfile profile;
    profile.id = id;
    profile.protocol = TunnelProviderProtocol{identifier, "Qor Reserve", configuration};
    return QJsonDocument(profile.toJson()).toJson(QJsonDocument::Compact);
}

const EnginePaths paths{"/sbin/ip", "/sbin/nft", {}, {}, {}, {}, {}};
const QString testLink = QStringLiteral("qor-test");

const capture_plan::Settings captureSettings{52345, 51889, 51889, {QHostAddress("192.0.2.2"), QHostAddress("2001:db8::2")},
                                             {QHostAddress("198.51.100.7")}};

QList<IpPrefix> prefixes(const QStringList &texts)
{
    QList<IpPrefix> result;
    for (const QString &text : texts)
        result.append({QHostAddress(text.section('/', 0, 0)), text.section('/', 1).toInt()});
    return result;
}

WgQuickConfig config(const QStringList &addresses, const QStringList &allowedIps)
{
    WgQuickConfig config;
    config.addresses = prefixes(addresses);
    config.peers = {WgQuickPeer{{}, {}, {}, 0, prefixes(allowedIps), 0}};
    return config;
}

// Each command as "ip|nft arg…" (the program's directory dropped), mayFail as a trailing "?".
QStringList texts(const QList<SystemCommand> &commands)
{
    QStringList result;
    for (const auto &command : commands)
        result.append(command.text().mid(QStringLiteral("/sbin/").size()) + (command.mayFail ? "?" : ""));
    return result;
}

// Keys of all zero, all 0xff and all 0xab bytes.
const QString zeroKey = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", ffKey = "//////////////////////////////////////////8=",
              abKey = "q6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=";
const QString minimal = QStringLiteral("[Interface]\nPrivateKey = %1\nAddress = 10.0.0.2\n"
                                       "[Peer]\nPublicKey = %2\nEndpoint = 192.0.2.1:51820\nAllowedIPs = 0.0.0.0/0\n").arg(zeroKey, ffKey);

QString errorOf(const std::variant<WgQuickConfig, QString> &parsed) { return parsed.index() == 1 ? std::get<QString>(parsed) : QString(); }
QString replaced(const QString &from, const QString &to) { return QString(minimal).replace(from, to); }

const QString vlessDocument = QStringLiteral(R"({"log": {"loglevel": "warning"},
  "inbounds": [{"tag": "socks-in", "port": 10808, "listen": "127.0.0.1", "protocol": "socks", "settings": {"udp": true}}],
  "outbounds": [{"tag": "proxy", "protocol": "vless", "settings": {"vnext": [{"address": "edge.example.net", "port": 443,
                 "users": [{"id": "b831381d-6324-4d53-ad4f-8cda48b30811", "encryption": "none"}]}]},
     "streamSettings": {"network": "ws", "security": "tls", "tlsSettings": {"serverName": "edge.example.net"},
                        "wsSettings": {"path": "/ray"}, "sockopt": {"tcpFastOpen": true}}},
    {"tag": "direct", "protocol": "freedom", "settings": {}}, {"tag": "block", "protocol": "blackhole", "settings": {}}],
  "routing": {"domainStrategy": "AsIs", "rules": [{"type": "field", "ip": ["10.0.0.0/8"], "outboundTag": "direct"}]}})");

// Untagged default outbound, and a tag the service would otherwise use.
const QString vmessDocument = QStringLiteral(R"({"outbounds": [{"protocol": "vmess", "settings": {"vnext": [{"address": "203.0.113.7",
    "port": 8443, "users": [{"id": "5783a3e7-e373-51cd-8642-c83782b807c5", "alterId": 0, "security": "auto"}]}]}},
    {"tag": "qor-dns", "protocol": "freedom"}], "dns": {"servers": ["1.1.1.1"]},
  "routing": {"rules": [{"type": "field", "domain": ["domain:example.org"], "outboundTag": "qor-dns"}]}})");

const QVariantMap fullPolicy{
    {"allow_domains", QStringList{"Intranet.Corp.Example", "full:portal.corp.example"}},
    {"block_domains", QStringList{"*.casino.example", "keyword:tracker", " "}},
    {"block_geosite", QStringList{"category-ads-all", "geosite:category-porn"}},
    {"block_torrent", true}, {"doh", "https://dns.corp.example/dns-query"}, {"doh_host", "dns.corp.example"}, {"doh_ip", "10.1.2.3"}};

QString withOutbound(const QString &outbound, const QString &inbounds = "[]") { return R"({"inbounds": )" + inbounds + R"(, "outbounds": [)" + outbound + "]}"; }

const QString realityOutbound = R"({"protocol": "vless", "settings": {"vnext": [{"address": "r.example", "port": 443}]},
    "streamSettings": {"network": "tcp", "security": "reality"}})";
const QString visionOutbound = R"({"protocol": "vless", "settings": {"vnext": [{"address": "v.example", "port": 443,
    "users": [{"id": "x", "flow": "xtls-rprx-vision"}]}]}})";

QJsonObject parsed(const std::variant<QByteArray, QString> &result)
{
    if (const auto *reason = std::get_if<QString>(&result))
        qWarning("refused: %s", qPrintable(*reason));
    return QJsonDocument::fromJson(std::get_if<QByteArray>(&result) ? std::get<QByteArray>(result) : "").object();
}

QJsonValue json(const char *text) { return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().first(); }

QStringList tagsOf(const QJsonArray &items, const char *key = "tag")
{
    QStringList tags;
    for (const QJsonValue &item : items)
        tags.append(item[key].toString());
    return tags;
}

// Runs a checking program on `input` as its standard input: empty when it accepts, else what it printed.
QByteArray refusal(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process; // its destructor ends a program that hangs
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool accepted = process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return accepted ? QByteArray() : "refused: " + process.readAll();
}

} // namespace

class TestService : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Profile documents a tunnel may be started with, and who may start one.
    void tunnelRequests()
    {
        const QVariantMap one{{"wgQuickConfigs", QStringList{"[Interface]"}}};
        const QStringList many(request_validation::maxConfigurations + 1, "[Interface]");
        const QString main = mainProviderIdentifier(), reserve = reserveProviderIdentifier();
        const std::pair<QString, QString> rows[] = { // document, a part of the refusal (empty: accepted)
            {profileDocument(one), ""}, {profileDocument({{"configContent", "{}"}}, main), ""},
            {profileDocument(one, reserve, "0f8fad5b-d9cb-469f-a165-70867728950e"), ""}, {"{", "не JSON-объект"},
            {profileDocument(one, "org.example.tunnel"), "неизвестный провайдер"}, {profileDocument(one, reserve, "../../etc/passwd"), "идентификатор"},
            {profileDocument({{"wgQuickConfigs", QVariantList{5}}}), "неверная конфигурация"},
            {profileDocument({{"wgQuickConfigs", "x"}}), "не список"}, {profileDocument({{"wgQuickConfigs", many}}), "слишком много конфигураций"},
            {profileDocument({{"wgQuickConfigs", QStringList{QString(request_validation::maxConfigurationBytes + 1, 'x')}}}), "неверная конфигурация"},
            {profileDocument({{"configContent", QString(1024 * 1024, 'x')}}, main), "слишком большой"}};
        for (const auto &[document, error] : rows) {
            const auto checked = request_validation::profileDocument(document);
            const QString refusal = checked.index() == 1 ? std::get<QString>(checked) : "accepted";
            QVERIFY2(error.isEmpty() ? refusal == "accepted" : refusal.contains(error), qPrintable(refusal));
        }

        // Root needs no polkit; a dismissed dialog may still be answered later; no authority, no tunnel.
        const Authorizer authorizer(QDBusConnection::sessionBus());
        const auto checkNow = [&](uint uid, bool interactive) { return QCoro::waitFor(authorizer.check(":1.42", uid, interactive)); };
        QDBusConnection authorityBus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "authority");
        FakeAuthority authority;
        QVERIFY(authorityBus.registerVirtualObject("/org/freedesktop/PolicyKit1/Authority", &authority));
        QVERIFY(authorityBus.registerService("org.freedesktop.PolicyKit1"));
        using enum Authorizer::Outcome;
        const struct { const char *name; uint uid; bool authorized, challenge, dismissed; Authorizer::Outcome outcome; } answers[] = {
            {"root", 0, false, false, false, Allowed}, {"allowed user", 1000, true, false, false, Allowed},
            {"authentication wanted", 1000, false, true, false, NeedsAuthentication},
            {"dialog dismissed", 1000, false, false, true, NeedsAuthentication}, {"refused", 1000, false, false, false, Denied}};
        for (const auto &row : answers) {
            authority.answer = {row.authorized, row.challenge, row.dismissed};
            authority.asked.clear();
            QVERIFY2(checkNow(row.uid, true) == row.outcome, row.name);
            const QStringList asked{"system-bus-name", ":1.42", "com.qorvpn.connect.manage-tunnels", "1"}; // flag 1: the user may be asked
            QCOMPARE(authority.asked, row.uid == 0 ? QStringList() : asked);
        }
        authorityBus.unregisterService("org.freedesktop.PolicyKit1");
        authorityBus.unregisterObject("/org/freedesktop/PolicyKit1/Authority");
        QDBusConnection::disconnectFromBus("authority");
        QCOMPARE(checkNow(1000, false), Denied);
    }

    // A wg-quick text as exported by server panels, the engine's requests made of it and its answers.
    void wireGuard()
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
        QVERIFY(first.persistentKeepalive == 25 && second.persistentKeepalive == 0); // "off" is 0
        QCOMPARE(first.allowedIps.last().text(), "10.1.0.0/16"); // host bits cleared
        QVERIFY(config.routesAllIPv4() && config.routesAllIPv6());

        // Malformed texts: a reason reaches the user's screen and reports, so it must never carry a key.
        const QString manyPeers = minimal + QStringLiteral("[Peer]\nPublicKey = %1\nEndpoint = 192.0.2.1:1\n").arg(abKey).repeated(64);
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
            const auto result = WgQuickConfig::parse(text);
            const QString error = errorOf(result);
            const bool expected = reason.isEmpty() ? error.isEmpty() && std::get<WgQuickConfig>(result).amnezia.isNeutral() : error.contains(reason);
            QVERIFY2(expected, qPrintable(reason + ": " + error));
            QVERIFY2(!error.contains(QRegularExpression("[A-Za-z0-9+/]{30,}")), qPrintable(error));
        }

        // Endpoints as resolved (a v4-mapped one as IPv4); the AmneziaWG keys only for an engine that knows them.
        const QString withPsk = replaced("Address", "Jc = 3\nJmin = 10\nJmax = 50\nAddress") + "AllowedIPs = 10.1.2.3/8\nPresharedKey = " + abKey + "\n";
        const auto engineConfig = std::get<WgQuickConfig>(WgQuickConfig::parse(withPsk));
        const QByteArray ff = QByteArray("ff").repeated(32);
        const struct { const char *endpoint; bool withAmnezia; quint32 fwmark; QByteArray device, peerEndpoint; } requests[] = {
            {"2001:db8::1", false, 0, "", "[2001:db8::1]:51820"},
            {"::ffff:192.0.2.1", true, 51888, "fwmark=51888\njc=3\njmin=10\njmax=50\ns1=0\ns2=0\nh1=1\nh2=2\nh3=3\nh4=4\n", "192.0.2.1:51820"}};
        for (const auto &row : requests) {
            QCOMPARE(uapi::setRequest(engineConfig, {{QHostAddress(row.endpoint), 51820}}, row.fwmark, row.withAmnezia),
                     "set=1\nprivate_key=" + QByteArray(64, '0') + "\n" + row.device + "replace_peers=true\npublic_key=" + ff
                         + "\npreshared_key=" + QByteArray("ab").repeated(32) + "\nendpoint=" + row.peerEndpoint
                         + "\npersistent_keepalive_interval=0\nreplace_allowed_ips=true\nallowed_ip=0.0.0.0/0\nallowed_ip=10.0.0.0/8\n\n");
        }
        QCOMPARE(uapi::keepaliveRequest(engineConfig.peers[0].publicKey, 25), "set=1\npublic_key=" + ff + "\npersistent_keepalive_interval=25\n\n");

        // An answer counts once its errno line is complete; figures are summed over peers.
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

    void routePlans()
    {
        auto wg = config({"10.0.0.2/32", "fd00::2/128"}, {"0.0.0.0/0", "::/0"});
        wg.mtu = 1280;
        const auto plan = route_plan::forConfig(wg, testLink, paths);
        QCOMPARE(texts(plan.apply), (QStringList{
            "ip -4 address add 10.0.0.2/32 dev qor-test", "ip -6 address add fd00::2/128 dev qor-test", "ip link set mtu 1280 up dev qor-test",
            "ip -4 rule add not fwmark 51888 table 51888 priority 31101", "ip -4 rule add table main suppress_prefixlength 0 priority 31100",
            "ip -4 route add 0.0.0.0/0 dev qor-test table 51888", "nft -f -",
            "ip -6 rule add not fwmark 51888 table 51888 priority 31101", "ip -6 rule add table main suppress_prefixlength 0 priority 31100",
            "ip -6 route add ::/0 dev qor-test table 51888", "nft -f -"}));
        const QString ipv4Script = QString::fromUtf8(plan.apply[6].input);
        const QString ipv6Script = QString::fromUtf8(plan.apply[10].input);
        QVERIFY(ipv4Script.startsWith("add table ip qor-connectd\n") && !ipv4Script.contains("fd00"));
        QVERIFY(ipv4Script.contains("add rule ip qor-connectd preraw iifname != \"qor-test\" ip daddr 10.0.0.2 fib saddr type != local drop\n"));
        QVERIFY(ipv4Script.contains("postmangle meta l4proto udp mark 51888 ct mark set mark\n"));
        QVERIFY(ipv6Script.contains("preraw iifname != \"qor-test\" ip6 daddr fd00::2 fib") && !ipv6Script.contains("10.0.0.2"));
        // Without a strict reverse-path filter nothing needs connection tracking.
        const QString untracked = QString::fromUtf8(route_plan::forConfig(wg, testLink, paths, false).apply[6].input);
        QVERIFY(untracked.contains("preraw") && !untracked.contains("ct mark"));

        QCOMPARE(texts(plan.undo), (QStringList{"nft delete table ip6 qor-connectd?", "ip -6 route flush table 51888?",
                                                "ip -6 rule del priority 31100?", "ip -6 rule del priority 31101?",
                                                "nft delete table ip qor-connectd?", "ip -4 route flush table 51888?",
                                                "ip -4 rule del priority 31100?", "ip -4 rule del priority 31101?"}));
        // After a crash the service removes the link and whatever the undo of this widest plan would.
        QStringList leftovers = texts(route_plan::leftovers(testLink, paths)), undo = texts(plan.undo);
        QCOMPARE(leftovers.takeFirst(), "ip link del dev qor-test?");
        leftovers.sort();
        undo.sort();
        QCOMPARE(leftovers, undo);

        // Without nft the same plan less its nft steps.
        const auto withoutNft = route_plan::forConfig(wg, testLink, EnginePaths{paths.ip, {}, {}, {}, {}, {}, {}});
        QCOMPARE(texts(withoutNft.apply), texts(plan.apply).filter(QRegularExpression("^ip ")));
        QCOMPARE(texts(withoutNft.undo), texts(plan.undo).filter(QRegularExpression("^ip ")));

        // Only prefixes outside the tunnel's own subnet get a route in the main table, longest first, each once.
        const struct { QStringList addresses, allowedIps, routes; } rows[] = {
            {{"10.0.0.2/32"}, {"10.1.2.3/8", "10.0.0.0/8", "2001:db8::1/32"}, {"2001:db8::/32", "10.0.0.0/8"}},
            {{"10.8.0.2/24", "fd00::2/64"}, {"10.8.0.0/24", "10.8.0.1/32", "10.9.0.0/16", "fd00::1/128"}, {"10.9.0.0/16"}}};
        for (const auto &row : rows) {
            const auto routed = route_plan::forConfig(config(row.addresses, row.allowedIps), testLink, paths);
            QStringList added, deleted;
            for (const QString &route : row.routes) {
                const QString family = route.contains(':') ? "-6" : "-4";
                added.append(QString("ip %1 route add %2 dev qor-test").arg(family, route));
                deleted.prepend(QString("ip %1 route del %2 dev qor-test?").arg(family, route));
            }
            QCOMPARE(texts(routed.apply).mid(row.addresses.size() + 1), added);
            QCOMPARE(texts(routed.undo), deleted);
            QCOMPARE(routed.apply.constLast().program, paths.ip); // no nft
        }
    }

    // What capture leaves outside; the core's own packets are never marked, DNS always is.
    void capture()
    {
        const QString script = QString::fromUtf8(capture_plan::nftScript(captureSettings));
        for (const char *outside : {"127.0.0.0/8", "192.168.0.0/16", "192.0.2.2", "198.51.100.7", "fe80::/10", "2001:db8::2"})
            QVERIFY2(script.contains(QLatin1String(outside)), outside);
        QVERIFY(script.contains("meta skgid 51889 goto core") && script.contains("meta mark 51889 goto core"));
        QVERIFY(script.indexOf("th dport 53") < script.indexOf("ip daddr @outside4 return"));
        const auto plan = capture_plan::forSettings(captureSettings, paths);
        QCOMPARE(plan.apply.first().arguments.join(' '), "-4 rule add fwmark 51890 table 51890 priority 31200");
        QCOMPARE(plan.apply.last().input, capture_plan::nftScript(captureSettings));
        QVERIFY(std::all_of(plan.undo.begin(), plan.undo.end(), [](const SystemCommand &c) { return c.mayFail; }));

        // The core's document gets the capture inbound (tags it took get a suffix); what it had stays.
        const struct { QString document; QStringList outboundTags, ruleTargets; QJsonArray dnsServers; } rows[] = {
            {vlessDocument, {"proxy", "direct", "block", "qor-dns"}, {"qor-dns", "direct"}, {"8.8.8.8"}},
            {vmessDocument, {"qor-proxy", "qor-dns", "qor-dns-2"}, {"qor-dns-2", "qor-dns"}, {"1.1.1.1"}}};
        const QJsonValue captureInbound = json(R"({"tag": "qor-capture", "port": 40000, "listen": "0.0.0.0", "protocol": "dokodemo-door",
            "settings": {"network": "tcp,udp", "followRedirect": true}, "streamSettings": {"sockopt": {"tproxy": "tproxy", "mark": 77}},
            "sniffing": {"enabled": true, "destOverride": ["http", "tls"]}})");
        for (const auto &row : rows) {
            const QJsonObject given = QJsonDocument::fromJson(row.document.toUtf8()).object();
            const QJsonObject result = parsed(coreDocument(row.document, ProxyCore::V2Ray, {}, {40000, 77, {}, {}}));
            QCOMPARE(result["inbounds"].toArray(), given["inbounds"].toArray() + captureInbound);

            const QJsonArray outbounds = result["outbounds"].toArray();
            QCOMPARE(tagsOf(outbounds), row.outboundTags);
            for (const QJsonValue &outbound : outbounds)
                QCOMPARE(outbound["streamSettings"]["sockopt"]["mark"].toInt(), 77);
            QCOMPARE(outbounds.last()["protocol"].toString(), "dns");
            QCOMPARE(outbounds.last()["proxySettings"]["tag"].toString(), row.outboundTags.first());
            const QJsonValue firstGiven = given["outbounds"][0];
            QCOMPARE(outbounds[0]["settings"], firstGiven["settings"]);
            QCOMPARE(outbounds[0]["streamSettings"]["sockopt"]["tcpFastOpen"], firstGiven["streamSettings"]["sockopt"]["tcpFastOpen"]);

            const QJsonArray rules = result["routing"]["rules"].toArray();
            QCOMPARE(tagsOf(rules, "outboundTag"), row.ruleTargets);
            QCOMPARE(rules.first()["inboundTag"].toArray(), QJsonArray{"qor-capture"});
            QCOMPARE(rules.first()["port"].toString(), "53");
            QCOMPARE(rules.last(), given["routing"]["rules"].toArray().last());
            QCOMPARE(result["dns"]["servers"].toArray(), row.dnsServers);
        }
    }

    void nftablesAcceptsTheCaptureScript()
    {
        if (::geteuid() != 0 || !QFile::exists("/usr/sbin/nft"))
            QSKIP("checking an nftables script needs root and nft");
        QCOMPARE(refusal("unshare", {"-n", "/usr/sbin/nft", "-c", "-f", "-"}, capture_plan::nftScript(captureSettings)), QByteArray());
    }

    // A program that cannot start is -1 with its reason kept; a run stops at the first failure of a command that may not fail.
    void runCommand()
    {
        const std::tuple<SystemCommand, int, QByteArray> rows[] = {
            {{"/bin/grep", {"-qx", "line"}, "line\n"}, 0, ""}, {{"/bin/grep", {"-qx", "line"}, "other\n"}, 1, ""},
            {{"/bin/cat", {"/nonexistent/qor-test"}, {}}, 1, "No such file"}, {{"/nonexistent/qor-test", {}, {}}, -1, "No such file"}};
        for (const auto &[command, exitCode, standardError] : rows) {
            const auto result = QCoro::waitFor(qor::service::runCommand(command));
            QVERIFY2(result.ok == (exitCode == 0) && result.exitCode == exitCode, qPrintable(command.text()));
            QVERIFY2(result.standardError.contains(standardError), result.standardError.constData());
        }
        const SystemCommand missing{"/nonexistent/qor-test", {}, {}};
        SystemCommand missingMayFail = missing;
        missingMayFail.mayFail = true;
        const auto result = QCoro::waitFor(runCommands({missingMayFail, {"/bin/false", {}, {}}, missing}));
        QVERIFY(!result.ok && result.exitCode == 1); // neither missing program's -1
        QVERIFY(QCoro::waitFor(runCommands({missingMayFail, {"/bin/true", {}, {}}})).ok);
    }

    // The company's rules come first after DNS; then the document's own.
    void proxyCoreDocuments()
    {
        const CaptureSettings capture{52345, 51889, "/usr/share/v2ray/geosite.dat", {}};
        const QJsonObject result = parsed(coreDocument(vlessDocument, ProxyCore::Xray, fullPolicy, capture));
        QCOMPARE(result["routing"]["rules"], json(R"([
            {"type": "field", "inboundTag": ["qor-capture"], "port": "53", "outboundTag": "qor-dns"},
            {"type": "field", "domain": ["domain:intranet.corp.example", "full:portal.corp.example"], "outboundTag": "proxy"},
            {"type": "field", "domain": ["domain:casino.example", "keyword:tracker"], "outboundTag": "qor-block"},
            {"type": "field", "domain": ["geosite:category-ads-all", "geosite:category-porn"], "outboundTag": "qor-block"},
            {"type": "field", "protocol": ["bittorrent"], "outboundTag": "qor-block"},
            {"type": "field", "ip": ["10.0.0.0/8"], "outboundTag": "direct"}])"));
        QCOMPARE(result["routing"]["domainStrategy"].toString(), "AsIs");
        QCOMPARE(result["outbounds"].toArray().last()["protocol"].toString(), "blackhole");
        QCOMPARE(result["dns"], (QJsonObject{{"servers", QJsonArray{QJsonObject{{"address", "https://dns.corp.example/dns-query"}}}},
                                             {"hosts", QJsonObject{{"dns.corp.example", "10.1.2.3"}}}}));

        // The core connects where the service looked up, under the server's name; as root it writes no log files.
        const QString document = QStringLiteral(R"({"log": {"loglevel": "info", "access": "/etc/motd"}, "outbounds": [
            {"protocol": "vless", "settings": {"vnext": [{"address": "n.example", "port": 443, "users": [{"id": "x"}]}]},
             "streamSettings": {"network": "ws", "security": "tls"}},
            {"protocol": "trojan", "settings": {"servers": [{"address": "t.example", "port": 443}]},
             "streamSettings": {"security": "tls", "tlsSettings": {"serverName": "front.example"}}}]})");
        CaptureSettings pinning;
        pinning.serverAddresses = {{"n.example", QHostAddress("192.0.2.7")}, {"t.example", QHostAddress("2001:db8::8")}};
        const QJsonObject pinned = parsed(coreDocument(document, ProxyCore::V2Ray, {}, pinning));
        const QJsonArray outbounds = pinned["outbounds"].toArray();
        QCOMPARE(outbounds[0]["settings"]["vnext"][0]["address"].toString(), "192.0.2.7");
        QCOMPARE(outbounds[0]["streamSettings"]["tlsSettings"]["serverName"].toString(), "n.example");
        QCOMPARE(outbounds[0]["streamSettings"]["wsSettings"]["headers"]["Host"].toString(), "n.example");
        QCOMPARE(outbounds[1]["settings"]["servers"][0]["address"].toString(), "2001:db8::8");
        QCOMPARE(outbounds[1]["streamSettings"]["tlsSettings"]["serverName"].toString(), "front.example");
        QCOMPARE(pinned["log"].toObject(), (QJsonObject{{"loglevel", "info"}}));

        // What cannot run says why, naming what to install.
        const QString needsXray = "не поддерживается ядром v2ray — установите xray";
        const auto xray = ProxyCore::Xray, v2ray = ProxyCore::V2Ray;
        const struct { QString document; ProxyCore core; QVariantMap policy; QString reason; } rows[] = { // reason empty: accepted
            {withOutbound(realityOutbound), v2ray, {}, needsXray}, {withOutbound(realityOutbound), xray, {}, ""},
            {withOutbound(visionOutbound), v2ray, {}, needsXray},
            {withOutbound(R"({"protocol": "trojan", "streamSettings": {"network": "grpc"}})"), v2ray, {}, "транспорт «grpc» " + needsXray},
            {withOutbound(R"({"protocol": "wireguard"})"), v2ray, {}, "протокол «wireguard» " + needsXray},
            {R"({"outbounds": [)", xray, {}, "повреждена"}, {"[]", xray, {}, "повреждена"}, {R"({"outbounds": []})", xray, {}, "повреждена"},
            {vlessDocument, xray, {{"block_geosite", QStringList{"ads"}}}, "установите пакет с geosite.dat"}, // with one: above
            {withOutbound(R"({"protocol": "freedom"})", R"([{"port": "52000-53000"}])"), xray, {}, "порт перехвата 52345 занят"},
            {withOutbound(R"({"protocol": "trojan", "settings": {"servers": [{"address": "t", "port": 70000}]}})"), xray, {}, "вне диапазона 1–65535"},
            {withOutbound(R"({"protocol": "freedom"})"), xray, {}, "нет исходящего соединения через прокси-сервер"},
            {vlessDocument, xray, {{"doh", "https://d.example/q"}}, "правила компании повреждены"}};
        for (const auto &row : rows) {
            const auto refused = coreDocument(row.document, row.core, row.policy, {});
            const QString given = std::holds_alternative<QString>(refused) ? std::get<QString>(refused) : "accepted";
            QVERIFY2(row.reason.isEmpty() ? given == "accepted" : given.contains(row.reason), qPrintable(row.document.left(60) + ": " + given));
        }
    }

    void v2rayAcceptsGenerated()
    {
        if (!QFile::exists("/usr/bin/v2ray"))
            QSKIP("v2ray is not installed");
        QVariantMap withoutGeosite = fullPolicy;
        withoutGeosite.remove("block_geosite"); // Debian ships no geosite.dat
        for (const auto &[document, policy] : QList<std::pair<QString, QVariantMap>>{{vlessDocument, withoutGeosite}, {vmessDocument, {}}}) {
            const auto result = coreDocument(document, ProxyCore::V2Ray, policy, {});
            QVERIFY(std::holds_alternative<QByteArray>(result));
            QCOMPARE(refusal("/usr/bin/v2ray", {"-test", "-config", "stdin:"}, std::get<QByteArray>(result)), QByteArray());
        }
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
