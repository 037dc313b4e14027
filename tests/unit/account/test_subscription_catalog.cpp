#include "account/subscription_catalog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace qor;

namespace {

QString compact(const QJsonValue &value)
{
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
}

QJsonObject server(const QJsonValue &address, const QJsonValue &port)
{
    return QJsonObject{{QStringLiteral("address"), address}, {QStringLiteral("port"), port}};
}

QJsonObject outbound(const QString &protocol, const QJsonObject &settings)
{
    return QJsonObject{{QStringLiteral("protocol"), protocol},
                       {QStringLiteral("tag"), QStringLiteral("proxy")},
                       {QStringLiteral("settings"), settings}};
}

QJsonObject vnextOutbound(const QString &protocol, const QJsonArray &vnext)
{
    return outbound(protocol, QJsonObject{{QStringLiteral("vnext"), vnext}});
}

QJsonObject freedom() { return outbound(QStringLiteral("freedom"), QJsonObject{}); }
QJsonObject blackhole() { return outbound(QStringLiteral("blackhole"), QJsonObject{}); }

QString configWith(const QJsonArray &outbounds)
{
    return compact(QJsonObject{{QStringLiteral("log"), QJsonObject{{QStringLiteral("loglevel"), QStringLiteral("warning")}}},
                               {QStringLiteral("outbounds"), outbounds}});
}

QString vlessConfig(const QString &address, int port)
{
    return configWith({vnextOutbound(QStringLiteral("vless"), {server(address, port)}), freedom(), blackhole()});
}

QJsonObject entry(const QString &name, const QString &config)
{
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("config"), config}};
}

QStringList endpointsOf(const QList<DirectNode> &nodes)
{
    QStringList out;
    for (const DirectNode &node : nodes)
        out.append(node.endpoint);
    return out;
}

} // namespace

class TestSubscriptionCatalog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void nodesKeepTheirConfigurationUnchanged();
    void endpoint_data();
    void endpoint();
    void hostAndPort_data();
    void hostAndPort();
    void nodeDisplayLabel_data();
    void nodeDisplayLabel();
    void reserveConfigs_data();
    void reserveConfigs();
};

void TestSubscriptionCatalog::parse_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("hasBalancer");
    QTest::addColumn<QString>("balancer");
    QTest::addColumn<QStringList>("endpoints");

    const QString balancerA = vlessConfig(QStringLiteral("balancer-a.example"), 443);
    const QString balancerB = vlessConfig(QStringLiteral("balancer-b.example"), 443);
    const QString nodeA = vlessConfig(QStringLiteral("198.51.100.1"), 8443);
    const QString nodeB = vlessConfig(QStringLiteral("198.51.100.2"), 443);
    const QString name = SubscriptionCatalog::balancerName;

    QTest::newRow("empty text") << QString() << false << QString() << QStringList();
    QTest::newRow("not JSON") << QStringLiteral("[{\"name\":") << false << QString() << QStringList();
    QTest::newRow("an object, not an array")
        << compact(entry(QStringLiteral("n"), nodeA)) << false << QString() << QStringList();
    QTest::newRow("empty array") << QStringLiteral("[]") << false << QString() << QStringList();
    QTest::newRow("balancer with an endpoint is not a node")
        << compact(QJsonArray{entry(name, balancerA)}) << true << balancerA << QStringList();
    QTest::newRow("balancer and nodes in entry order, duplicates kept")
        << compact(QJsonArray{entry(QStringLiteral("NL"), nodeA), entry(name, balancerA),
                              entry(QStringLiteral("DE"), nodeB), entry(QStringLiteral("NL again"), nodeA)})
        << true << balancerA
        << QStringList{QStringLiteral("198.51.100.1:8443"), QStringLiteral("198.51.100.2:443"),
                       QStringLiteral("198.51.100.1:8443")};
    QTest::newRow("last balancer wins")
        << compact(QJsonArray{entry(name, balancerA), entry(name, balancerB)}) << true << balancerB << QStringList();
    QTest::newRow("balancer name is case-sensitive")
        << compact(QJsonArray{entry(QStringLiteral("qor ai network"), nodeA)}) << false << QString()
        << QStringList{QStringLiteral("198.51.100.1:8443")};
    QTest::newRow("a configuration without endpoint is skipped")
        << compact(QJsonArray{entry(QStringLiteral("direct"), configWith({freedom(), blackhole()})),
                              entry(QStringLiteral("broken"), QStringLiteral("{not json")),
                              entry(QStringLiteral("DE"), nodeB)})
        << false << QString() << QStringList{QStringLiteral("198.51.100.2:443")};
    QTest::newRow("extra members are ignored")
        << compact(QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("NL")},
                                          {QStringLiteral("config"), nodeA},
                                          {QStringLiteral("remarks"), 5}}})
        << false << QString() << QStringList{QStringLiteral("198.51.100.1:8443")};
    QTest::newRow("missing config in a later element voids everything")
        << compact(QJsonArray{entry(name, balancerA), entry(QStringLiteral("NL"), nodeA),
                              QJsonObject{{QStringLiteral("name"), QStringLiteral("DE")}}})
        << false << QString() << QStringList();
    QTest::newRow("numeric name voids everything")
        << compact(QJsonArray{entry(QStringLiteral("NL"), nodeA),
                              QJsonObject{{QStringLiteral("name"), 7}, {QStringLiteral("config"), nodeB}}})
        << false << QString() << QStringList();
    QTest::newRow("config as an object voids everything")
        << compact(QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("NL")},
                                          {QStringLiteral("config"), QJsonObject{}}}})
        << false << QString() << QStringList();
    QTest::newRow("null name voids everything")
        << compact(QJsonArray{QJsonObject{{QStringLiteral("name"), QJsonValue::Null}, {QStringLiteral("config"), nodeA}}})
        << false << QString() << QStringList();
    QTest::newRow("an element that is not an object voids everything")
        << compact(QJsonArray{entry(name, balancerA), QStringLiteral("NL")}) << false << QString() << QStringList();
}

void TestSubscriptionCatalog::parse()
{
    QFETCH(QString, json);
    QFETCH(bool, hasBalancer);
    QFETCH(QString, balancer);
    QFETCH(QStringList, endpoints);

    const SubscriptionCatalog::Parsed parsed = SubscriptionCatalog::parse(json);
    QCOMPARE(parsed.balancerConfig.has_value(), hasBalancer);
    if (hasBalancer)
        QCOMPARE(*parsed.balancerConfig, balancer);
    QCOMPARE(endpointsOf(parsed.nodes), endpoints);
}

void TestSubscriptionCatalog::nodesKeepTheirConfigurationUnchanged()
{
    // Hand-written text with odd spacing and key order: it must reach the tunnel as written.
    const QString config = QStringLiteral(
        "{ \"outbounds\" : [ {\"settings\":{\"servers\":[{\"port\":443,\"address\":\"203.0.113.9\",\"password\":\"x\"}]},"
        "\"protocol\":\"trojan\"} ],\n  \"routing\": {} }");
    const QString json = compact(QJsonArray{entry(QStringLiteral("Trojan"), config)});

    const SubscriptionCatalog::Parsed parsed = SubscriptionCatalog::parse(json);
    QCOMPARE(parsed.nodes.size(), 1);
    QCOMPARE(parsed.nodes.first(), (DirectNode{QStringLiteral("203.0.113.9:443"), config}));
}

void TestSubscriptionCatalog::endpoint_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("expected"); // null: no endpoint

    const QJsonObject good = vnextOutbound(QStringLiteral("vless"), {server(QStringLiteral("192.0.2.10"), 8443)});

    QTest::newRow("not JSON") << QStringLiteral("{") << QString();
    QTest::newRow("a JSON array") << compact(QJsonArray{good}) << QString();
    QTest::newRow("no outbounds") << compact(QJsonObject{{QStringLiteral("inbounds"), QJsonArray{}}}) << QString();
    QTest::newRow("outbounds is an object")
        << compact(QJsonObject{{QStringLiteral("outbounds"), good}}) << QString();
    QTest::newRow("outbounds holds a non-object")
        << compact(QJsonObject{{QStringLiteral("outbounds"), QJsonArray{good, 5}}}) << QString();
    QTest::newRow("only freedom and blackhole") << configWith({freedom(), blackhole()}) << QString();
    QTest::newRow("upper-case protocol with vnext, first element")
        << configWith({vnextOutbound(QStringLiteral("VLESS"), {server(QStringLiteral("192.0.2.1"), 443),
                                                                 server(QStringLiteral("192.0.2.2"), 80)})})
        << QStringLiteral("192.0.2.1:443");
    QTest::newRow("servers list")
        << configWith({outbound(QStringLiteral("shadowsocks"),
                                {{QStringLiteral("servers"), QJsonArray{server(QStringLiteral("ss.example"), 8388)}}})})
        << QStringLiteral("ss.example:8388");
    QTest::newRow("flat address and port")
        << configWith({outbound(QStringLiteral("socks"), server(QStringLiteral("192.0.2.3"), 1080))})
        << QStringLiteral("192.0.2.3:1080");
    QTest::newRow("non-proxy protocols are skipped whatever their case and settings")
        << configWith({outbound(QStringLiteral("Freedom"), server(QStringLiteral("192.0.2.4"), 1)),
                       outbound(QStringLiteral("DNS"), server(QStringLiteral("192.0.2.5"), 53)),
                       outbound(QStringLiteral("blackHole"), server(QStringLiteral("192.0.2.6"), 2)), good})
        << QStringLiteral("192.0.2.10:8443");
    QTest::newRow("a protocol that only lower-cases to dns is not dns")
        << configWith({outbound(QStringLiteral("dnſ"), server(QStringLiteral("192.0.2.7"), 53))})
        << QStringLiteral("192.0.2.7:53");
    QTest::newRow("missing protocol counts as a proxy")
        << configWith({QJsonObject{{QStringLiteral("settings"), server(QStringLiteral("192.0.2.8"), 9)}}})
        << QStringLiteral("192.0.2.8:9");
    QTest::newRow("an outbound without settings is skipped")
        << configWith({QJsonObject{{QStringLiteral("protocol"), QStringLiteral("vmess")}}, good})
        << QStringLiteral("192.0.2.10:8443");
    QTest::newRow("settings that are not an object are skipped")
        << configWith({QJsonObject{{QStringLiteral("protocol"), QStringLiteral("vmess")},
                                   {QStringLiteral("settings"), QJsonArray{server(QStringLiteral("192.0.2.9"), 1)}}},
                       good})
        << QStringLiteral("192.0.2.10:8443");
    QTest::newRow("port as a string does not count")
        << configWith({vnextOutbound(QStringLiteral("vless"), {server(QStringLiteral("192.0.2.11"), QStringLiteral("443"))}), good})
        << QStringLiteral("192.0.2.10:8443");
    QTest::newRow("port with a fraction does not count")
        << configWith({vnextOutbound(QStringLiteral("vless"), {server(QStringLiteral("192.0.2.12"), 443.5)})})
        << QString();
    QTest::newRow("integral port written with a fraction part is an integer")
        << QStringLiteral(R"({"outbounds":[{"protocol":"vless","settings":{"vnext":[{"address":"192.0.2.13","port":443.0}]}}]})")
        << QStringLiteral("192.0.2.13:443");
    QTest::newRow("port beyond 16 bits is kept as written")
        << configWith({outbound(QStringLiteral("trojan"), server(QStringLiteral("192.0.2.14"), 99999))})
        << QStringLiteral("192.0.2.14:99999");
    QTest::newRow("numeric address does not count")
        << configWith({outbound(QStringLiteral("trojan"), server(42, 443))}) << QString();
    QTest::newRow("empty vnext falls through to servers")
        << configWith({outbound(QStringLiteral("vmess"),
                                {{QStringLiteral("vnext"), QJsonArray{}},
                                 {QStringLiteral("servers"), QJsonArray{server(QStringLiteral("192.0.2.15"), 10)}}})})
        << QStringLiteral("192.0.2.15:10");
    QTest::newRow("unusable vnext and servers fall through to flat settings")
        << configWith({outbound(QStringLiteral("vmess"),
                                {{QStringLiteral("vnext"), QJsonArray{QJsonObject{{QStringLiteral("address"), QStringLiteral("x")}}}},
                                 {QStringLiteral("servers"), QJsonArray{QStringLiteral("not an object")}},
                                 {QStringLiteral("address"), QStringLiteral("192.0.2.16")},
                                 {QStringLiteral("port"), 11}})})
        << QStringLiteral("192.0.2.16:11");
    QTest::newRow("non-ASCII address")
        << configWith({outbound(QStringLiteral("trojan"), server(QStringLiteral("узел.example"), 443))})
        << QStringLiteral("узел.example:443");
}

void TestSubscriptionCatalog::endpoint()
{
    QFETCH(QString, config);
    QFETCH(QString, expected);

    const std::optional<QString> found = SubscriptionCatalog::endpoint(config);
    QCOMPARE(found.has_value(), !expected.isNull());
    if (found)
        QCOMPARE(*found, expected);
}

void TestSubscriptionCatalog::hostAndPort_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("address and port") << QStringLiteral("1.2.3.4:8443") << QStringLiteral("1.2.3.4") << 8443;
    QTest::newRow("no colon") << QStringLiteral("node.example") << QStringLiteral("node.example") << 443;
    QTest::newRow("lone colon") << QStringLiteral(":") << QString() << 443;
    QTest::newRow("empty") << QString() << QString() << 443;
    QTest::newRow("too large") << QStringLiteral("h:99999") << QStringLiteral("h") << 443;
    QTest::newRow("largest") << QStringLiteral("h:65535") << QStringLiteral("h") << 65535;
    QTest::newRow("one past largest") << QStringLiteral("h:65536") << QStringLiteral("h") << 443;
    QTest::newRow("plus sign") << QStringLiteral("h:+80") << QStringLiteral("h") << 80;
    QTest::newRow("minus zero") << QStringLiteral("h:-0") << QStringLiteral("h") << 0;
    QTest::newRow("negative") << QStringLiteral("h:-80") << QStringLiteral("h") << 443;
    QTest::newRow("sign alone") << QStringLiteral("h:+") << QStringLiteral("h") << 443;
    QTest::newRow("leading blank") << QStringLiteral("h: 80") << QStringLiteral("h") << 443;
    QTest::newRow("trailing letter") << QStringLiteral("h:80x") << QStringLiteral("h") << 443;
    QTest::newRow("leading zeros") << QStringLiteral("h:0080") << QStringLiteral("h") << 80;
    QTest::newRow("non-ASCII digits") << QStringLiteral("h:٨٠") << QStringLiteral("h") << 443;
    QTest::newRow("empty pieces dropped") << QStringLiteral("::h::8080:") << QStringLiteral("h") << 8080;
    QTest::newRow("bracketed IPv6 splits at every colon")
        << QStringLiteral("[2001:db8::1]:443") << QStringLiteral("[2001") << 443;
    QTest::newRow("port alone") << QStringLiteral("8080") << QStringLiteral("8080") << 8080;
}

void TestSubscriptionCatalog::hostAndPort()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, host);
    QFETCH(int, port);

    QCOMPARE(SubscriptionCatalog::host(endpoint), host);
    QCOMPARE(int(SubscriptionCatalog::port(endpoint)), port);
}

void TestSubscriptionCatalog::nodeDisplayLabel_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QString>("label");

    // Expected numbers computed independently (FNV-1a 32 over code points, mod 9000 + 1000).
    QTest::newRow("empty") << QString() << QStringLiteral("Узел 8261");
    QTest::newRow("single letter") << QStringLiteral("a") << QStringLiteral("Узел 4220");
    QTest::newRow("IPv4") << QStringLiteral("1.2.3.4:8443") << QStringLiteral("Узел 1020");
    QTest::newRow("documentation address") << QStringLiteral("203.0.113.7:443") << QStringLiteral("Узел 7263");
    QTest::newRow("host name") << QStringLiteral("nl1.example.com:443") << QStringLiteral("Узел 9638");
    QTest::newRow("IPv6") << QStringLiteral("[2001:db8::1]:443") << QStringLiteral("Узел 2066");
    // Cyrillic: as UTF-8 bytes this would be 6585.
    QTest::newRow("Cyrillic") << QStringLiteral("узел.example:8443") << QStringLiteral("Узел 6526");
    // Outside the BMP: UTF-8 bytes give 1675, UTF-16 units 9003.
    QTest::newRow("surrogate pair") << QStringLiteral("😀.example:443") << QStringLiteral("Узел 4096");
}

void TestSubscriptionCatalog::nodeDisplayLabel()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, label);

    QCOMPARE(SubscriptionCatalog::nodeDisplayLabel(endpoint), label);
}

void TestSubscriptionCatalog::reserveConfigs_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QStringList>("configs");

    auto awg = [](const QJsonValue &conf) {
        return QJsonObject{{QStringLiteral("server"), QStringLiteral("NL")},
                           {QStringLiteral("host"), QStringLiteral("198.51.100.5")},
                           {QStringLiteral("conf"), conf}};
    };
    const QString confA = QStringLiteral("[Interface]\nPrivateKey = a\nJc = 4\n\n[Peer]\nEndpoint = 198.51.100.5:51820\n");
    const QString confB = QStringLiteral("[Interface]\nPrivateKey = b\n");

    QTest::newRow("order kept, empty conf dropped")
        << compact(QJsonArray{awg(confA), awg(QString()), awg(confB)}) << QStringList{confA, confB};
    QTest::newRow("element without conf empties the list")
        << compact(QJsonArray{awg(confA), QJsonObject{{QStringLiteral("server"), QStringLiteral("DE")},
                                                      {QStringLiteral("host"), QStringLiteral("h")}}})
        << QStringList();
    QTest::newRow("numeric conf empties the list") << compact(QJsonArray{awg(confA), awg(3)}) << QStringList();
    QTest::newRow("missing host empties the list")
        << compact(QJsonArray{QJsonObject{{QStringLiteral("server"), QStringLiteral("NL")}, {QStringLiteral("conf"), confA}}})
        << QStringList();
    QTest::newRow("element that is not an object") << compact(QJsonArray{awg(confA), 1}) << QStringList();
    QTest::newRow("not JSON") << QStringLiteral("[{") << QStringList();
    QTest::newRow("an object") << compact(awg(confA)) << QStringList();
    QTest::newRow("empty text") << QString() << QStringList();
}

void TestSubscriptionCatalog::reserveConfigs()
{
    QFETCH(QString, json);
    QFETCH(QStringList, configs);

    QCOMPARE(SubscriptionCatalog::reserveConfigs(json), configs);
}

QTEST_GUILESS_MAIN(TestSubscriptionCatalog)
#include "test_subscription_catalog.moc"
