#include "account/corporate_access.h"

#include <QJsonDocument>
#include <QTest>

using namespace qor;

namespace {

// JSON written with single quotes for legibility.
QByteArray j(QByteArray text) { return text.replace('\'', '"'); }

// The record of an answer whose "qor" member is the given JSON text.
CorporateAccess parsed(const QByteArray &qor)
{
    const auto access = CorporateAccess::parse(QJsonDocument::fromJson(j("{'status':'ok','qor':") + j(qor) + "}").object());
    if (!access)
        qFatal("expected a corporate record for %s", qor.constData());
    return *access;
}

QDateTime at18(int ms) { return QDateTime(QDate(2026, 2, 1), QTime(18, 0, 0, ms), Qt::UTC); }

} // namespace

class TestCorporateAccess : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void onlyAQorObjectMakesAnAccountCorporate()
    {
        for (const char *qor : {"", ",'qor':null", ",'qor':[{'company':'x'}]", ",'qor':'{}'", ",'qor':true", ",'qor':{}"}) {
            const QJsonObject answer = QJsonDocument::fromJson(j("{'status':'ok'") + j(qor) + '}').object();
            QVERIFY2(CorporateAccess::parse(answer).has_value() == QByteArray(qor).endsWith("{}"), qor);
        }
    }

    // Warnings come at least a minute ahead; a member of the wrong kind keeps its default.
    void scalarMembers()
    {
        const struct { const char *qor, *company; bool reserve; int warn; } rows[] = {
            {"{}", nullptr, true, 10}, {"{'warn_minutes':0}", nullptr, true, 1}, {"{'warn_minutes':-5}", nullptr, true, 1},
            {"{'warn_minutes':1}", nullptr, true, 1}, {"{'warn_minutes':2}", nullptr, true, 2}, {"{'warn_minutes':45}", nullptr, true, 45},
            {"{'warn_minutes':'5'}", nullptr, true, 10}, {"{'warn_minutes':2.5}", nullptr, true, 10},
            {"{'warn_minutes':1e12}", nullptr, true, 10}, {"{'warn_minutes':true}", nullptr, true, 10},
            {"{'warn_minutes':null}", nullptr, true, 10}, {"{'reserve':false}", nullptr, false, 10}, {"{'reserve':true}", nullptr, true, 10},
            {"{'reserve':'false'}", nullptr, true, 10}, {"{'reserve':0}", nullptr, true, 10},
            {"{'company':'ООО Ромашка'}", "ООО Ромашка", true, 10}, {"{'company':12}", nullptr, true, 10}};
        for (const auto &row : rows) {
            const CorporateAccess access = parsed(row.qor);
            QVERIFY2(access.company == (row.company ? std::optional<QString>(row.company) : std::nullopt), row.qor);
            QVERIFY2(access.reserveAllowed == row.reserve && access.warnMinutes == row.warn, row.qor);
        }
        const CorporateAccess empty = parsed("{}");
        QVERIFY(!empty.sessionUntil && !empty.sessionReason && !empty.policy);
    }

    // Fractions beyond milliseconds are cut, so every form names the same instant.
    void sessionWindow()
    {
        const struct { const char *session; int ms; const char *reason; } rows[] = { // ms < 0: no end
            {"{'until':'2026-02-01T18:00:00.123Z','reason':'hours'}", 123, "hours"},
            {"{'until':'2026-02-01T18:00:00.123456Z','reason':'hours'}", 123, "hours"},
            {"{'until':'2026-02-01T18:00:00.123999999Z'}", 123, nullptr}, {"{'until':'2026-02-01T18:00:00Z','reason':'window'}", 0, "window"},
            {"{'until':'2026-02-01T18:00:00.1Z'}", 100, nullptr}, {"{'until':'2026-02-01T21:00:00.123456+03:00'}", 123, nullptr},
            {"{'until':'2026-02-01T18:00:00.123+24:00'}", -1, nullptr}, {"{'until':'2026-02-01T18:00:00'}", -1, nullptr},
            {"{'until':'2026-02-01'}", -1, nullptr}, {"{'until':'tomorrow','reason':'hours'}", -1, "hours"},
            {"{'until':1769968800,'reason':5}", -1, nullptr}, {"{}", -1, nullptr}, {"'2026-02-01T18:00:00Z'", -1, nullptr}};
        for (const auto &row : rows) {
            const CorporateAccess access = parsed(QByteArray("{'session':") + row.session + "}");
            QVERIFY2(access.sessionUntil == (row.ms < 0 ? std::nullopt : std::optional(at18(row.ms))), row.session);
            QVERIFY2(access.sessionReason == (row.reason ? std::optional<QString>(row.reason) : std::nullopt), row.session);
        }
    }

    // Each list keeps its non-empty strings in order; anything but an array is empty.
    void policyLists()
    {
        const QList<std::pair<const char *, QStringList>> rows{
            {"['b.example','a.example']", {"b.example", "a.example"}}, {"['x.example','',5,'y.example',null,true]", {"x.example", "y.example"}},
            {"['','']", {}}, {"'x.example'", {}}, {"{'0':'x.example'}", {}}, {"[['x.example']]", {}}};
        for (const auto &[list, expected] : rows) {
            for (const QString member : {"block_geosite", "block_domains", "allow_domains"}) {
                const CorporatePolicy policy = *parsed("{'policy':{'" + member.toUtf8() + "':" + list + "}}").policy;
                const QStringList got = member == "block_geosite" ? policy.blockGeosite
                    : member == "block_domains"                   ? policy.blockDomains
                                                                  : policy.allowDomains;
                QVERIFY2(got == expected && policy.dictionary().value(member).toStringList() == expected, qPrintable(member + ' ' + list));
            }
        }
    }

    void policyPresenceAndFlags()
    {
        QCOMPARE(parsed("{'policy':'strict'}").policy, std::nullopt);
        QCOMPARE(parsed("{'policy':null}").policy, std::nullopt);
        QCOMPARE(*parsed("{'policy':{}}").policy, CorporatePolicy{});
        QCOMPARE(parsed("{'policy':{'block_torrent':true}}").policy->blockTorrent, true);
        QCOMPARE(parsed("{'policy':{'block_torrent':'true'}}").policy->blockTorrent, false);
        QCOMPARE(parsed("{'policy':{'block_torrent':1}}").policy->blockTorrent, false);
        QCOMPARE(parsed("{'policy':{'name':'Офис'}}").policy->name, "Офис");
        QCOMPARE(parsed("{'policy':{'name':1}}").policy->name, std::nullopt);
    }

    // The provider gets a resolver only when all three of its values are there (a partial
    // one would leave it a DoH URL it cannot reach), and never the policy's name.
    void dictionaryCarriesDohOnlyWhenComplete()
    {
        const QList<std::pair<const char *, bool>> rows{
            {"{'doh':'https://dns.example/dns-query','host':'dns.example','ip':'192.0.2.53'}", true},
            {"{'doh':'https://dns.example/dns-query','host':'dns.example'}", false}, {"{'host':'dns.example','ip':'192.0.2.53'}", false},
            {"{'doh':'https://dns.example/dns-query','ip':'192.0.2.53'}", false}, {"'https://dns.example/dns-query'", false},
            {"{'doh':'https://dns.example/dns-query','host':'','ip':'192.0.2.53'}", false},
            {"{'doh':'https://dns.example/dns-query','host':'dns.example','ip':3221226037}", false}};
        for (const auto &[dns, hasDoh] : rows) {
            const QVariantMap dictionary =
                parsed(QByteArray("{'policy':{'name':'n','block_torrent':true,'block_geosite':['ads'],'dns':") + dns + "}}").policy->dictionary();
            QVariantMap expected{{"allow_domains", QStringList()}, {"block_domains", QStringList()}, {"block_geosite", QStringList{"ads"}},
                                 {"block_torrent", true}};
            if (hasDoh)
                expected.insert({{"doh", "https://dns.example/dns-query"}, {"doh_host", "dns.example"}, {"doh_ip", "192.0.2.53"}});
            QVERIFY2(dictionary == expected, dns);
            // The provider configuration is JSON: the form must survive the conversion.
            const QJsonObject asJson = QJsonObject::fromVariantMap(dictionary);
            QVERIFY(asJson.value("block_geosite").isArray() && asJson.value("block_torrent").isBool());
        }
    }

    // Only the "qor" member is stored, on one line, and it reads back to an equal record;
    // what is not such an object reads back as nothing.
    void rawJsonParsesBackToAnEqualRecord()
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
    }

    // A stored record is trusted for exactly a week; one without a save time, always.
    void storedRecordAge()
    {
        const QDateTime now = at18(0);
        for (const auto &[age, expired] : QList<std::pair<qint64, bool>>{
                 {0, false}, {6 * 86400, false}, {604800, false}, {604801, true}, {8 * 86400, true}, {-8 * 86400, false}})
            QVERIFY2(CorporateAccess::storedRecordExpired(now.addSecs(-age), now) == expired, qPrintable(QString::number(age)));
        QVERIFY(!CorporateAccess::storedRecordExpired(QDateTime(), now.addYears(4)));
    }
};

QTEST_GUILESS_MAIN(TestCorporateAccess)
#include "test_corporate_access.moc"
