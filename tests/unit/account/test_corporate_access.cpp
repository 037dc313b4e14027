#include "account/corporate_access.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;

namespace {

// JSON written with single quotes for legibility (moc cannot read raw string literals).
QByteArray j(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

QString js(const char *text)
{
    return QString::fromUtf8(j(text));
}

// An answer whose "qor" member is the given JSON text.
QJsonObject answerWithQor(const QByteArray &qor)
{
    return QJsonDocument::fromJson(j("{'status':'ok','username':'u','qor':") + qor + "}").object();
}

CorporateAccess parsed(const QByteArray &qor)
{
    const auto access = CorporateAccess::parse(answerWithQor(qor));
    if (!access)
        qFatal("expected a corporate record for %s", qor.constData());
    return *access;
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

} // namespace

class TestCorporateAccess : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void onlyAQorObjectMakesAnAccountCorporate_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("corporate");
        QTest::newRow("no qor") << j("{'status':'ok'}") << false;
        QTest::newRow("qor null") << j("{'qor':null}") << false;
        QTest::newRow("qor array") << j("{'qor':[{'company':'x'}]}") << false;
        QTest::newRow("qor string") << j("{'qor':'{}'}") << false;
        QTest::newRow("qor true") << j("{'qor':true}") << false;
        QTest::newRow("qor empty object") << j("{'qor':{}}") << true;
    }
    void onlyAQorObjectMakesAnAccountCorporate()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, corporate);
        QCOMPARE(CorporateAccess::parse(QJsonDocument::fromJson(answer).object()).has_value(), corporate);
    }

    void emptyQorHasAllDefaults()
    {
        const CorporateAccess access = parsed("{}");
        QCOMPARE(access.company, std::nullopt);
        QCOMPARE(access.reserveAllowed, true);
        QCOMPARE(access.warnMinutes, 10);
        QCOMPARE(access.sessionUntil, std::nullopt);
        QCOMPARE(access.sessionReason, std::nullopt);
        QCOMPARE(access.policy, std::nullopt);
        QCOMPARE(access.rawJSON, js("{'qor':{}}"));
    }

    void scalarMembers_data()
    {
        QTest::addColumn<QByteArray>("qor");
        QTest::addColumn<std::optional<QString>>("company");
        QTest::addColumn<bool>("reserveAllowed");
        QTest::addColumn<int>("warnMinutes");

        const std::optional<QString> none;
        QTest::newRow("warn 0") << j("{'warn_minutes':0}") << none << true << 1;
        QTest::newRow("warn -5") << j("{'warn_minutes':-5}") << none << true << 1;
        QTest::newRow("warn 1") << j("{'warn_minutes':1}") << none << true << 1;
        QTest::newRow("warn 2") << j("{'warn_minutes':2}") << none << true << 2;
        QTest::newRow("warn 45") << j("{'warn_minutes':45}") << none << true << 45;
        QTest::newRow("warn as string") << j("{'warn_minutes':'5'}") << none << true << 10;
        QTest::newRow("warn fractional") << j("{'warn_minutes':2.5}") << none << true << 10;
        QTest::newRow("warn bool") << j("{'warn_minutes':true}") << none << true << 10;
        QTest::newRow("warn null") << j("{'warn_minutes':null}") << none << true << 10;
        QTest::newRow("reserve false") << j("{'reserve':false}") << none << false << 10;
        QTest::newRow("reserve true") << j("{'reserve':true}") << none << true << 10;
        QTest::newRow("reserve as string") << j("{'reserve':'false'}") << none << true << 10;
        QTest::newRow("reserve as 0") << j("{'reserve':0}") << none << true << 10;
        QTest::newRow("company") << j("{'company':'ООО Ромашка'}")
                                 << std::optional<QString>(QStringLiteral("ООО Ромашка")) << true << 10;
        QTest::newRow("company as number") << j("{'company':12}") << none << true << 10;
    }
    void scalarMembers()
    {
        QFETCH(QByteArray, qor);
        QFETCH(std::optional<QString>, company);
        QFETCH(bool, reserveAllowed);
        QFETCH(int, warnMinutes);
        const CorporateAccess access = parsed(qor);
        QCOMPARE(access.company, company);
        QCOMPARE(access.reserveAllowed, reserveAllowed);
        QCOMPARE(access.warnMinutes, warnMinutes);
    }

    void sessionWindow_data()
    {
        QTest::addColumn<QByteArray>("session");
        QTest::addColumn<QDateTime>("until"); // invalid: absent
        QTest::addColumn<std::optional<QString>>("reason");

        const QDateTime end = utc(2026, 2, 1, 18, 0, 0, 123);
        const auto hours = std::optional<QString>(QStringLiteral("hours"));
        QTest::newRow("three digits") << j("{'until':'2026-02-01T18:00:00.123Z','reason':'hours'}") << end << hours;
        QTest::newRow("six digits") << j("{'until':'2026-02-01T18:00:00.123456Z','reason':'hours'}") << end << hours;
        QTest::newRow("nine digits") << j("{'until':'2026-02-01T18:00:00.123999999Z'}") << end << std::optional<QString>();
        QTest::newRow("no fraction") << j("{'until':'2026-02-01T18:00:00Z','reason':'window'}")
                                     << utc(2026, 2, 1, 18, 0, 0) << std::optional<QString>(QStringLiteral("window"));
        QTest::newRow("one digit") << j("{'until':'2026-02-01T18:00:00.1Z'}") << utc(2026, 2, 1, 18, 0, 0, 100) << std::optional<QString>();
        QTest::newRow("offset six digits") << j("{'until':'2026-02-01T21:00:00.123456+03:00'}") << end << std::optional<QString>();
        QTest::newRow("no zone") << j("{'until':'2026-02-01T18:00:00'}") << QDateTime() << std::optional<QString>();
        QTest::newRow("date only") << j("{'until':'2026-02-01'}") << QDateTime() << std::optional<QString>();
        QTest::newRow("garbage") << j("{'until':'tomorrow','reason':'hours'}") << QDateTime() << hours;
        QTest::newRow("until as number") << j("{'until':1769968800,'reason':5}") << QDateTime() << std::optional<QString>();
        QTest::newRow("empty session") << QByteArray("{}") << QDateTime() << std::optional<QString>();
        QTest::newRow("session as string") << j("'2026-02-01T18:00:00Z'") << QDateTime() << std::optional<QString>();
    }
    void sessionWindow()
    {
        QFETCH(QByteArray, session);
        QFETCH(QDateTime, until);
        QFETCH(std::optional<QString>, reason);
        const CorporateAccess access = parsed(j("{'session':") + session + "}");
        QCOMPARE(access.sessionUntil.has_value(), until.isValid());
        if (until.isValid())
            QCOMPARE(*access.sessionUntil, until);
        QCOMPARE(access.sessionReason, reason);
    }

    void policyLists_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("strings kept in order") << j("['b.example','a.example']")
                                               << QStringList{QStringLiteral("b.example"), QStringLiteral("a.example")};
        QTest::newRow("empty strings and numbers dropped") << j("['x.example','',5,'y.example',null,true]")
                                                           << QStringList{QStringLiteral("x.example"), QStringLiteral("y.example")};
        QTest::newRow("only empties") << j("['','']") << QStringList();
        QTest::newRow("a string") << j("'x.example'") << QStringList();
        QTest::newRow("an object") << j("{'0':'x.example'}") << QStringList();
        QTest::newRow("nested arrays") << j("[['x.example']]") << QStringList();
    }
    void policyLists()
    {
        QFETCH(QByteArray, list);
        QFETCH(QStringList, expected);
        for (const char *member : {"block_geosite", "block_domains", "allow_domains"}) {
            const CorporateAccess access = parsed(j("{'policy':{'") + QByteArray(member) + j("':") + list + "}}");
            QVERIFY(access.policy);
            const CorporatePolicy &policy = *access.policy;
            const QStringList got = QByteArray(member) == "block_geosite" ? policy.blockGeosite
                : QByteArray(member) == "block_domains"                   ? policy.blockDomains
                                                                          : policy.allowDomains;
            QCOMPARE(got, expected);
            QCOMPARE(policy.dictionary().value(QString::fromLatin1(member)).toStringList(), expected);
        }
    }

    void policyPresenceAndFlags()
    {
        QCOMPARE(parsed(j("{'policy':'strict'}")).policy, std::nullopt);
        QCOMPARE(parsed(j("{'policy':null}")).policy, std::nullopt);

        const CorporatePolicy empty = *parsed(j("{'policy':{}}")).policy;
        QCOMPARE(empty, CorporatePolicy{});
        QCOMPARE(empty.blockTorrent, false);

        QCOMPARE(parsed(j("{'policy':{'block_torrent':true}}")).policy->blockTorrent, true);
        QCOMPARE(parsed(j("{'policy':{'block_torrent':'true'}}")).policy->blockTorrent, false);
        QCOMPARE(parsed(j("{'policy':{'block_torrent':1}}")).policy->blockTorrent, false);
        QCOMPARE(parsed(j("{'policy':{'name':'Офис'}}")).policy->name, QStringLiteral("Офис"));
        QCOMPARE(parsed(j("{'policy':{'name':1}}")).policy->name, std::nullopt);
    }

    void dictionaryCarriesDohOnlyWhenComplete_data()
    {
        QTest::addColumn<QByteArray>("dns");
        QTest::addColumn<bool>("hasDoh");
        QTest::newRow("all three") << j("{'doh':'https://dns.example/dns-query','host':'dns.example','ip':'192.0.2.53'}") << true;
        QTest::newRow("no ip") << j("{'doh':'https://dns.example/dns-query','host':'dns.example'}") << false;
        QTest::newRow("no host") << j("{'doh':'https://dns.example/dns-query','ip':'192.0.2.53'}") << false;
        QTest::newRow("no doh") << j("{'host':'dns.example','ip':'192.0.2.53'}") << false;
        QTest::newRow("empty host") << j("{'doh':'https://dns.example/dns-query','host':'','ip':'192.0.2.53'}") << false;
        QTest::newRow("ip as number") << j("{'doh':'https://dns.example/dns-query','host':'dns.example','ip':3221226037}") << false;
        QTest::newRow("dns as string") << j("'https://dns.example/dns-query'") << false;
    }
    void dictionaryCarriesDohOnlyWhenComplete()
    {
        QFETCH(QByteArray, dns);
        QFETCH(bool, hasDoh);
        const CorporatePolicy policy =
            *parsed(j("{'policy':{'name':'n','block_torrent':true,'block_geosite':['ads'],'dns':") + dns + "}}").policy;
        const QVariantMap dictionary = policy.dictionary();

        QStringList keys{QStringLiteral("allow_domains"), QStringLiteral("block_domains"),
                         QStringLiteral("block_geosite"), QStringLiteral("block_torrent")};
        if (hasDoh)
            keys << QStringLiteral("doh") << QStringLiteral("doh_host") << QStringLiteral("doh_ip");
        keys.sort();
        QCOMPARE(dictionary.keys(), keys); // never the policy's name
        QCOMPARE(dictionary.value(QStringLiteral("block_torrent")), QVariant(true));
        QCOMPARE(dictionary.value(QStringLiteral("block_geosite")).toStringList(), QStringList{QStringLiteral("ads")});
        QCOMPARE(dictionary.value(QStringLiteral("allow_domains")).toStringList(), QStringList());
        if (hasDoh) {
            QCOMPARE(dictionary.value(QStringLiteral("doh")).toString(), QStringLiteral("https://dns.example/dns-query"));
            QCOMPARE(dictionary.value(QStringLiteral("doh_host")).toString(), QStringLiteral("dns.example"));
            QCOMPARE(dictionary.value(QStringLiteral("doh_ip")).toString(), QStringLiteral("192.0.2.53"));
        }
        // The provider configuration is JSON: the form must survive the conversion.
        const QJsonObject asJson = QJsonObject::fromVariantMap(dictionary);
        QVERIFY(asJson.value(QStringLiteral("block_geosite")).isArray());
        QVERIFY(asJson.value(QStringLiteral("block_torrent")).isBool());
    }

    void rawJsonParsesBackToAnEqualRecord_data()
    {
        QTest::addColumn<QByteArray>("qor");
        QTest::newRow("empty") << QByteArray("{}");
        QTest::newRow("full") << j("{'company':'ACME','reserve':false,'warn_minutes':0,\n            'session':{'until':'2026-02-01T18:00:00.123456Z','reason':'hours'},\n            'policy':{'name':'p','block_geosite':['ads',''],'block_domains':['x.example'],'allow_domains':[3],\n                      'block_torrent':true,'dns':{'doh':'https://d.example/q','host':'d.example','ip':'192.0.2.1'}},\n            'extra':{'kept':[1,2.5,'три']}}");
        QTest::newRow("unparseable until") << j("{'session':{'until':'soon'}}");
        QTest::newRow("unicode and escapes") << j("{'company':'\\'Рога\\' & \\\\ Копыта\\n'}");
    }
    void rawJsonParsesBackToAnEqualRecord()
    {
        QFETCH(QByteArray, qor);
        const CorporateAccess first = parsed(qor);
        QVERIFY(first.rawJSON);
        // Only the "qor" member is kept, so nothing else of the answer is stored.
        const QJsonObject raw = QJsonDocument::fromJson(first.rawJSON->toUtf8()).object();
        QCOMPARE(raw.keys(), QStringList{QStringLiteral("qor")});
        QCOMPARE(raw.value(QStringLiteral("qor")).toObject(), QJsonDocument::fromJson(qor).object());
        QVERIFY(!first.rawJSON->contains(u'\n'));

        const auto second = CorporateAccess::parseRaw(*first.rawJSON);
        QVERIFY(second);
        QCOMPARE(*second, first);
    }

    void parseRawRefusesWhatIsNotARecord()
    {
        QCOMPARE(CorporateAccess::parseRaw(QString()), std::nullopt);
        QCOMPARE(CorporateAccess::parseRaw(QStringLiteral("not json")), std::nullopt);
        QCOMPARE(CorporateAccess::parseRaw(js("{'company':'x'}")), std::nullopt);
    }

    void storedRecordAge_data()
    {
        QTest::addColumn<qint64>("ageSeconds");
        QTest::addColumn<bool>("expired");
        QTest::newRow("just saved") << qint64(0) << false;
        QTest::newRow("6 days") << qint64(6 * 86400) << false;
        QTest::newRow("exactly 7 days") << qint64(604800) << false;
        QTest::newRow("7 days and a second") << qint64(604801) << true;
        QTest::newRow("8 days") << qint64(8 * 86400) << true;
        QTest::newRow("saved in the future") << qint64(-8 * 86400) << false;
    }
    void storedRecordAge()
    {
        QFETCH(qint64, ageSeconds);
        QFETCH(bool, expired);
        const QDateTime now = utc(2026, 1, 31, 12, 0, 0);
        QCOMPARE(CorporateAccess::storedRecordExpired(now.addSecs(-ageSeconds), now), expired);
    }

    void storedRecordWithoutSaveTimeNeverExpires()
    {
        QCOMPARE(CorporateAccess::storedRecordExpired(QDateTime(), utc(2030, 1, 1, 0, 0, 0)), false);
    }
};

QTEST_GUILESS_MAIN(TestCorporateAccess)
#include "test_corporate_access.moc"
