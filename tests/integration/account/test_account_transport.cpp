#include "account_test_support.h"

#include "account/email_login_service.h"
#include "account/telegram_login_service.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QMutex>
#include <QTcpServer>
#include <QTcpSocket>

using namespace qor;
using namespace qor::testing;
using Failure = AccountReply::Failure;
using Kind = TelegramLoginResult::Kind;
using VerifyKind = VerifyCodeResult::Kind;

namespace {
QMutex logMutex;
QStringList logLines;

void capture(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&logMutex);
    logLines.append(QString::fromUtf8(context.category ? context.category : "") + u' ' + message);
}

template<typename E>
QString key(E value)
{
    return QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(int(value)));
}
} // namespace

// Transport and services against a real loopback HTTP server. Login bodies: test_login_response.
class TestAccountTransport : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;
    std::unique_ptr<ManualClock> clock;
    std::unique_ptr<TelegramLoginService> service;
    QDateTime start;

    // The HTTP status and the answer's "status" member.
    QString answer(const QString &path, std::optional<QJsonObject> json = std::nullopt)
    {
        const auto reply = finish(transportFor(*server).send({u"test"_s, path, json, 2s})).value_or(AccountReply{Failure::TimedOut, 0, {}});
        return QString::number(reply.httpStatus) + u' ' + QJsonDocument::fromJson(reply.body).object().value(u"status"_s).toString();
    }

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

    // Queue, handler, default; an exact path (until its queue runs out) before its prefix.
    void serverChoosesItsScript()
    {
        QCOMPARE(server->baseUrl(), QUrl(u"http://127.0.0.1:%1/api/auth/"_s.arg(server->port())));
        for (const char *queued : {"q1", "q2"})
            server->enqueue(u"poll/"_s, status(queued));
        server->setDefault(u"poll/"_s, status("default"));
        server->setDefault(u"poll/mine"_s, status("mine"));
        server->setDefault(u"account/delete"_s, status("ok"));
        server->enqueue(u"refresh/t"_s, status("once"));
        server->setDefault(u"refresh/"_s, status("later", 201));
        const QStringList answers{answer(u"poll/a"_s), answer(u"poll/b"_s), answer(u"poll/c"_s), answer(u"poll/mine"_s),
                                  answer(u"refresh/t"_s), answer(u"refresh/t"_s), answer(u"email/request"_s, QJsonObject{}),
                                  answer(u"poll/t"_s, QJsonObject{}), answer(u"account/delete"_s), answer(u"../../other"_s)};
        QCOMPARE(answers, (QStringList{u"200 q1"_s, u"200 q2"_s, u"200 default"_s, u"200 mine"_s, u"200 once"_s, u"201 later"_s,
                                       u"404 not_found"_s, u"405 method_not_allowed"_s, u"405 method_not_allowed"_s, u"404 not_found"_s}));
        server->setHandler(u"poll/"_s, [](const RecordedRequest &request) { return ScriptedAnswer::json({{u"status"_s, request.path}}); });
        QCOMPARE(answer(u"poll/d"_s), u"200 poll/d"_s);
        QCOMPARE(server->requestCount(u"poll/"_s), 6);
    }

    // Raw bytes: two requests on one connection get two answers; what the server cannot
    // read gets a status and a closed connection, never a hang.
    void serverReadsRawRequests()
    {
        server->setDefault(u"poll/"_s, status("ok"));
        const auto exchange = [this](const QByteArray &bytes) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, server->port());
            if (!socket.waitForConnected(5000))
                return QByteArray("no connection");
            socket.write(bytes);
            // The server answers on this thread: its event loop must run while we wait.
            const QDeadlineTimer limit(5000);
            while (socket.state() != QAbstractSocket::UnconnectedState && !limit.hasExpired())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            const QByteArray received = socket.readAll();
            // Status codes in order, and whether the server closed the connection.
            QByteArray codes;
            for (qsizetype at = received.indexOf("HTTP/1.1 "); at >= 0; at = received.indexOf("HTTP/1.1 ", at + 1))
                codes += received.mid(at + 9, 3) + ' ';
            return codes + (socket.state() == QAbstractSocket::UnconnectedState ? "closed" : "open");
        };
        const QByteArray get = "GET /api/auth/poll/a HTTP/1.1\r\nHost: x\r\n\r\n";
        const QByteArray post = "POST /api/auth/email/request HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}";
        const QByteArray lastGet = "GET /api/auth/poll/b HTTP/1.1\r\nConnection: close\r\n\r\n";
        QCOMPARE(exchange(get + post + lastGet), QByteArray("200 404 200 closed"));
        QCOMPARE(exchange("GET /api/auth/poll/a HTTP/1.0\r\n\r\n"), QByteArray("200 closed"));
        QCOMPARE(exchange("hello\r\n\r\n"), QByteArray("400 closed"));
        QCOMPARE(exchange("GET / HTTP/1.1\r\nno colon\r\n\r\n"), QByteArray("400 closed"));
        QCOMPARE(exchange("POST /api/auth/email/request HTTP/1.1\r\nContent-Length: -5\r\n\r\n"), QByteArray("400 closed"));
        QCOMPARE(exchange("POST /api/auth/email/request HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
                 QByteArray("501 closed"));
        QCOMPARE(exchange("POST /x HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n"), QByteArray("413 closed"));
        QCOMPARE(exchange("GET / HTTP/1.1\r\nX: " + QByteArray(70 * 1024, 'a')), QByteArray("431 closed"));
        QCOMPARE(server->requestCount(), 4);
    }

    // GET: no body, past caches; POST: the body as given. No cookie comes back, no answer is cached.
    void requestShapeCookiesAndCaches()
    {
        server->setDefault(u"poll/"_s, status("pending").withHeader("Set-Cookie", "sid=abc; Path=/").withHeader("Cache-Control", "max-age=3600"));
        server->setDefault(u"email/request"_s, status("sent").after(60ms));
        QElapsedTimer elapsed;
        elapsed.start();
        const QStringList answers{answer(u"poll/Tok-en_1.~"_s), answer(u"poll/Tok-en_1.~"_s),
                                  answer(u"email/request"_s, QJsonObject{{u"email"_s, u" Ann@Example.com "_s}})};
        QVERIFY(elapsed.elapsed() >= 60); // the scripted delay
        QCOMPARE(answers, (QStringList{u"200 pending"_s, u"200 pending"_s, u"200 sent"_s}));
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), 3);
        QCOMPARE(shape(requests[0]), u"GET poll/Tok-en_1.~  "_s);
        QCOMPARE(requests[0].header("Cache-Control"), QByteArray("no-cache"));
        QCOMPARE(shape(requests[2]), u"POST email/request application/json {\"email\":\" Ann@Example.com \"}"_s);
        for (const RecordedRequest &request : requests)
            QCOMPARE(request.header("Cookie"), QByteArray());
    }

    // Exchanges end within limits; an HTTP status is no failure; a refused base or cancel sends nothing.
    void exchanges_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<QString>("base"); // empty: the server; "closed": a port that was just free
        QTest::addColumn<qint64>("maxBody");
        QTest::addColumn<QString>("outcome"); // failure, HTTP status, body size
        constexpr qint64 limit = 64 * 1024, none = 16 * 1024 * 1024;
        for (int status : {200, 201, 204, 400, 401, 403, 404, 409, 429, 500, 502, 503})
            QTest::addRow("HTTP %d", status) << ScriptedAnswer::raw(status == 204 ? "" : "{}", status) << QString() << none
                                             << u"None %1 %2"_s.arg(status).arg(status == 204 ? 0 : 2);
        QTest::newRow("connection dropped") << ScriptedAnswer::dropped() << QString() << none << u"Network 0 0"_s;
        QTest::newRow("dropped after a delay") << ScriptedAnswer::dropped().after(20ms) << QString() << none << u"Network 0 0"_s;
        QTest::newRow("never answers") << ScriptedAnswer::never() << QString() << none << u"TimedOut 0 0"_s;
        QTest::newRow("answers after the limit") << ScriptedAnswer::json({}).after(3s) << QString() << none << u"TimedOut 0 0"_s;
        QTest::newRow("answers within the limit") << ScriptedAnswer::json({}).after(30ms) << QString() << none << u"None 200 2"_s;
        QTest::newRow("body shorter than announced")
            << ScriptedAnswer::raw("{}").withHeader("Content-Length", "100") << QString() << none << u"TimedOut 0 0"_s;
        QTest::newRow("announced, at the limit") << ScriptedAnswer::raw(QByteArray(limit, 'a')) << QString() << limit << u"None 200 65536"_s;
        QTest::newRow("announced, one byte over") << ScriptedAnswer::raw(QByteArray(limit + 1, 'a')) << QString() << limit << u"BodyTooLarge 0 0"_s;
        QTest::newRow("unannounced, at the limit") << ScriptedAnswer::streamed(limit) << QString() << limit << u"None 200 65536"_s;
        QTest::newRow("unannounced, one byte over") << ScriptedAnswer::streamed(limit + 1) << QString() << limit << u"BodyTooLarge 0 0"_s;
        QTest::newRow("nothing listening") << ScriptedAnswer() << u"closed"_s << none << u"Network 0 0"_s;
        QTest::newRow("refused base") << ScriptedAnswer() << u"http://192.0.2.1/api/auth/"_s << none << u"BadUrl 0 0"_s;
        QTest::newRow("already cancelled") << ScriptedAnswer() << u"cancelled"_s << none << u"Cancelled 0 0"_s;
    }
    void exchanges()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(QString, base);
        // A default, not queued: Qt repeats a GET closed before any response, to the same server.
        server->setDefault(u"poll/t"_s, answer);
        AccountTransport::Settings settings = transportFor(*server).settings();
        QFETCH(qint64, maxBody);
        settings.maxBodyBytes = maxBody;
        if (base == u"closed") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            settings.baseAddress = u"http://127.0.0.1:%1/api/auth/"_s.arg(probe.serverPort());
        } else if (base.startsWith(u"http")) {
            settings.baseAddress = base;
        }
        TaskHandle handle;
        const CancelToken token = handle.start();
        if (base == u"cancelled")
            handle.cancel();
        QElapsedTimer elapsed;
        elapsed.start();
        const auto reply = finish(AccountTransport(settings).send({u"test"_s, u"poll/t"_s, std::nullopt, 800ms}, token));
        QVERIFY(reply);
        QVERIFY2(elapsed.elapsed() < 2500, "a request outlived its time limit");
        const char *failures[] = {"None", "BadUrl", "Network", "TimedOut", "Cancelled", "BodyTooLarge"}; // in declaration order
        QTEST(u"%1 %2 %3"_s.arg(QLatin1String(failures[int(reply->failure)])).arg(reply->httpStatus).arg(reply->body.size()), "outcome");
        // The body holds what came, not room for the largest answer allowed.
        QVERIFY2(reply->body.capacity() <= std::max<qsizetype>(64 * 1024, 2 * reply->body.size()), "oversized body buffer");
        QTest::qWait(base.isEmpty() ? 0 : 20); // time for a request that should not have been sent
        QCOMPARE(server->requestCount() > 0, base.isEmpty());
    }

    // Every hop passes the address rule: 0.0.0.0 reaches this machine but is not loopback.
    void redirectsFollowTheAddressRule()
    {
        server->setDefault(u"poll/next"_s, status("ok"));
        for (const QString &location : {u"http://127.0.0.1:%1/api/auth/poll/next"_s, u"/api/auth/poll/next"_s, u"http://0.0.0.0:%1/api/auth/poll/next"_s}) {
            server->clearRequests();
            const QByteArray target = (location.contains(u'%') ? location.arg(server->port()) : location).toUtf8();
            server->setDefault(u"poll/first"_s, ScriptedAnswer::raw({}, 302).withHeader("Location", target));
            const bool followed = !target.contains("0.0.0.0");
            QVERIFY2(answer(u"poll/first"_s) == (followed ? u"200 ok"_s : u"0 "_s), target);
            QVERIFY2(server->requestCount(u"poll/next"_s) == (followed ? 1 : 0), target);
        }
    }

    // The connection is closed at once, not left for the server to time out.
    void cancellationAbortsARunningRequest()
    {
        server->enqueue(u"poll/t"_s, ScriptedAnswer::never());
        TaskHandle handle;
        const auto result = launch(transportFor(*server).send({u"test"_s, u"poll/t"_s, std::nullopt, 30s}, handle.start()));
        QVERIFY(waitUntil([&] { return server->silentConnections() == 1; }));
        QElapsedTimer elapsed;
        elapsed.start();
        handle.cancel();
        QVERIFY(waitUntil([&] { return result->has_value(); }, 2000));
        QVERIFY(elapsed.elapsed() < 1000);
        QCOMPARE((*result)->failure, Failure::Cancelled);
        QVERIFY(waitUntil([&] { return server->silentConnections() == 0; }, 2000));
    }

    // Production limit: an endless stream is cut at 16 MiB, long before the time limit, not drained.
    void endlessBodyIsCutOffAtSixteenMebibytes()
    {
        server->enqueue(u"poll/t"_s, ScriptedAnswer::streamed(qint64(1) << 40));
        QCOMPARE(AccountTransport().settings().maxBodyBytes, qint64(16 * 1024 * 1024));
        const auto reply = finish(transportFor(*server).send({u"test"_s, u"poll/t"_s, std::nullopt, 60s}), 60000);
        QVERIFY(reply && reply->failure == Failure::BodyTooLarge && reply->body.isEmpty());
        QVERIFY(server->streamedBytes() > 16 * 1024 * 1024);
        QVERIFY(server->streamedBytes() < 48 * 1024 * 1024);
    }

    // No secret reaches a log line, even at debug.
    void secretsNeverReachTheLog()
    {
        QLoggingCategory::setFilterRules(u"com.qorvpn.connect.*=true\nqt.network.*=true"_s);
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        server->setDefault(u"poll/"_s, ScriptedAnswer::json({{u"status"_s, u"ok"_s}, {u"session_token"_s, u"SESSIONSECRET"_s}}));
        server->setDefault(u"refresh/"_s, ScriptedAnswer::dropped());
        server->setDefault(u"account/delete"_s, ScriptedAnswer::never());
        server->setDefault(u"email/"_s, ScriptedAnswer::raw("not json", 500));
        useTransport(transportFor(*server, 200ms, 200ms));
        const auto reports = login();
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 10s));
        QVERIFY(finish(service->refresh(u"REFRESHSECRET"_s)));
        QVERIFY(finish(service->deleteAccount(u"DELETESECRET"_s)));
        EmailLoginService email(transportFor(*server, 200ms, 200ms));
        QVERIFY(finish(email.requestCode(u"MAILSECRET@example.com"_s)));
        QVERIFY(finish(email.verifyCode(u"MAILSECRET@example.com"_s, u"CODESECRET"_s)));
        // An unusable base: login ends after startLogin returned; refresh "bad url"; the rest fail.
        const AccountTransport badBase({u"http://192.0.2.1/api/auth/"_s});
        useTransport(badBase);
        const auto refused = login();
        QCOMPARE(refused->results.size(), 0);
        ManualClock::drainEvents();
        QCOMPARE(refused->results, (QList<TelegramLoginResult>{TelegramLoginResult::error(u"bad url"_s)}));
        QVERIFY(!service->isPolling());
        QCOMPARE(finish(service->refresh(u"BADURLSECRET"_s)).value_or(std::nullopt), std::optional(TelegramLoginResult::error(u"bad url"_s)));
        QCOMPARE(finish(service->deleteAccount(u"BADURLSECRET"_s)), false);
        EmailLoginService badEmail(badBase);
        QCOMPARE(finish(badEmail.requestCode(u"MAILSECRET@example.com"_s)), RequestCodeResult::Failed);
        QCOMPARE(finish(badEmail.verifyCode(u"MAILSECRET@example.com"_s, u"CODESECRET"_s)).value_or(VerifyCodeResult::ok({})).kind, VerifyKind::NetworkError);
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());

        QMutexLocker lock(&logMutex);
        QVERIFY2(logLines.size() >= 6, qPrintable(logLines.join(u'\n'))); // the operations did log
        for (const QString &secret : {reports->token, refused->token, u"SESSIONSECRET"_s, u"REFRESHSECRET"_s, u"DELETESECRET"_s, u"MAILSECRET"_s,
                                      u"CODESECRET"_s, u"BADURLSECRET"_s})
            QVERIFY2(logLines.filter(secret).isEmpty(), qPrintable(logLines.filter(secret).join(u'\n')));
    }
    // A result at once, another poll 2 s later, or while "pending" one time-out at 180 s after 90 polls.
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
        QTest::newRow("never confirmed") << status("pending") << Kind::TimedOut << 180;
    }
    void firstPollAnswer()
    {
        QFETCH(ScriptedAnswer, first);
        QFETCH(int, atSecond);
        // Answers by virtual time, so Qt's own repeat of a dropped GET meets the same answer.
        server->setHandler(u"poll/"_s, [&](const RecordedRequest &) { return start.secsTo(clock->now()) < std::max(atSecond, 2) ? first : status("ok"); });
        const auto reports = login();
        QVERIFY(service->isPolling());
        QCOMPARE(reports->results.size(), 0); // never inside startLogin
        QVERIFY(runPollLoop(*clock, [&] { return !reports->results.isEmpty(); }, 200s));
        QCOMPARE(reports->results.size(), 1);
        QTEST(reports->results.first().kind, "kind");
        QCOMPARE(reports->atSeconds.first(), atSecond);
        if (atSecond == 0)
            QCOMPARE(reports->results.first(), TelegramLoginService::parseLoginResponse(first.body));
        QVERIFY(!service->isPolling());
        const int polls = server->requestCount();
        QVERIFY2(atSecond == 180 ? polls == 90 : polls > 0, qPrintable(QString::number(polls))); // at 0, 2, …, 178 s
        for (const RecordedRequest &poll : server->requests())
            QCOMPARE(shape(poll), u"GET poll/"_s + reports->token + u"  "_s);
        quietAfterwards();
        QCOMPARE(server->requestCount(), polls);
        QCOMPARE(reports->results.size(), 1);
    }

    // Cancel or destroy ends the loop without a result, also mid-poll (its connection closed at once).
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

    // Each one-shot's result (HTTP status decides only a deletion) and request. Failures: test_account_faults.
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
        for (const QString &path : {u"refresh/"_s, u"account/delete"_s, u"email/request"_s, u"email/verify"_s})
            server->setDefault(path, answer);
        QString outcome, request;
        QElapsedTimer elapsed;
        elapsed.start();
        if (operation == u"refresh") {
            const auto result = finish(service->refresh(u"sess-abc"_s));
            QVERIFY(result);
            outcome = *result ? key((*result)->kind) : u"none"_s;
            request = u"GET refresh/sess-abc  "_s;
        } else if (operation == u"delete") {
            const auto result = finish(service->deleteAccount(u"sess-\"quoted\""_s));
            QVERIFY(result);
            outcome = *result ? u"deleted"_s : u"kept"_s;
            request = u"POST account/delete application/json {\"session_token\":\"sess-\\\"quoted\\\"\"}"_s;
        } else if (operation == u"code request") {
            const auto result = finish(email.requestCode(u" Anna@Example.COM "_s));
            QVERIFY(result);
            outcome = key(*result);
            request = u"POST email/request application/json {\"email\":\" Anna@Example.COM \"}"_s; // as typed
        } else {
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

QTEST_GUILESS_MAIN(TestAccountTransport)
#include "test_account_transport.moc"
