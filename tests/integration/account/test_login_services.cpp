#include "account_test_support.h"

#include "account/email_login_service.h"
#include "account/telegram_login_service.h"

#include <QElapsedTimer>
#include <QMetaEnum>

using namespace qor;
using namespace qor::testing;
using Kind = TelegramLoginResult::Kind;
using VerifyKind = VerifyCodeResult::Kind;

namespace {
template<typename E>
QString key(E value)
{
    return QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(int(value)));
}
} // namespace

// The messenger login, session refresh, account deletion and the e-mail code login
// against a real account server on loopback. The poll loop's 2-second pauses and
// 180-second deadline run in virtual time. Which bodies are login answers is pinned in
// test_login_response; here, how each service reads an exchange.
class TestLoginServices : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;
    std::unique_ptr<ManualClock> clock;
    std::unique_ptr<TelegramLoginService> service;
    QDateTime start;

    // Everything one login reported, with the virtual second of each report.
    struct Reports {
        QString token;
        QList<TelegramLoginResult> results;
        QList<qint64> atSeconds;
    };
    std::shared_ptr<Reports> login()
    {
        auto reports = std::make_shared<Reports>();
        reports->token = service->startLogin([this, reports](const TelegramLoginResult &result) {
            reports->results.append(result);
            reports->atSeconds.append(start.secsTo(clock->now()));
        });
        return reports;
    }
    void useTransport(const AccountTransport &transport)
    {
        service = std::make_unique<TelegramLoginService>(*clock, transport, QString());
    }
    // Lets a long virtual time pass; nothing may happen any more.
    void quietAfterwards()
    {
        clock->advance(400s);
        QTest::qWait(20);
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<AccountServer>();
        QVERIFY(server->listen());
        clock = std::make_unique<ManualClock>();
        start = clock->now();
        service = std::make_unique<TelegramLoginService>(*clock, transportFor(*server), u"https://t.me/ExampleBot"_s);
    }
    void cleanup()
    {
        service.reset();
        ManualClock::drainEvents();
        server.reset();
        clock.reset();
    }

    // What the first poll's answer leads to: a result at once (the answer as parsed),
    // or another poll 2 seconds later, which here confirms the login.
    void firstPollAnswer_data()
    {
        QTest::addColumn<ScriptedAnswer>("first");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("atSecond");
        QTest::newRow("ok with a full session")
            << body("{'status':'ok','session_token':'sess-1','username':'Анна','subscription_status':'Active','traffic_used_bytes':5,"
                    "'expires_at':'2026-06-01T00:00:00.000Z','xray_configs':[{'remarks':'Qor AI Network'}],'qor':{'company':'ACME'}}")
            << Kind::Ok << 0;
        QTest::newRow("ok with HTTP 500") << status("ok", 500) << Kind::Ok << 0;
        QTest::newRow("no_subscription") << status("no_subscription") << Kind::NoSubscription << 0;
        QTest::newRow("invalid_session with HTTP 401") << status("invalid_session", 401) << Kind::SessionRevoked << 0;
        QTest::newRow("pending") << status("pending") << Kind::Ok << 2;
        QTest::newRow("html error page") << ScriptedAnswer::raw("<html>502 Bad Gateway</html>", 502, "text/html") << Kind::Ok << 2;
        QTest::newRow("connection dropped") << ScriptedAnswer::dropped() << Kind::Ok << 2;
        QTest::newRow("never answers") << ScriptedAnswer::never() << Kind::Ok << 2;
    }
    void firstPollAnswer()
    {
        QFETCH(ScriptedAnswer, first);
        QFETCH(int, atSecond);
        // Answers by virtual time, so Qt's own repeat of a dropped GET meets the same answer.
        server->setHandler(u"poll/"_s, [&](const RecordedRequest &) { return start.secsTo(clock->now()) < 2 ? first : status("ok"); });
        const auto reports = login();
        QVERIFY(service->isPolling());
        QCOMPARE(reports->results.size(), 0); // never inside startLogin
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 10s));
        QCOMPARE(reports->results.size(), 1);
        QTEST(reports->results.first().kind, "kind");
        QCOMPARE(reports->atSeconds.first(), atSecond);
        if (atSecond == 0)
            QCOMPARE(reports->results.first(), TelegramLoginService::parseLoginResponse(first.body));
        QVERIFY(!service->isPolling());
        QVERIFY(server->requestCount() > 0);
        for (const RecordedRequest &poll : server->requests())
            QCOMPARE(shape(poll), u"GET poll/"_s + reports->token + u"  "_s);
        // Nothing more after the result.
        const int requests = server->requestCount();
        quietAfterwards();
        QCOMPARE(server->requestCount(), requests);
        QCOMPARE(reports->results.size(), 1);
    }

    void unconfirmedLoginTimesOutOnceAfter180Seconds()
    {
        server->setDefault(u"poll/"_s, status("pending"));
        const auto reports = login();
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 200s));
        QCOMPARE(reports->results.size(), 1);
        QCOMPARE(reports->results.first().kind, Kind::TimedOut);
        QCOMPARE(reports->atSeconds.first(), 180);
        QCOMPARE(server->requestCount(u"poll/"_s), 90); // at 0, 2, …, 178 s
        QVERIFY(!service->isPolling());
        quietAfterwards();
        QCOMPARE(reports->results.size(), 1);
        QCOMPARE(server->requestCount(u"poll/"_s), 90);
    }

    // Cancelling the login or destroying the service ends its loop without a result,
    // also while a poll is out (its connection is closed at once).
    void loopEndsSilently_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::addColumn<bool>("duringRequest");
        QTest::newRow("cancelled while sleeping") << false << false;
        QTest::newRow("cancelled while a request is out") << false << true;
        QTest::newRow("destroyed while sleeping") << true << false;
        QTest::newRow("destroyed while a request is out") << true << true;
    }
    void loopEndsSilently()
    {
        QFETCH(bool, destroy);
        QFETCH(bool, duringRequest);
        server->setDefault(u"poll/"_s, duringRequest ? ScriptedAnswer::never() : status("pending"));
        useTransport(transportFor(*server, 30s));
        const auto reports = login();
        QVERIFY(waitUntil([&] { return (duringRequest ? server->silentConnections() : clock->pendingSleeps()) == 1; }));
        QElapsedTimer elapsed;
        elapsed.start();
        if (destroy)
            service.reset();
        else
            service->cancelPolling();
        QVERIFY(destroy || !service->isPolling());
        QVERIFY(waitUntil([&] { return server->silentConnections() == 0; }, 2000));
        QVERIFY(elapsed.elapsed() < 1000);
        quietAfterwards();
        QCOMPARE(reports->results.size(), 0);
        QCOMPARE(server->requestCount(), 1);
    }

    void aNewLoginReplacesTheRunningOne()
    {
        QString secondPath;
        server->setHandler(u"poll/"_s, [&](const RecordedRequest &request) {
            return request.path == secondPath && start.secsTo(clock->now()) >= 6 ? status("ok") : status("pending");
        });
        const auto first = login();
        QVERIFY(!runPollLoop(*clock, [] { return false; }, 2s)); // polls at 0 and 2 s
        QVERIFY(waitUntil([&] { return server->requestCount() == 2; }));
        const auto second = login();
        secondPath = u"poll/"_s + second->token;
        QVERIFY(second->token != first->token);
        QVERIFY(service->isPolling());
        QVERIFY(runPollLoop(*clock, [&] { return !second->results.isEmpty(); }, 20s));
        QCOMPARE(second->results.size(), 1);
        QCOMPARE(second->results.first().kind, Kind::Ok);
        // The first loop neither polled again nor reports, not even a time-out later.
        quietAfterwards();
        QCOMPARE(first->results.size(), 0);
        QCOMPARE(server->requestCount(u"poll/"_s + first->token), 2);
        QCOMPARE(second->results.size(), 1);
    }

    // An address that cannot be formed: the login ends (after startLogin returned) and
    // a refresh answers with the "bad url" error; a deletion and both e-mail steps fail.
    void malformedBase()
    {
        useTransport(AccountTransport({u"http://192.0.2.1/api/auth/"_s}));
        const auto reports = login();
        QCOMPARE(reports->results.size(), 0);
        ManualClock::drainEvents();
        QCOMPARE(reports->results, (QList<TelegramLoginResult>{TelegramLoginResult::error(u"bad url"_s)}));
        QVERIFY(!service->isPolling());
        QCOMPARE(finish(service->refresh(u"sess"_s)).value_or(std::nullopt), std::optional(TelegramLoginResult::error(u"bad url"_s)));
        QCOMPARE(finish(service->deleteAccount(u"sess"_s)), false);
        EmailLoginService email(AccountTransport({u"http://192.0.2.1/api/auth/"_s}));
        QCOMPARE(finish(email.requestCode(u"a@example.com"_s)), RequestCodeResult::Failed);
        QCOMPARE(finish(email.verifyCode(u"a@example.com"_s, u"1"_s)).value_or(VerifyCodeResult::ok({})).kind, VerifyKind::NetworkError);
    }

    // The one-shot exchanges: what each operation makes of an answer (the HTTP status
    // decides only for a deletion), and the request it sent. A failed exchange is no
    // answer to each of them: test_account_faults runs every operation into every fault.
    void oneShot_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<QString>("outcome");
        const QList<std::tuple<const char *, const char *, ScriptedAnswer, const char *>> rows{
            {"refresh", "ok", status("ok"), "Ok"}, {"refresh", "ok with HTTP 503", status("ok", 503), "Ok"},
            {"refresh", "invalid_session", status("invalid_session", 401), "SessionRevoked"},
            {"refresh", "no_subscription", status("no_subscription"), "NoSubscription"}, {"refresh", "unknown status", status("maintenance"), "none"},
            {"delete", "200 ok", status("ok"), "deleted"}, {"delete", "200 error", status("error"), "kept"},
            {"delete", "200 OK in capitals", status("OK"), "kept"}, {"delete", "500 ok", status("ok", 500), "kept"},
            {"delete", "201 ok", status("ok", 201), "kept"}, {"delete", "200 no status", body("{}"), "kept"},
            {"delete", "200 not json", ScriptedAnswer::raw("ok", 200), "kept"},
            {"code request", "sent", status("sent"), "Sent"}, {"code request", "sent with HTTP 500", status("sent", 500), "Sent"},
            {"code request", "invalid_email", status("invalid_email", 422), "InvalidEmail"},
            {"code request", "no status", body("{'message':'sent'}"), "Failed"},
            {"code request", "other status", status("rate_limited", 429), "Failed"}, {"code request", "SENT in capitals", status("SENT"), "Failed"},
            {"verification", "ok", body("{'status':'ok','session_token':'s1','username':'u'}"), "Ok Ok"},
            {"verification", "ok with HTTP 500, members of the wrong type",
             body("{'status':'ok','session_token':'s1','username':5,'subscription_status':'ACTIVE','xray_configs':'[]','qor':{'reserve':false}}", 500),
             "Ok Ok"},
            {"verification", "no_subscription", status("no_subscription"), "Ok NoSubscription"},
            {"verification", "invalid_session", status("invalid_session"), "Ok SessionRevoked"},
            {"verification", "invalid_code", body("{'status':'invalid_code','session_token':'s1'}", 400), "InvalidCode"},
            {"verification", "expired with a full session",
             body("{'status':'expired','session_token':'s1','username':'u','subscription_status':'active'}"), "Expired"},
            {"verification", "unknown success status", body("{'status':'verified','session_token':'s1'}"), "NetworkError"},
            {"verification", "no status, full session", body("{'session_token':'s1','username':'u','subscription_status':'active'}"), "NetworkError"}};
        for (const auto &[operation, name, answer, outcome] : rows)
            QTest::addRow("%s: %s", operation, name) << QString::fromLatin1(operation) << answer << QString::fromLatin1(outcome);
    }
    void oneShot()
    {
        QFETCH(QString, operation);
        QFETCH(ScriptedAnswer, answer);
        EmailLoginService email(transportFor(*server));
        QString outcome, request;
        QElapsedTimer elapsed;
        elapsed.start();
        if (operation == u"refresh") {
            server->setDefault(u"refresh/"_s, answer);
            const auto result = finish(service->refresh(u"sess-abc"_s));
            QVERIFY(result);
            outcome = *result ? key((*result)->kind) : u"none"_s;
            request = u"GET refresh/sess-abc  "_s;
        } else if (operation == u"delete") {
            server->setDefault(u"account/delete"_s, answer);
            const auto result = finish(service->deleteAccount(u"sess-\"quoted\""_s));
            QVERIFY(result);
            outcome = *result ? u"deleted"_s : u"kept"_s;
            request = u"POST account/delete application/json {\"session_token\":\"sess-\\\"quoted\\\"\"}"_s;
        } else if (operation == u"code request") {
            server->setDefault(u"email/request"_s, answer);
            const auto result = finish(email.requestCode(u" Anna@Example.COM "_s));
            QVERIFY(result);
            outcome = key(*result);
            request = u"POST email/request application/json {\"email\":\" Anna@Example.COM \"}"_s; // as typed
        } else {
            server->setDefault(u"email/verify"_s, answer);
            const auto result = finish(email.verifyCode(u"anna@example.com"_s, u" 0123 "_s));
            QVERIFY(result);
            QCOMPARE(result->login.has_value(), result->kind == VerifyKind::Ok);
            if (result->login)
                QCOMPARE(result->login, TelegramLoginService::parseLoginResponse(answer.body));
            outcome = key(result->kind) + (result->login ? u' ' + key(result->login->kind) : QString());
            request = u"POST email/verify application/json {\"code\":\" 0123 \",\"email\":\"anna@example.com\"}"_s;
        }
        QTEST(outcome, "outcome");
        QVERIFY(elapsed.elapsed() < 2000);
        QCOMPARE(shape(server->requests().value(0)), request);
    }
};

QTEST_GUILESS_MAIN(TestLoginServices)
#include "test_login_services.moc"
