#include "account/subscription_catalog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace qor;

namespace {

// JSON written with single quotes for legibility.
QString j(QString text) { return text.replace(u'\'', u'"'); }

// A configuration with these outbounds (JSON texts).
QString outbounds(const QStringList &list) { return "{\"outbounds\":[" + list.join(u',') + "]}"; }
QString out(const QString &protocol, const QString &settings) { return j("{'protocol':'%1','settings':%2}").arg(protocol, settings); }
QString at(const QString &address, int port) { return j("{'address':'%1','port':%2}").arg(address).arg(port); }
QString vnext(const QString &servers) { return j("{'vnext':[%1]}").arg(servers); }
QString vless(const QString &address, int port) { return outbounds({out("vless", vnext(at(address, port))), j("{'protocol':'freedom'}")}); }

// The subscription list: name/config pairs, or any other JSON value as an element.
QString list(std::initializer_list<QJsonValue> entries) { return QJsonDocument(QJsonArray(entries)).toJson(QJsonDocument::Compact); }

QJsonObject entry(const QJsonValue &name, const QJsonValue &config)
{
    return config.isUndefined() ? QJsonObject{{"name", name}} : QJsonObject{{"name", name}, {"config", config}};
}

} // namespace

class TestSubscriptionCatalog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A malformed element voids the whole list; a configuration without an endpoint only its node.
    void parse()
    {
        const QString a = vless("198.51.100.1", 8443), b = vless("198.51.100.2", 443), A = "198.51.100.1:8443", B = "198.51.100.2:443";
        const QString balA = vless("balancer-a.example", 443), balB = vless("balancer-b.example", 443), bal = SubscriptionCatalog::balancerName;
        QJsonObject extra = entry("NL", a);
        extra.insert("remarks", 5); // ignored
        const struct { const char *name; QString json, balancer; QStringList endpoints; } rows[] = {
            {"empty text", {}, {}, {}}, {"not JSON", "[{\"name\":", {}, {}}, {"an object", j("{'name':'n','config':'{}'}"), {}, {}},
            {"balancer is no node, last one wins, order and duplicates kept",
             list({extra, entry(bal, balA), entry("DE", b), entry(bal, balB), entry("NL again", a)}), balB, {A, B, A}},
            {"balancer name is case-sensitive", list({entry("qor ai network", a)}), {}, {A}},
            {"configurations without endpoint skipped",
             list({entry("direct", outbounds({j("{'protocol':'freedom'}")})), entry("broken", "{not json"), entry("DE", b)}), {}, {B}},
            {"missing config", list({entry(bal, balA), entry("NL", a), entry("DE", QJsonValue::Undefined)}), {}, {}},
            {"config as object", list({entry("NL", QJsonObject{})}), {}, {}}, {"numeric name", list({entry("NL", a), entry(7, b)}), {}, {}},
            {"null name", list({entry(QJsonValue::Null, a)}), {}, {}}, {"non-object element", list({entry(bal, balA), "NL"}), {}, {}}};
        for (const auto &row : rows) {
            const SubscriptionCatalog::Parsed parsed = SubscriptionCatalog::parse(row.json);
            QStringList got;
            for (const DirectNode &node : parsed.nodes)
                got.append(node.endpoint);
            QVERIFY2(parsed.balancerConfig == (row.balancer.isNull() ? std::nullopt : std::optional(row.balancer)), row.name);
            QVERIFY2(got == row.endpoints, row.name);
        }
    }

    void nodesKeepTheirConfigurationUnchanged()
    {
        // Hand-written text with odd spacing and key order: it must reach the tunnel as written.
        const QString config = j("{ 'outbounds' : [ {'settings':{'servers':[{'port':443,'address':'203.0.113.9','password':'x'}]},"
                                 "'protocol':'trojan'} ],\n  'routing': {} }");
        const SubscriptionCatalog::Parsed parsed = SubscriptionCatalog::parse(list({entry("Trojan", config)}));
        QCOMPARE(parsed.nodes, (QList<DirectNode>{{"203.0.113.9:443", config}}));
    }

    void endpoint()
    {
        const QString good = out("vless", vnext(at("192.0.2.10", 8443)));
        const std::pair<QString, QString> rows[] = { // configuration, endpoint (null: none)
            {"{", {}}, {j("[{'outbounds':[]}]"), {}}, {j("{'inbounds':[]}"), {}}, {j("{'outbounds':{'protocol':'vless'}}"), {}},
            {outbounds({good, "5"}), {}}, // one element not an object spoils the list
            {outbounds({j("{'protocol':'freedom'}"), out("blackhole", "{}")}), {}},
            {outbounds({out("VLESS", vnext(at("192.0.2.1", 443) + ',' + at("192.0.2.2", 80)))}), "192.0.2.1:443"},
            {outbounds({out("shadowsocks", j("{'servers':[%1]}").arg(at("ss.example", 8388)))}), "ss.example:8388"},
            {outbounds({out("socks", at("192.0.2.3", 1080))}), "192.0.2.3:1080"},
            // Non-proxy protocols are skipped whatever their case; "dnſ" only lower-cases to "dns".
            {outbounds({out("Freedom", at("192.0.2.4", 1)), out("DNS", at("192.0.2.5", 53)), out("blackHole", at("192.0.2.6", 2)), good}),
             "192.0.2.10:8443"},
            {outbounds({out("dnſ", at("192.0.2.7", 53))}), "192.0.2.7:53"},
            {outbounds({j("{'settings':%1}").arg(at("192.0.2.8", 9))}), "192.0.2.8:9"}, // no protocol: a proxy
            // Skipped: no settings, settings not an object, a port written as text.
            {outbounds({j("{'protocol':'vmess'}"), out("vmess", '[' + at("192.0.2.9", 1) + ']'),
                        out("vless", vnext(j("{'address':'192.0.2.11','port':'443'}"))), good}),
             "192.0.2.10:8443"},
            {outbounds({out("vless", vnext(j("{'address':'192.0.2.12','port':443.5}")))}), {}},
            {outbounds({out("vless", vnext(j("{'address':'192.0.2.13','port':443.0}")))}), "192.0.2.13:443"},
            {outbounds({out("trojan", at("192.0.2.14", 99999))}), "192.0.2.14:99999"}, // kept as written
            {outbounds({out("trojan", j("{'address':42,'port':443}"))}), {}},
            {outbounds({out("vmess", j("{'vnext':[],'servers':[%1]}").arg(at("192.0.2.15", 10)))}), "192.0.2.15:10"},
            {outbounds({out("vmess", j("{'vnext':[{'address':'x'}],'servers':['not an object'],'address':'192.0.2.16','port':11}"))}),
             "192.0.2.16:11"},
            {outbounds({out("trojan", at("узел.example", 443))}), "узел.example:443"}};
        for (const auto &[config, expected] : rows)
            QVERIFY2(SubscriptionCatalog::endpoint(config) == (expected.isNull() ? std::nullopt : std::optional(expected)), qPrintable(config));
    }

    void hostAndPort()
    {
        // Decimal digits with one optional sign, nothing else; 443 when there are none. Splits at every colon.
        const struct { const char *endpoint, *host; int port; } rows[] = {
            {"1.2.3.4:8443", "1.2.3.4", 8443}, {"node.example", "node.example", 443}, {"8080", "8080", 8080}, {":", "", 443},
            {"", "", 443}, {"h:65535", "h", 65535}, {"h:65536", "h", 443}, {"h:+80", "h", 80}, {"h:-0", "h", 0}, {"h:-80", "h", 443},
            {"h:+", "h", 443}, {"h: 80", "h", 443}, {"h:80x", "h", 443}, {"h:0080", "h", 80}, {"h:٨٠", "h", 443},
            {"::h::8080:", "h", 8080}, {"[2001:db8::1]:443", "[2001", 443}};
        for (const auto &row : rows)
            QVERIFY2(SubscriptionCatalog::host(row.endpoint) == row.host && SubscriptionCatalog::port(row.endpoint) == row.port, row.endpoint);
    }

    void nodeDisplayLabel()
    {
        // Computed independently (FNV-1a 32 over code points); UTF-8 bytes would give 6585 and 1675 instead.
        const QList<std::pair<QString, int>> rows{
            {"", 8261}, {"a", 4220}, {"1.2.3.4:8443", 1020}, {"[2001:db8::1]:443", 2066}, {"узел.example:8443", 6526}, {"😀.example:443", 4096},
            {QChar(0xD800) + QString("x"), 3520}, {QChar(0xDC00) + QString("x"), 3520}, {"x" + QString(QChar(0xD800)), 3350}};
        for (const auto &[endpoint, number] : rows)
            QCOMPARE(SubscriptionCatalog::nodeDisplayLabel(endpoint), QStringLiteral("Узел %1").arg(number));
    }

    // The non-empty texts in order; any element without three text members voids the list.
    void reserveConfigs()
    {
        const QString confA = "[Interface]\nPrivateKey = a\nJc = 4\n\n[Peer]\nEndpoint = 198.51.100.5:51820\n", confB = "[Interface]\n";
        auto awg = [](const QJsonValue &conf) { return QJsonObject{{"server", "NL"}, {"host", "198.51.100.5"}, {"conf", conf}}; };
        const std::pair<QString, QStringList> rows[] = {
            {list({awg(confA), awg(""), awg(confB)}), {confA, confB}}, {list({awg(confA), QJsonObject{{"server", "DE"}, {"host", "h"}}}), {}},
            {list({awg(confA), awg(3)}), {}}, {list({QJsonObject{{"server", "NL"}, {"conf", confA}}}), {}}, {list({awg(confA), 1}), {}},
            {"[{", {}}, {j("{'server':'NL','host':'h','conf':'c'}"), {}}, {{}, {}}};
        for (const auto &[json, configs] : rows)
            QVERIFY2(SubscriptionCatalog::reserveConfigs(json) == configs, qPrintable(json));
    }
};

QTEST_GUILESS_MAIN(TestSubscriptionCatalog)
#include "test_subscription_catalog.moc"
