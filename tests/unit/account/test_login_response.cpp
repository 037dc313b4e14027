#include "account/login_response_parser.h"
#include "account/telegram_login_service.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace qor;
using Kind = TelegramLoginResult::Kind;

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

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject okWith(const QString &key, const QJsonValue &value)
{
    QJsonObject answer{{QStringLiteral("status"), QStringLiteral("ok")}};
    answer.insert(key, value);
    return answer;
}

TelegramLoginResult::Session sessionOf(const QJsonObject &answer)
{
    const auto result = TelegramLoginService::parseLoginResponse(json(answer));
    if (!result || result->kind != Kind::Ok)
        qFatal("expected an ok result");
    return result->ok;
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

} // namespace

class TestLoginResponse : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusDecidesTheOutcome_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("hasResult");
        QTest::addColumn<Kind>("kind");

        QTest::newRow("ok") << j("{'status':'ok'}") << true << Kind::Ok;
        QTest::newRow("no_subscription") << j("{'status':'no_subscription'}") << true << Kind::NoSubscription;
        QTest::newRow("invalid_session") << j("{'status':'invalid_session'}") << true << Kind::SessionRevoked;
        QTest::newRow("pending") << j("{'status':'pending'}") << false << Kind::Ok;
        QTest::newRow("OK upper case is unknown") << j("{'status':'OK'}") << false << Kind::Ok;
        QTest::newRow("status a number") << j("{'status':1}") << false << Kind::Ok;
        QTest::newRow("status null") << j("{'status':null}") << false << Kind::Ok;
        QTest::newRow("no status, full session") << j("{'session_token':'t','username':'u'}") << false << Kind::Ok;
        QTest::newRow("top level array") << j("[{'status':'ok'}]") << false << Kind::Ok;
        QTest::newRow("top level string") << j("'ok'") << false << Kind::Ok;
        QTest::newRow("html error page") << QByteArray("<html><body>502 Bad Gateway</body></html>") << false << Kind::Ok;
        QTest::newRow("truncated json") << QByteArray("{\"status\":\"ok\",\"username\":\"a") << false << Kind::Ok;
        QTest::newRow("empty body") << QByteArray() << false << Kind::Ok;
        QTest::newRow("trailing garbage") << j("{'status':'ok'} x") << false << Kind::Ok;
    }
    void statusDecidesTheOutcome()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, hasResult);
        QFETCH(Kind, kind);
        const auto result = TelegramLoginService::parseLoginResponse(body);
        QCOMPARE(result.has_value(), hasResult);
        if (hasResult)
            QCOMPARE(result->kind, kind);
    }

    void okAnswerFillsEveryField()
    {
        const QJsonObject answer{
            {QStringLiteral("status"), QStringLiteral("ok")},
            {QStringLiteral("username"), QStringLiteral("Анна")},
            {QStringLiteral("avatar_data_uri"), QStringLiteral("data:image/png;base64,AAAA")},
            {QStringLiteral("subscription_url"), QStringLiteral("https://sub.example.com/s/1")},
            {QStringLiteral("awg_conf"), js("[{'server':'a'}]")},
            {QStringLiteral("tavrin_key"), QStringLiteral("tk")},
            {QStringLiteral("session_token"), QStringLiteral("st")},
            {QStringLiteral("subscription_status"), QStringLiteral("active")},
            {QStringLiteral("expires_at"), QStringLiteral("2026-03-01T10:00:00.250Z")},
            {QStringLiteral("traffic_used_bytes"), 1024},
            {QStringLiteral("traffic_limit_bytes"), 1099511627776.0},
            {QStringLiteral("xray_configs"), QJsonArray{QJsonObject{{QStringLiteral("remarks"), QStringLiteral("Qor AI Network")}}}},
            {QStringLiteral("qor"), QJsonObject{{QStringLiteral("company"), QStringLiteral("ACME")}}},
        };
        const auto session = sessionOf(answer);
        QCOMPARE(session.username, QStringLiteral("Анна"));
        QCOMPARE(session.avatarDataURI, QStringLiteral("data:image/png;base64,AAAA"));
        QCOMPARE(session.subscriptionURL, QStringLiteral("https://sub.example.com/s/1"));
        QCOMPARE(session.awgConfigsJSON, js("[{'server':'a'}]")); // passed on unchanged
        QCOMPARE(session.tavrinKey, QStringLiteral("tk"));
        QCOMPARE(session.sessionToken, QStringLiteral("st"));
        QVERIFY(session.xrayConfigsJSON.has_value());
        QCOMPARE(session.subscription.isActive, true);
        QCOMPARE(session.subscription.expiresAt, utc(2026, 3, 1, 10, 0, 0, 250));
        QCOMPARE(session.subscription.trafficUsedBytes, qint64(1024));
        QCOMPARE(session.subscription.trafficLimitBytes, qint64(1099511627776));
        QVERIFY(session.corporate.has_value());
        QCOMPARE(session.corporate->company, QStringLiteral("ACME"));
    }

    void okAnswerWithoutMembersHasEveryFieldAbsent()
    {
        const auto session = sessionOf({{QStringLiteral("status"), QStringLiteral("ok")}});
        QCOMPARE(session, TelegramLoginResult::Session{});
        QVERIFY(!session.sessionToken); // the caller keeps its stored token
        QCOMPARE(session.subscription, SubscriptionInfo::empty());
        QVERIFY(session.subscription.isEmpty());
    }

    // Each member given a value of the wrong JSON type must come out absent and must
    // not disturb the others.
    void wrongTypesCountAsAbsent_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<QJsonValue>("value");
        const QList<QPair<const char *, QJsonValue>> wrong{
            {"number", 42}, {"bool", true}, {"null", QJsonValue::Null},
            {"array", QJsonArray{QStringLiteral("x")}}, {"object", QJsonObject{{QStringLiteral("a"), 1}}},
        };
        for (const char *member : {"username", "avatar_data_uri", "subscription_url", "awg_conf", "tavrin_key",
                                   "session_token", "subscription_status", "expires_at"}) {
            for (const auto &[name, value] : wrong)
                QTest::addRow("%s as %s", member, name) << QString::fromLatin1(member) << value;
        }
        for (const char *member : {"traffic_used_bytes", "traffic_limit_bytes"}) {
            QTest::addRow("%s as string", member) << QString::fromLatin1(member) << QJsonValue(QStringLiteral("1024"));
            QTest::addRow("%s as bool", member) << QString::fromLatin1(member) << QJsonValue(true);
            QTest::addRow("%s as fraction", member) << QString::fromLatin1(member) << QJsonValue(1.5);
            QTest::addRow("%s beyond 64 bits", member) << QString::fromLatin1(member) << QJsonValue(1e19);
        }
        QTest::newRow("xray_configs as string") << QStringLiteral("xray_configs") << QJsonValue(js("[{'remarks':'a'}]"));
        QTest::newRow("xray_configs as object") << QStringLiteral("xray_configs") << QJsonValue(QJsonObject{{QStringLiteral("remarks"), QStringLiteral("a")}});
        QTest::newRow("qor as string") << QStringLiteral("qor") << QJsonValue(QStringLiteral("{}"));
        QTest::newRow("qor as array") << QStringLiteral("qor") << QJsonValue(QJsonArray{});
    }
    void wrongTypesCountAsAbsent()
    {
        QFETCH(QString, member);
        QFETCH(QJsonValue, value);
        QJsonObject answer = okWith(member, value);
        answer.insert(QStringLiteral("username"), member == u"username" ? value : QJsonValue(QStringLiteral("kept")));
        const auto session = sessionOf(answer);

        TelegramLoginResult::Session expected;
        if (member != u"username")
            expected.username = QStringLiteral("kept");
        QCOMPARE(session, expected);
    }

    void subscriptionStatus_data()
    {
        QTest::addColumn<QJsonValue>("status");
        QTest::addColumn<std::optional<bool>>("isActive");
        QTest::newRow("ACTIVE") << QJsonValue(QStringLiteral("ACTIVE")) << std::optional<bool>(true);
        QTest::newRow("active") << QJsonValue(QStringLiteral("active")) << std::optional<bool>(true);
        QTest::newRow("aCtIvE") << QJsonValue(QStringLiteral("aCtIvE")) << std::optional<bool>(true);
        QTest::newRow("expired") << QJsonValue(QStringLiteral("expired")) << std::optional<bool>(false);
        QTest::newRow("empty") << QJsonValue(QString()) << std::optional<bool>(false);
        QTest::newRow("padded") << QJsonValue(QStringLiteral(" active")) << std::optional<bool>(false);
        QTest::newRow("inactive") << QJsonValue(QStringLiteral("inactive")) << std::optional<bool>(false);
        QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << std::optional<bool>();
        QTest::newRow("true") << QJsonValue(true) << std::optional<bool>();
    }
    void subscriptionStatus()
    {
        QFETCH(QJsonValue, status);
        QFETCH(std::optional<bool>, isActive);
        QJsonObject answer;
        if (!status.isUndefined())
            answer.insert(QStringLiteral("subscription_status"), status);
        QCOMPARE(parseSubscriptionInfo(answer).isActive, isActive);
    }

    void expiresAtNeedsFractionalSeconds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: absent
        QTest::newRow("milliseconds") << QStringLiteral("2026-05-01T00:00:00.000Z") << utc(2026, 5, 1, 0, 0, 0);
        QTest::newRow("one digit") << QStringLiteral("2026-05-01T00:00:00.5Z") << utc(2026, 5, 1, 0, 0, 0, 500);
        QTest::newRow("microseconds truncated") << QStringLiteral("2026-05-01T00:00:00.123999Z") << utc(2026, 5, 1, 0, 0, 0, 123);
        QTest::newRow("offset") << QStringLiteral("2026-05-01T03:00:00.000+03:00") << utc(2026, 5, 1, 0, 0, 0);
        QTest::newRow("negative offset") << QStringLiteral("2026-04-30T19:30:00.000-04:30") << utc(2026, 5, 1, 0, 0, 0);
        QTest::newRow("no fraction") << QStringLiteral("2026-05-01T00:00:00Z") << QDateTime();
        QTest::newRow("no zone") << QStringLiteral("2026-05-01T00:00:00.000") << QDateTime();
        QTest::newRow("space for T") << QStringLiteral("2026-05-01 00:00:00.000Z") << QDateTime();
        QTest::newRow("date only") << QStringLiteral("2026-05-01") << QDateTime();
        QTest::newRow("impossible day") << QStringLiteral("2026-02-30T00:00:00.000Z") << QDateTime();
        QTest::newRow("hour 24") << QStringLiteral("2026-05-01T24:00:00.000Z") << QDateTime();
        QTest::newRow("bare dot") << QStringLiteral("2026-05-01T00:00:00.Z") << QDateTime();
        QTest::newRow("epoch seconds text") << QStringLiteral("1777593600") << QDateTime();
    }
    void expiresAtNeedsFractionalSeconds()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        const auto expiresAt = parseSubscriptionInfo({{QStringLiteral("expires_at"), text}}).expiresAt;
        QCOMPARE(expiresAt.has_value(), expected.isValid());
        if (expected.isValid())
            QCOMPARE(*expiresAt, expected);
    }

    void trafficFigures_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<qint64>>("used");
        QTest::newRow("zero") << j("{'traffic_used_bytes':0}") << std::optional<qint64>(0);
        QTest::newRow("large exact") << j("{'traffic_used_bytes':9007199254740993}") << std::optional<qint64>(9007199254740993LL);
        QTest::newRow("negative") << j("{'traffic_used_bytes':-1}") << std::optional<qint64>(-1);
        QTest::newRow("exponent") << j("{'traffic_used_bytes':1e3}") << std::optional<qint64>(1000);
        QTest::newRow("fraction") << j("{'traffic_used_bytes':10.5}") << std::optional<qint64>();
        QTest::newRow("string") << j("{'traffic_used_bytes':'10'}") << std::optional<qint64>();
    }
    void trafficFigures()
    {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<qint64>, used);
        QCOMPARE(parseSubscriptionInfo(QJsonDocument::fromJson(body).object()).trafficUsedBytes, used);
    }

    void xrayConfigsAreNormalised_data()
    {
        QTest::addColumn<QByteArray>("xray");
        QTest::addColumn<QStringList>("names"); // empty: absent

        QTest::newRow("two named servers in order")
            << j("[{'remarks':'Qor AI Network','outbounds':[]},{'remarks':'Узел 2','port':443}]")
            << QStringList{QStringLiteral("Qor AI Network"), QStringLiteral("Узел 2")};
        QTest::newRow("unnamed ones skipped")
            << j("[{'port':1},{'remarks':'b'},{'remarks':7}]") << QStringList{QStringLiteral("b")};
        QTest::newRow("none named") << j("[{'port':1},{'tag':'x'}]") << QStringList();
        QTest::newRow("empty array") << QByteArray("[]") << QStringList();
        QTest::newRow("one element not an object") << j("[{'remarks':'a'},'b']") << QStringList();
        QTest::newRow("a string") << j("'[{\\'remarks\\':\\'a\\'}]'") << QStringList();
    }
    void xrayConfigsAreNormalised()
    {
        QFETCH(QByteArray, xray);
        QFETCH(QStringList, names);
        const QJsonValue xrayValue = QJsonDocument::fromJson("[" + xray + "]").array().first();
        const auto normalised = normalizeXrayConfigs(xrayValue);
        QCOMPARE(normalised.has_value(), !names.isEmpty());
        if (!normalised)
            return;

        // Each entry carries its name and the compact text of the whole server object.
        const QJsonArray entries = QJsonDocument::fromJson(normalised->toUtf8()).array();
        QCOMPARE(entries.size(), names.size());
        QStringList seen;
        for (const QJsonValue &entry : entries) {
            const QJsonObject object = entry.toObject();
            QCOMPARE(object.keys(), (QStringList{QStringLiteral("config"), QStringLiteral("name")}));
            const QString config = object.value(QStringLiteral("config")).toString();
            QVERIFY(!config.contains(u'\n'));
            const QJsonObject server = QJsonDocument::fromJson(config.toUtf8()).object();
            QCOMPARE(server.value(QStringLiteral("remarks")).toString(), object.value(QStringLiteral("name")).toString());
            seen.append(object.value(QStringLiteral("name")).toString());
        }
        QCOMPARE(seen, names);
        const QJsonArray original = xrayValue.toArray();
        QCOMPARE(QJsonDocument::fromJson(entries.first().toObject().value(QStringLiteral("config")).toString().toUtf8()).object(),
                 std::find_if(original.begin(), original.end(), [](const QJsonValue &v) {
                     return v.toObject().value(QStringLiteral("remarks")).isString();
                 })->toObject());
    }
};

QTEST_GUILESS_MAIN(TestLoginResponse)
#include "test_login_response.moc"
