#include "account/login_response_parser.h"
#include "account/telegram_login_service.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace qor;
using Kind = TelegramLoginResult::Kind;
using Session = TelegramLoginResult::Session;

namespace {

// JSON written with single quotes for legibility.
QByteArray j(const char *text) { return QByteArray(text).replace('\'', '"'); }
QJsonObject object(const char *text) { return QJsonDocument::fromJson(j(text)).object(); }

Session sessionOf(const QJsonObject &answer)
{
    const auto result = TelegramLoginService::parseLoginResponse(QJsonDocument(answer).toJson(QJsonDocument::Compact));
    if (!result || result->kind != Kind::Ok)
        qFatal("expected an ok result");
    return result->ok;
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) { return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC); }

} // namespace

class TestLoginResponse : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Only a JSON object with one of three exact statuses is an answer; anything else
    // (during a login) means "not confirmed yet".
    void statusDecidesTheOutcome()
    {
        const QList<std::pair<QByteArray, std::optional<Kind>>> rows{
            {j("{'status':'ok'}"), Kind::Ok}, {j("{'status':'no_subscription'}"), Kind::NoSubscription},
            {j("{'status':'invalid_session'}"), Kind::SessionRevoked}, {j("{'status':'pending'}"), {}}, {j("{'status':'OK'}"), {}},
            {j("{'status':1}"), {}}, {j("{'status':null}"), {}}, {j("{'session_token':'t','username':'u'}"), {}},
            {j("[{'status':'ok'}]"), {}}, {j("'ok'"), {}}, {"<html><body>502 Bad Gateway</body></html>", {}},
            {"{\"status\":\"ok\",\"username\":\"a", {}}, {{}, {}}, {j("{'status':'ok'} x"), {}}};
        for (const auto &[body, kind] : rows) {
            const auto result = TelegramLoginService::parseLoginResponse(body);
            QVERIFY2(result.has_value() == kind.has_value() && (!result || result->kind == *kind), body.constData());
        }
    }

    void okAnswerFillsEveryField()
    {
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
    }

    // Each member given a value of the wrong JSON type must come out absent and must
    // not disturb the others.
    void wrongTypesCountAsAbsent()
    {
        QList<std::pair<QString, QJsonValue>> rows{
            {"xray_configs", QString(j("[{'remarks':'a'}]"))}, {"xray_configs", QJsonObject{{"remarks", "a"}}}, {"qor", "{}"}, {"qor", QJsonArray{}}};
        for (const char *member : {"username", "avatar_data_uri", "subscription_url", "awg_conf", "tavrin_key", "session_token",
                                   "subscription_status", "expires_at"}) {
            for (const QJsonValue &value : {QJsonValue(42), QJsonValue(true), QJsonValue(QJsonValue::Null), QJsonValue(QJsonArray{"x"}),
                                            QJsonValue(QJsonObject{{"a", 1}})})
                rows.append({member, value});
        }
        for (const char *member : {"traffic_used_bytes", "traffic_limit_bytes"}) {
            for (const QJsonValue &value : {QJsonValue("1024"), QJsonValue(true), QJsonValue(1.5), QJsonValue(1e19)})
                rows.append({member, value});
        }
        for (const auto &[member, value] : rows) {
            QJsonObject answer{{"status", "ok"}, {"username", "kept"}};
            answer.insert(member, value);
            Session expected;
            expected.username = member == "username" ? std::nullopt : std::optional<QString>("kept");
            QVERIFY2(sessionOf(answer) == expected, qPrintable(member + ": " + QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)));
        }
    }

    // Active only for "active" in any letter case, exactly.
    void subscriptionStatus()
    {
        const QList<std::pair<const char *, std::optional<bool>>> rows{
            {"{'subscription_status':'ACTIVE'}", true}, {"{'subscription_status':'aCtIvE'}", true},
            {"{'subscription_status':'expired'}", false}, {"{'subscription_status':''}", false},
            {"{'subscription_status':' active'}", false}, {"{'subscription_status':'inactive'}", false}, {"{}", {}},
            {"{'subscription_status':true}", {}}};
        for (const auto &[answer, active] : rows)
            QVERIFY2(parseSubscriptionInfo(object(answer)).isActive == active, answer);
    }

    // Expiry needs fractional seconds and a zone; anything else is absent.
    void expiresAtNeedsFractionalSeconds()
    {
        const QList<std::pair<const char *, QDateTime>> rows{
            {"2026-05-01T00:00:00.000Z", utc(2026, 5, 1, 0, 0, 0)}, {"2026-05-01T00:00:00.5Z", utc(2026, 5, 1, 0, 0, 0, 500)},
            {"2026-05-01T00:00:00.123999Z", utc(2026, 5, 1, 0, 0, 0, 123)}, {"2026-05-01T03:00:00.000+03:00", utc(2026, 5, 1, 0, 0, 0)},
            {"2026-04-30T19:30:00.000-04:30", utc(2026, 5, 1, 0, 0, 0)}, {"2026-05-01T00:00:00Z", {}}, {"2026-05-01T00:00:00.000", {}},
            {"2026-05-01 00:00:00.000Z", {}}, {"2026-05-01", {}}, {"2026-02-30T00:00:00.000Z", {}}, {"2026-05-01T24:00:00.000Z", {}},
            {"2026-05-01T00:00:00.Z", {}}, {"2026-05-01T00:00:00.000+03:60", {}}, {"1777593600", {}}};
        for (const auto &[text, expected] : rows) {
            const auto expiresAt = parseSubscriptionInfo({{"expires_at", text}}).expiresAt;
            QVERIFY2(expiresAt == (expected.isValid() ? std::optional(expected) : std::nullopt), text);
        }
    }

    // Byte counts are exact 64-bit integers, however the number is written.
    void trafficFigures()
    {
        const QList<std::pair<const char *, std::optional<qint64>>> rows{
            {"0", 0}, {"9007199254740993", 9007199254740993LL}, {"-1", -1}, {"1e3", 1000}, {"10.5", {}}, {"'10'", {}}};
        for (const auto &[number, used] : rows) {
            const QJsonObject answer = QJsonDocument::fromJson(j("{'traffic_used_bytes':") + j(number) + '}').object();
            QVERIFY2(parseSubscriptionInfo(answer).trafficUsedBytes == used, number);
        }
    }

    // Each named server becomes {name, config: its whole object as compact text}; absent
    // when none is named or the member is not an array of objects.
    void xrayConfigsAreNormalised()
    {
        const QList<std::pair<const char *, const char *>> rows{
            {"[{'remarks':'Qor AI Network','outbounds':[]},{'remarks':'Узел 2','port':443}]",
             "[{'config':'{\\'outbounds\\':[],\\'remarks\\':\\'Qor AI Network\\'}','name':'Qor AI Network'},"
             "{'config':'{\\'port\\':443,\\'remarks\\':\\'Узел 2\\'}','name':'Узел 2'}]"},
            {"[{'port':1},{'remarks':'b'},{'remarks':7}]", "[{'config':'{\\'remarks\\':\\'b\\'}','name':'b'}]"},
            {"[{'port':1},{'tag':'x'}]", nullptr}, {"[]", nullptr}, {"[{'remarks':'a'},'b']", nullptr},
            {"'[{\\'remarks\\':\\'a\\'}]'", nullptr}, {"{'remarks':'a'}", nullptr}};
        for (const auto &[xray, expected] : rows) {
            const auto normalised = normalizeXrayConfigs(QJsonDocument::fromJson(j("[") + j(xray) + "]").array().first());
            QVERIFY2(normalised == (expected ? std::optional<QString>(j(expected)) : std::nullopt), xray);
        }
    }
};

QTEST_GUILESS_MAIN(TestLoginResponse)
#include "test_login_response.moc"
