#include "account_test_support.h"

#include "account/telegram_login_service.h"

#include <QElapsedTimer>
#include <QPointer>

using namespace qor;
using namespace qor::testing;
using Kind = TelegramLoginResult::Kind;

namespace {

ScriptedAnswer status(const char *text, int httpStatus = 200)
{
    return ScriptedAnswer::json({{QStringLiteral("status"), QString::fromLatin1(text)}}, httpStatus);
}

// Everything one login reported, with the virtual time of each report.
struct Reports {
    QList<TelegramLoginResult> results;
    QList<qint64> atSeconds;
};

} // namespace

// The messenger login, session refresh and account deletion against a real account
// server on loopback; the poll loop's 2-second pauses and 180-second deadline run in
// virtual time.
class TestTelegramLoginService : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;
    std::unique_ptr<ManualClock> clock;
    std::unique_ptr<TelegramLoginService> service;
    QDateTime start;

    std::function<void(const TelegramLoginResult &)> recordInto(std::shared_ptr<Reports> reports)
    {
        return [this, reports](const TelegramLoginResult &result) {
            reports->results.append(result);
            reports->atSeconds.append(start.secsTo(clock->now()));
        };
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<AccountServer>();
        QVERIFY(server->listen());
        clock = std::make_unique<ManualClock>();
        start = clock->now();
        service = std::make_unique<TelegramLoginService>(*clock, transportFor(*server),
                                                         QStringLiteral("https://t.me/ExampleBot"));
    }
    void cleanup()
    {
        service.reset();
        ManualClock::drainEvents();
        server.reset();
        clock.reset();
    }

    // What the first poll's answer leads to: a result at once, or another poll 2
    // seconds later (which here confirms the login).
    void firstPollAnswer_data()
    {
        QTest::addColumn<ScriptedAnswer>("first");
        QTest::addColumn<bool>("final");
        QTest::addColumn<Kind>("kind");

        QTest::newRow("ok") << status("ok") << true << Kind::Ok;
        QTest::newRow("ok with HTTP 500") << status("ok", 500) << true << Kind::Ok;
        QTest::newRow("no_subscription") << status("no_subscription") << true << Kind::NoSubscription;
        QTest::newRow("invalid_session with HTTP 401") << status("invalid_session", 401) << true << Kind::SessionRevoked;
        QTest::newRow("pending") << status("pending") << false << Kind::Ok;
        QTest::newRow("OK in capitals") << status("OK") << false << Kind::Ok;
        QTest::newRow("status a number") << ScriptedAnswer::raw(j("{'status':1,'session_token':'s'}"), 200, "application/json") << false << Kind::Ok;
        QTest::newRow("no status") << ScriptedAnswer::raw(j("{'session_token':'s'}"), 200, "application/json") << false << Kind::Ok;
        QTest::newRow("json array") << ScriptedAnswer::raw(j("[{'status':'ok'}]"), 200, "application/json") << false << Kind::Ok;
        QTest::newRow("html error page") << ScriptedAnswer::raw("<html>502 Bad Gateway</html>", 502, "text/html") << false << Kind::Ok;
        QTest::newRow("empty body") << ScriptedAnswer::raw({}, 200) << false << Kind::Ok;
        QTest::newRow("404 not found") << ScriptedAnswer::raw("not found", 404) << false << Kind::Ok;
        QTest::newRow("connection dropped") << ScriptedAnswer::dropped() << false << Kind::Ok;
        QTest::newRow("never answers") << ScriptedAnswer::never() << false << Kind::Ok;
        QTest::newRow("body breaks off") << ScriptedAnswer::raw(j("{'status':'ok'")).withHeader("Content-Length", "64") << false << Kind::Ok;
        QTest::newRow("body over 16 MiB") << ScriptedAnswer::streamed(17 * 1024 * 1024) << false << Kind::Ok;
    }
    void firstPollAnswer()
    {
        QFETCH(ScriptedAnswer, first);
        QFETCH(bool, final);
        QFETCH(Kind, kind);
        // Answers by virtual time, so Qt's own repeat of a dropped GET meets the same answer.
        server->setHandler(QStringLiteral("poll/"), [&](const RecordedRequest &) {
            return start.secsTo(clock->now()) < 2 ? first : status("ok");
        });

        auto reports = std::make_shared<Reports>();
        const QString token = service->startLogin(recordInto(reports));
        QVERIFY(service->isPolling());
        QCOMPARE(reports->results.size(), 0); // never inside startLogin
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 10s));

        QCOMPARE(reports->results.size(), 1);
        QCOMPARE(reports->results.first().kind, final ? kind : Kind::Ok);
        QCOMPARE(reports->atSeconds.first(), final ? 0 : 2);
        QVERIFY(!service->isPolling());
        const QList<RecordedRequest> polls = server->requests(QStringLiteral("poll/"));
        QVERIFY(!polls.isEmpty());
        for (const RecordedRequest &poll : polls) {
            QCOMPARE(poll.method, QByteArray("GET"));
            QCOMPARE(poll.path, QStringLiteral("poll/") + token);
        }

        // Nothing more after the result.
        const int requests = server->requestCount();
        clock->advance(30s);
        QTest::qWait(20);
        QCOMPARE(server->requestCount(), requests);
        QCOMPARE(reports->results.size(), 1);
    }

    void confirmedLoginCarriesTheSession()
    {
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::raw(j(
            "{'status':'ok','session_token':'sess-1','username':'Анна','subscription_status':'Active',"
            "'expires_at':'2026-06-01T00:00:00.000Z','traffic_used_bytes':5,"
            "'xray_configs':[{'remarks':'Qor AI Network'}],'qor':{'company':'ACME','warn_minutes':0}}"),
            200, "application/json"));
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 10s));

        const TelegramLoginResult::Session &session = reports->results.first().ok;
        QCOMPARE(session.sessionToken, QStringLiteral("sess-1"));
        QCOMPARE(session.username, QStringLiteral("Анна"));
        QCOMPARE(session.subscription.isActive, true);
        QCOMPARE(session.subscription.expiresAt, QDateTime(QDate(2026, 6, 1), QTime(0, 0), Qt::UTC));
        QCOMPARE(session.subscription.trafficUsedBytes, qint64(5));
        QVERIFY(session.xrayConfigsJSON);
        QVERIFY(session.corporate);
        QCOMPARE(session.corporate->warnMinutes, 1);
    }

    void okWithoutSessionTokenKeepsTheTokenAbsent()
    {
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::raw(j("{'status':'ok','username':'u'}"), 200, "application/json"));
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 10s));
        QCOMPARE(reports->results.first().kind, Kind::Ok);
        QCOMPARE(reports->results.first().ok.sessionToken, std::nullopt);
        QCOMPARE(reports->results.first().ok.username, QStringLiteral("u"));
    }

    void unconfirmedLoginTimesOutOnceAfter180Seconds()
    {
        server->setDefault(QStringLiteral("poll/"), status("pending"));
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 200s));

        QCOMPARE(reports->results.size(), 1);
        QCOMPARE(reports->results.first().kind, Kind::TimedOut);
        QCOMPARE(reports->atSeconds.first(), 180);
        QCOMPARE(server->requestCount(QStringLiteral("poll/")), 90); // at 0, 2, …, 178 s
        QVERIFY(!service->isPolling());

        clock->advance(300s);
        QTest::qWait(20);
        QCOMPARE(reports->results.size(), 1);
        QCOMPARE(server->requestCount(QStringLiteral("poll/")), 90);
    }

    // A silent server costs each poll its whole time limit, but in real time only: the
    // deadline is virtual and still ends the loop.
    void silentServerStillEndsInTimedOut()
    {
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::never());
        service = std::make_unique<TelegramLoginService>(*clock, transportFor(*server, 30ms), QString());
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 200s, 20s));
        QCOMPARE(reports->results.size(), 1);
        QCOMPARE(reports->results.first().kind, Kind::TimedOut);
        QVERIFY(server->requestCount(QStringLiteral("poll/")) >= 9); // once per 20-second step, give or take
    }

    void cancellingStopsPollingWithoutAResult()
    {
        server->setDefault(QStringLiteral("poll/"), status("pending"));
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        QVERIFY(!runPollLoop(*clock, [] { return false; }, 4s)); // polls at 0, 2 and 4 s
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(), 3, 2000);

        service->cancelPolling();
        QVERIFY(!service->isPolling());
        clock->advance(400s);
        QTest::qWait(20);
        QCOMPARE(server->requestCount(), 3);
        QCOMPARE(reports->results.size(), 0);
    }

    void cancellingAbortsAPollInFlight()
    {
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::never());
        service = std::make_unique<TelegramLoginService>(*clock, transportFor(*server, 30s), QString());
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        QTRY_COMPARE_WITH_TIMEOUT(server->silentConnections(), 1, 5000);

        QElapsedTimer elapsed;
        elapsed.start();
        service->cancelPolling();
        QTRY_COMPARE_WITH_TIMEOUT(server->silentConnections(), 0, 2000);
        QVERIFY(elapsed.elapsed() < 1000);
        clock->advance(400s);
        QTest::qWait(20);
        QCOMPARE(reports->results.size(), 0);
        QCOMPARE(server->requestCount(), 1);
    }

    void aNewLoginReplacesTheRunningOne()
    {
        auto first = std::make_shared<Reports>();
        auto second = std::make_shared<Reports>();
        QString secondToken;
        server->setHandler(QStringLiteral("poll/"), [&](const RecordedRequest &request) {
            return request.path == QStringLiteral("poll/") + secondToken && start.secsTo(clock->now()) >= 6
                ? status("ok") : status("pending");
        });
        const QString firstToken = service->startLogin(recordInto(first));
        QVERIFY(!runPollLoop(*clock, [] { return false; }, 2s));
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(), 2, 2000);

        secondToken = service->startLogin(recordInto(second));
        QVERIFY(secondToken != firstToken);
        QVERIFY(service->isPolling());
        QVERIFY(runPollLoop(*clock, [&] { return !second->results.isEmpty(); }, 20s));
        QCOMPARE(second->results.size(), 1);
        QCOMPARE(second->results.first().kind, Kind::Ok);

        // The first loop neither polled again nor reports, not even a time-out later.
        clock->advance(400s);
        QTest::qWait(20);
        QCOMPARE(first->results.size(), 0);
        QCOMPARE(server->requestCount(QStringLiteral("poll/") + firstToken), 2);
        QCOMPARE(second->results.size(), 1);
    }

    void malformedBaseEndsTheLoginWithBadUrl()
    {
        service = std::make_unique<TelegramLoginService>(
            *clock, AccountTransport({QStringLiteral("http://192.0.2.1/api/auth/")}), QString());
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        QCOMPARE(reports->results.size(), 0);
        ManualClock::drainEvents();
        QCOMPARE(reports->results.size(), 1);
        QCOMPARE(reports->results.first().kind, Kind::Error);
        QCOMPARE(reports->results.first().errorText, QStringLiteral("bad url"));
        QVERIFY(!service->isPolling());
    }

    void destroyingTheServiceEndsItsLoopSilently_data()
    {
        QTest::addColumn<bool>("duringRequest");
        QTest::newRow("while sleeping") << false;
        QTest::newRow("while a request is out") << true;
    }
    void destroyingTheServiceEndsItsLoopSilently()
    {
        QFETCH(bool, duringRequest);
        server->setDefault(QStringLiteral("poll/"), duringRequest ? ScriptedAnswer::never() : status("pending"));
        service = std::make_unique<TelegramLoginService>(*clock, transportFor(*server, 30s), QString());
        auto reports = std::make_shared<Reports>();
        service->startLogin(recordInto(reports));
        if (duringRequest)
            QTRY_COMPARE_WITH_TIMEOUT(server->silentConnections(), 1, 5000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(clock->pendingSleeps(), 1, 5000);

        service.reset();
        clock->advance(400s);
        QTRY_COMPARE_WITH_TIMEOUT(server->silentConnections(), 0, 2000);
        QCOMPARE(reports->results.size(), 0);
        QCOMPARE(server->requestCount(), 1);
    }

    void refresh_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<bool>("hasResult");
        QTest::addColumn<Kind>("kind");
        QTest::newRow("ok") << status("ok") << true << Kind::Ok;
        QTest::newRow("ok with HTTP 503") << status("ok", 503) << true << Kind::Ok;
        QTest::newRow("invalid_session") << status("invalid_session", 401) << true << Kind::SessionRevoked;
        QTest::newRow("no_subscription") << status("no_subscription") << true << Kind::NoSubscription;
        QTest::newRow("unknown status") << status("maintenance") << false << Kind::Ok;
        QTest::newRow("not json") << ScriptedAnswer::raw("Service Unavailable", 503) << false << Kind::Ok;
        QTest::newRow("dropped") << ScriptedAnswer::dropped() << false << Kind::Ok;
        QTest::newRow("never answers") << ScriptedAnswer::never() << false << Kind::Ok;
    }
    void refresh()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(bool, hasResult);
        QFETCH(Kind, kind);
        server->setDefault(QStringLiteral("refresh/"), answer);
        QElapsedTimer elapsed;
        elapsed.start();
        const auto outcome = finish(service->refresh(QStringLiteral("sess-abc")));
        QVERIFY2(outcome, "refresh did not end");
        QVERIFY(elapsed.elapsed() < 2000);
        QCOMPARE(outcome->has_value(), hasResult);
        if (hasResult)
            QCOMPARE((*outcome)->kind, kind);
        const RecordedRequest request = server->requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.path, QStringLiteral("refresh/sess-abc"));
    }

    void refreshWithMalformedAddressIsAnError()
    {
        TelegramLoginService broken(*clock, AccountTransport({QStringLiteral("http://192.0.2.1/api/auth/")}), QString());
        const auto outcome = finish(broken.refresh(QStringLiteral("sess")));
        QVERIFY(outcome && *outcome);
        QCOMPARE((*outcome)->kind, Kind::Error);
        QCOMPARE((*outcome)->errorText, QStringLiteral("bad url"));
    }

    void deleteAccount_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("200 ok") << status("ok") << true;
        QTest::newRow("200 error") << status("error") << false;
        QTest::newRow("200 OK in capitals") << status("OK") << false;
        QTest::newRow("500 ok") << status("ok", 500) << false;
        QTest::newRow("201 ok") << status("ok", 201) << false;
        QTest::newRow("200 status a bool") << ScriptedAnswer::raw(j("{'status':true}"), 200, "application/json") << false;
        QTest::newRow("200 no status") << ScriptedAnswer::raw("{}", 200, "application/json") << false;
        QTest::newRow("200 not json") << ScriptedAnswer::raw("ok", 200) << false;
        QTest::newRow("200 array") << ScriptedAnswer::raw(j("[{'status':'ok'}]"), 200, "application/json") << false;
        QTest::newRow("dropped") << ScriptedAnswer::dropped() << false;
        QTest::newRow("never answers") << ScriptedAnswer::never() << false;
    }
    void deleteAccount()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(bool, deleted);
        server->setDefault(QStringLiteral("account/delete"), answer);
        const auto outcome = finish(service->deleteAccount(QStringLiteral("sess-\"quoted\"")));
        QVERIFY2(outcome, "deletion did not end");
        QCOMPARE(*outcome, deleted);

        const RecordedRequest request = server->requests().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("account/delete"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.jsonBody(), (QJsonObject{{QStringLiteral("session_token"), QStringLiteral("sess-\"quoted\"")}}));
    }

    void deleteWithMalformedAddressSendsNothing()
    {
        TelegramLoginService broken(*clock, AccountTransport({QStringLiteral("ftp://127.0.0.1/api/auth/")}), QString());
        const auto outcome = finish(broken.deleteAccount(QStringLiteral("sess")));
        QVERIFY(outcome);
        QCOMPARE(*outcome, false);
    }
};


QTEST_GUILESS_MAIN(TestTelegramLoginService)
#include "test_telegram_login_service.moc"
