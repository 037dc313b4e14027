#include "account/corporate_access.h"
#include "account/login_response_parser.h"
#include "account/subscription_catalog.h"
#include "account/telegram_login_service.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// Expected records name only the members that differ from their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace qor;
using Kind = TelegramLoginResult::Kind;
using Session = TelegramLoginResult::Session;

namespace {

// JSON written with single quotes for legibility.
QByteArray j(QByteArray text) { return text.replace('\'', '"'); }
QString js(QString text) { return text.replace(u'\'', u'"'); }
QJsonObject object(const QByteArray &text) { return QJsonDocument::fromJson(j(text)).object(); }

Session sessionOf(const QJsonObject &answer)
{
    const auto result = TelegramLoginService::parseLoginResponse(QJsonDocument(answer).toJson(QJsonDocument::Compact));
    if (!result || result->kind != Kind::Ok)
        qFatal("expected an ok result");
    return result->ok;
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) { return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC); }

// The corporate record of an answer whose "qor" member is the given JSON text.
CorporateAccess parsed(const QByteArray &qor)
{
    const auto access = CorporateAccess::parse(QJsonDocument::fromJson(j("{'status':'ok','qor':") + j(qor) + "}").object());
    if (!access)
        qFatal("expected a corporate record for %s", qor.constData());
    return *access;
}

QDateTime at18(int ms) { return QDateTime(QDate(2026, 2, 1), QTime(18, 0, 0, ms), Qt::UTC); }

QString outbounds(const QStringList &list) { return "{\"outbounds\":[" + list.join(u',') + "]}"; }
QString out(const QString &protocol, const QString &settings) { return js("{'protocol':'%1','settings':%2}").arg(protocol, settings); }
QString at(const QString &address, int port) { return js("{'address':'%1','port':%2}").arg(address).arg(port); }
QString vnext(const QString &servers) { return js("{'vnext':[%1]}").arg(servers); }
QString vless(const QString &address, int port) { return outbounds({out("vless", vnext(at(address, port))), js("{'protocol':'freedom'}")}); }

// The subscription list: name/config pairs, or any other JSON value as an element.
QString list(std::initializer_list<QJsonValue> entries) { return QJsonDocument(QJsonArray(entries)).toJson(QJsonDocument::Compact); }

QJsonObject entry(const QJsonValue &name, const QJsonValue &config) { return {{"name", name}, {"config", config}}; }

} // namespace

// The account server's login answer, the corporate record it may carry, and the session's server lists (the catalog).
class TestLoginResponse : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Anything but one of three exact statuses means "not confirmed yet" during a login.
    void loginAnswer()
    {
        const QList<std::pair<QByteArray, std::optional<Kind>>> rows{
            {j("{'status':'ok'}"), Kind::Ok}, {j("{'status':'no_subscription'}"), Kind::NoSubscription},
            {j("{'status':'invalid_session'}"), Kind::SessionRevoked}, {j("{'status':'OK'}"), {}}, {j("{'status':1}"), {}},
            {j("{'session_token':'t'}"), {}}, {j("[{'status':'ok'}]"), {}}, {"<html>502 Bad Gateway</html>", {}}, {j("{'status':'ok'} x"), {}}};
        for (const auto &[body, kind] : rows) {
            const auto result = TelegramLoginService::parseLoginResponse(body);
            QVERIFY2(result.has_value() == kind.has_value() && (!result || result->kind == *kind), body.constData());
        }

        const Session session = sessionOf(object(
            "{'status':'ok','username':'Анна','avatar_data_uri':'data:image/png;base64,AAAA','subscription_url':'https://sub.example.com/s/1',"
            "'awg_conf':'[{\\'server\\':\\'a\\'}]','tavrin_key':'tk','session_token':'st','subscription_status':'active',"
            "'expires_at':'2026-03-01T10:00:00.250Z','traffic_used_bytes':1024,'traffic_limit_bytes':1099511627776,"
            "'xray_configs':[{'remarks':'Qor AI Network'}],'qor':{'company':'ACME'}}"));
        QCOMPARE(session.corporate.value_or(CorporateAccess()).company, "ACME");
        const Session expected{"Анна", "data:image/png;base64,AAAA", "https://sub.example.com/s/1",
                               j("[{'server':'a'}]"), // passed on unchanged
                               j("[{'config':'{\\'remarks\\':\\'Qor AI Network\\'}','name':'Qor AI Network'}]"), "tk", "st",
                               SubscriptionInfo{true, utc(2026, 3, 1, 10, 0, 0, 250), 1024, 1099511627776}, session.corporate};
        QCOMPARE(session, expected);
        QCOMPARE(sessionOf(object("{'status':'ok'}")), Session{}); // no token: the caller keeps its stored one

        // A member of the wrong JSON type is absent and leaves the others alone; only an object is corporate.
        const std::pair<QStringList, QJsonArray> wrong[] = {
            {{"username", "avatar_data_uri", "subscription_url", "awg_conf", "tavrin_key", "session_token", "subscription_status", "expires_at"},
             {42, true, QJsonValue::Null, QJsonArray{"x"}, QJsonObject{{"a", 1}}}},
            {{"traffic_used_bytes", "traffic_limit_bytes"}, {"1024", true, 1.5, 1e19}},
            {{"xray_configs"}, {QString(j("[{'remarks':'a'}]")), QJsonObject{{"remarks", "a"}}}},
            {{"qor"}, {"{}", QJsonArray{QJsonObject{{"company", "x"}}}, QJsonValue::Null, true}}};
        for (const auto &[members, values] : wrong) {
            for (const QString &member : members) {
                for (const QJsonValue &value : values) {
                    QJsonObject answer{{"status", "ok"}, {"username", "kept"}};
                    answer.insert(member, value);
                    const Session kept{member == "username" ? std::nullopt : std::optional<QString>("kept")};
                    const QByteArray shown = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
                    QVERIFY2(sessionOf(answer) == kept, qPrintable(member + ": " + shown));
                }
            }
        }
    }

    // Active only for "active" in any case; expiry needs fractional seconds and a zone; byte counts exact 64-bit however written.
    void sessionMembers()
    {
        const QDateTime may1 = utc(2026, 5, 1, 0, 0, 0);
        const std::pair<const char *, SubscriptionInfo> rows[] = {
            {"'subscription_status':'aCtIvE'", {.isActive = true}}, {"'subscription_status':' active'", {.isActive = false}},
            {"'subscription_status':true", {}}, {"'expires_at':'2026-05-01T00:00:00.000Z'", {.expiresAt = may1}},
            {"'expires_at':'2026-05-01T00:00:00.5Z'", {.expiresAt = may1.addMSecs(500)}},
            {"'expires_at':'2026-05-01T00:00:00.123999Z'", {.expiresAt = may1.addMSecs(123)}},
            {"'expires_at':'2026-05-01T03:00:00.000+03:00'", {.expiresAt = may1}},
            {"'expires_at':'2026-04-30T19:30:00.000-04:30'", {.expiresAt = may1}}, {"'expires_at':'2026-05-01T00:00:00Z'", {}},
            {"'expires_at':'2026-05-01T00:00:00.000'", {}}, {"'expires_at':'2026-02-30T00:00:00.000Z'", {}},
            {"'expires_at':'2026-05-01T24:00:00.000Z'", {}}, {"'expires_at':'2026-05-01T00:00:00.000+03:60'", {}},
            {"'expires_at':'2026-05-01T00:00:00.Z'", {}}, {"'expires_at':'2026-05-01T00:00:00.000Z '", {}},
            {"'expires_at':'2026-05-01t00:00:00.000z'", {}}, {"'expires_at':'2026-05-01T00:00:00.000+0300'", {}},
            {"'expires_at':'\u0662026-05-01T00:00:00.000Z'", {}},
            {"'traffic_used_bytes':0", {.trafficUsedBytes = 0}}, {"'traffic_used_bytes':9007199254740993", {.trafficUsedBytes = 9007199254740993LL}},
            {"'traffic_used_bytes':-1,'traffic_limit_bytes':1e3", {.trafficUsedBytes = -1, .trafficLimitBytes = 1000}}};
        for (const auto &[members, expected] : rows)
            QVERIFY2(parseSubscriptionInfo(object(QByteArray("{") + members + '}')) == expected, members);

        // Each named server becomes {name, config: its whole object as compact text}; a non-object voids the list.
        const QList<std::pair<const char *, const char *>> xrays{
            {"[{'remarks':'Qor AI Network','outbounds':[]},{'remarks':'Узел 2','port':443}]",
             "[{'config':'{\\'outbounds\\':[],\\'remarks\\':\\'Qor AI Network\\'}','name':'Qor AI Network'},"
             "{'config':'{\\'port\\':443,\\'remarks\\':\\'Узел 2\\'}','name':'Узел 2'}]"},
            {"[{'port':1},{'remarks':'b'},{'remarks':7}]", "[{'config':'{\\'remarks\\':\\'b\\'}','name':'b'}]"},
            {"[{'port':1},{'tag':'x'}]", nullptr}, {"[{'remarks':'a'},'b']", nullptr}, {"{'remarks':'a'}", nullptr}};
        for (const auto &[xray, expected] : xrays) {
            const auto normalised = normalizeXrayConfigs(QJsonDocument::fromJson(j("[") + j(xray) + "]").array().first());
            QVERIFY2(normalised == (expected ? std::optional<QString>(j(expected)) : std::nullopt), xray);
        }
    }

    // Each member in accepted and refused forms; one of the wrong kind keeps its default. Warnings come at least
    // a minute ahead; fractions beyond milliseconds are cut, so every form of an end names the same instant.
    void corporateMembers()
    {
        const std::pair<const char *, CorporateAccess> rows[] = {
            {"{}", {}}, {"{'company':'ООО Ромашка'}", {.company = "ООО Ромашка"}}, {"{'company':12}", {}},
            {"{'reserve':false}", {.reserveAllowed = false}}, {"{'reserve':'false'}", {}}, {"{'warn_minutes':0}", {.warnMinutes = 1}},
            {"{'warn_minutes':2}", {.warnMinutes = 2}}, {"{'warn_minutes':'5'}", {}}, {"{'warn_minutes':2.5}", {}}, {"{'warn_minutes':1e12}", {}},
            {"{'session':{'until':'2026-02-01T18:00:00.123Z','reason':'hours'}}", {.sessionUntil = at18(123), .sessionReason = "hours"}},
            {"{'session':{'until':'2026-02-01T18:00:00.123999999Z'}}", {.sessionUntil = at18(123)}},
            {"{'session':{'until':'2026-02-01T18:00:00Z','reason':'window'}}", {.sessionUntil = at18(0), .sessionReason = "window"}},
            {"{'session':{'until':'2026-02-01T18:00:00.1Z'}}", {.sessionUntil = at18(100)}},
            {"{'session':{'until':'2026-02-01T21:00:00.123456+03:00'}}", {.sessionUntil = at18(123)}},
            {"{'session':{'until':'2026-02-01T18:00:00.123+24:00'}}", {}}, {"{'session':{'until':'2026-02-01T18:00:00'}}", {}},
            {"{'session':{'until':'tomorrow','reason':'hours'}}", {.sessionReason = "hours"}},
            {"{'session':{'until':1769968800,'reason':5}}", {}}, {"{'session':'2026-02-01T18:00:00Z'}", {}},
            {"{'policy':'strict'}", {}}, {"{'policy':{}}", {.policy = CorporatePolicy{}}},
            {"{'policy':{'name':'Офис','block_torrent':true}}", {.policy = CorporatePolicy{.name = "Офис", .blockTorrent = true}}},
            {"{'policy':{'name':1,'block_torrent':'true'}}", {.policy = CorporatePolicy{}}},
            // Each list keeps its non-empty strings in order; anything but an array is empty.
            {"{'policy':{'block_geosite':['b','a'],'block_domains':['x','',5,'y',null,['z']],'allow_domains':'x'}}",
             {.policy = CorporatePolicy{.blockGeosite = {"b", "a"}, .blockDomains = {"x", "y"}}}},
            {"{'policy':{'block_domains':{'0':'x'},'allow_domains':['x','']}}", {.policy = CorporatePolicy{.allowDomains = {"x"}}}}};
        for (const auto &[qor, expected] : rows) {
            CorporateAccess access = parsed(qor);
            access.rawJSON.reset();
            QVERIFY2(access == expected, qor);
        }

        // Each list under its own key; a partial resolver would leave the provider a DoH URL it cannot reach; the policy's name is not for it.
        const QList<std::pair<const char *, bool>> resolvers{
            {"{'doh':'https://dns.example/dns-query','host':'dns.example','ip':'192.0.2.53'}", true},
            {"{'doh':'https://dns.example/dns-query','host':'dns.example'}", false}, {"{'host':'dns.example','ip':'192.0.2.53'}", false},
            {"{'doh':'https://dns.example/dns-query','ip':'192.0.2.53'}", false}, {"'https://dns.example/dns-query'", false},
            {"{'doh':'https://dns.example/dns-query','host':'','ip':'192.0.2.53'}", false},
            {"{'doh':'https://dns.example/dns-query','host':'dns.example','ip':3221226037}", false}};
        for (const auto &[dns, hasDoh] : resolvers) {
            const QVariantMap dictionary =
                parsed(QByteArray("{'policy':{'name':'n','block_torrent':true,'block_geosite':['ads'],'block_domains':['b.example'],"
                                  "'allow_domains':['a.example'],'dns':") + dns + "}}").policy->dictionary();
            QVariantMap expected{{"allow_domains", QStringList{"a.example"}}, {"block_domains", QStringList{"b.example"}},
                                 {"block_geosite", QStringList{"ads"}}, {"block_torrent", true}};
            if (hasDoh)
                expected.insert({{"doh", "https://dns.example/dns-query"}, {"doh_host", "dns.example"}, {"doh_ip", "192.0.2.53"}});
            QVERIFY2(dictionary == expected, dns);
        }
    }

    // Only the "qor" member is stored, on one line, and it reads back to an equal record.
    void storedRecord()
    {
        for (const char *qor : {"{}", "{'session':{'until':'soon'}}", "{'company':'\\'Рога\\' & \\\\ Копыта\\n'}",
                                "{'company':'ACME','reserve':false,'warn_minutes':0,\n'session':{'until':'2026-02-01T18:00:00.123456Z',"
                                "'reason':'hours'},\n'policy':{'name':'p','block_geosite':['ads',''],'block_domains':['x.example'],"
                                "'allow_domains':[3],'block_torrent':true,'dns':{'doh':'https://d.example/q','host':'d.example',"
                                "'ip':'192.0.2.1'}},\n'extra':{'kept':[1,2.5,'три']}}"}) {
            const CorporateAccess first = parsed(qor);
            const QString raw = first.rawJSON.value_or(QString());
            const QJsonObject expected{{"qor", QJsonDocument::fromJson(j(qor)).object()}};
            QVERIFY2(QJsonDocument::fromJson(raw.toUtf8()).object() == expected, qor);
            QVERIFY2(!raw.contains(u'\n') && CorporateAccess::parseRaw(raw) == first, qor);
        }
        for (const char *raw : {"", "not json", "{'company':'x'}", "[{'qor':{}}]"})
            QVERIFY2(!CorporateAccess::parseRaw(j(raw)), raw);
        // Such a record is trusted for exactly a week; one without a save time, always.
        const QDateTime now = at18(0);
        for (const auto &[age, expired] : QList<std::pair<qint64, bool>>{{0, false}, {604800, false}, {604801, true}, {-8 * 86400, false}})
            QVERIFY2(CorporateAccess::storedRecordExpired(now.addSecs(-age), now) == expired, qPrintable(QString::number(age)));
        QVERIFY(!CorporateAccess::storedRecordExpired(QDateTime(), now.addYears(4)));
    }

    // A malformed element voids the whole list; a configuration without an endpoint only its node.
    void serverLists()
    {
        const QString a = vless("198.51.100.1", 8443), b = vless("198.51.100.2", 443), A = "198.51.100.1:8443", B = "198.51.100.2:443";
        const QString balA = vless("balancer-a.example", 443), balB = vless("balancer-b.example", 443), bal = SubscriptionCatalog::balancerName;
        QJsonObject extra = entry("NL", a);
        extra.insert("remarks", 5); // ignored
        const struct { const char *name; QString json, balancer; QStringList endpoints; } rows[] = {
            {"not JSON", "[{\"name\":", {}, {}}, {"an object", js("{'name':'n','config':'{}'}"), {}, {}},
            {"balancer is no node, last one wins, order and duplicates kept",
             list({extra, entry(bal, balA), entry("DE", b), entry(bal, balB), entry("NL again", a)}), balB, {A, B, A}},
            {"balancer name is case-sensitive", list({entry("qor ai network", a)}), {}, {A}},
            {"configurations without endpoint skipped",
             list({entry("direct", outbounds({js("{'protocol':'freedom'}")})), entry("broken", "{not json"), entry("DE", b)}), {}, {B}},
            {"missing config", list({entry(bal, balA), entry("NL", a), entry("DE", QJsonValue::Undefined)}), {}, {}},
            {"numeric name", list({entry("NL", a), entry(7, b)}), {}, {}}, {"non-object element", list({entry(bal, balA), "NL"}), {}, {}}};
        for (const auto &row : rows) {
            const SubscriptionCatalog::Parsed parsed = SubscriptionCatalog::parse(row.json);
            QStringList got;
            for (const DirectNode &node : parsed.nodes)
                got.append(node.endpoint);
            QVERIFY2(parsed.balancerConfig == (row.balancer.isNull() ? std::nullopt : std::optional(row.balancer)), row.name);
            QVERIFY2(got == row.endpoints, row.name);
        }
        // Hand-written text with odd spacing and key order reaches the tunnel as written.
        const QString config = js("{ 'outbounds' : [ {'settings':{'servers':[{'port':443,'address':'203.0.113.9'}]},'protocol':'trojan'} ] }");
        QCOMPARE(SubscriptionCatalog::parse(list({entry("Trojan", config)})).nodes, (QList<DirectNode>{{"203.0.113.9:443", config}}));

        // The non-empty texts in order; any element without three text members voids the list.
        const QString confA = "[Interface]\nPrivateKey = a\nJc = 4\n\n[Peer]\nEndpoint = 198.51.100.5:51820\n", confB = "[Interface]\n";
        auto awg = [](const QJsonValue &conf) { return QJsonObject{{"server", "NL"}, {"host", "198.51.100.5"}, {"conf", conf}}; };
        const std::pair<QString, QStringList> reserves[] = {
            {list({awg(confA), awg(""), awg(confB)}), {confA, confB}}, {list({awg(confA), awg(3)}), {}},
            {list({QJsonObject{{"server", "NL"}, {"conf", confA}}}), {}}, {list({awg(confA), 1}), {}}, {js("{'server':'NL','host':'h','conf':'c'}"), {}}};
        for (const auto &[json, configs] : reserves)
            QVERIFY2(SubscriptionCatalog::reserveConfigs(json) == configs, qPrintable(json));
    }

    void endpoint()
    {
        const QString good = out("vless", vnext(at("192.0.2.10", 8443)));
        const std::pair<QString, QString> rows[] = { // configuration, endpoint (null: none)
            {js("[{'outbounds':[]}]"), {}}, {js("{'outbounds':{'protocol':'vless'}}"), {}},
            {outbounds({good, "5"}), {}}, // one element not an object spoils the list
            {outbounds({out("VLESS", vnext(at("192.0.2.1", 443) + ',' + at("192.0.2.2", 80)))}), "192.0.2.1:443"},
            {outbounds({out("shadowsocks", js("{'servers':[%1]}").arg(at("ss.example", 8388)))}), "ss.example:8388"},
            // Non-proxy protocols are skipped whatever their case; "dnſ" only lower-cases to "dns".
            {outbounds({out("Freedom", at("192.0.2.4", 1)), out("DNS", at("192.0.2.5", 53)), out("blackHole", at("192.0.2.6", 2)), good}),
             "192.0.2.10:8443"},
            {outbounds({out("dnſ", at("192.0.2.7", 53))}), "192.0.2.7:53"},
            // Skipped: no settings, settings not an object, a port written as text.
            {outbounds({js("{'protocol':'vmess'}"), out("vmess", '[' + at("192.0.2.9", 1) + ']'),
                        out("vless", vnext(js("{'address':'192.0.2.11','port':'443'}"))), good}),
             "192.0.2.10:8443"},
            {outbounds({out("vless", vnext(js("{'address':'192.0.2.12','port':443.5}")))}), {}},
            {outbounds({out("vless", vnext(js("{'address':'192.0.2.13','port':443.0}")))}), "192.0.2.13:443"},
            {outbounds({out("trojan", at("192.0.2.14", 99999))}), "192.0.2.14:99999"}, // kept as written
            {outbounds({out("trojan", js("{'address':42,'port':443}"))}), {}},
            {outbounds({out("vmess", js("{'vnext':[],'servers':[%1]}").arg(at("192.0.2.15", 10)))}), "192.0.2.15:10"},
            {outbounds({out("vmess", js("{'vnext':[{'address':'x'}],'servers':['not an object'],'address':'192.0.2.16','port':11}"))}),
             "192.0.2.16:11"}};
        for (const auto &[config, expected] : rows)
            QVERIFY2(SubscriptionCatalog::endpoint(config) == (expected.isNull() ? std::nullopt : std::optional(expected)), qPrintable(config));
    }

    void endpointTexts()
    {
        // The port after the last colon: decimal digits with one optional sign, nothing else; 443 when there are none.
        const struct { const char *endpoint, *host; int port; } rows[] = {
            {"1.2.3.4:8443", "1.2.3.4", 8443}, {"node.example", "node.example", 443}, {"8080", "8080", 443}, {":", "", 443},
            {"h:65535", "h", 65535}, {"h:65536", "h", 443}, {"h:+80", "h", 80}, {"h:-0", "h", 0}, {"h:-80", "h", 443}, {"h:+", "h", 443},
            {"h:0080", "h", 80}, {"h:٨٠", "h", 443}, {"h::8080:", "h::8080", 443}, {"[2001:db8::1]:443", "2001:db8::1", 443},
            {"2001:db8::1:8443", "2001:db8::1", 8443}, {"[::1]:80", "::1", 80}, {"[]:80", "", 80}, {"[h:80", "[h", 80}};
        for (const auto &row : rows)
            QVERIFY2(SubscriptionCatalog::host(row.endpoint) == row.host && SubscriptionCatalog::port(row.endpoint) == row.port, row.endpoint);

        // Computed independently (FNV-1a 32 over code points); UTF-8 bytes would give 6585 and 1675 instead.
        const QList<std::pair<QString, int>> labels{
            {"", 8261}, {"a", 4220}, {"1.2.3.4:8443", 1020}, {"[2001:db8::1]:443", 2066}, {"узел.example:8443", 6526}, {"😀.example:443", 4096},
            {QChar(0xD800) + QString("x"), 3520}, {QChar(0xDC00) + QString("x"), 3520}, {"x" + QString(QChar(0xD800)), 3350}};
        for (const auto &[endpoint, number] : labels)
            QCOMPARE(SubscriptionCatalog::nodeDisplayLabel(endpoint), QStringLiteral("Узел %1").arg(number));
    }
};

QTEST_GUILESS_MAIN(TestLoginResponse)
#include "test_login_response.moc"
