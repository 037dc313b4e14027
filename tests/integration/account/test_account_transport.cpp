#include "account_test_support.h"

#include "account/email_login_service.h"
#include "account/telegram_login_service.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMutex>
#include <QTcpServer>

using namespace qor;
using namespace qor::testing;
using Failure = AccountReply::Failure;

namespace {
QMutex logMutex;
QStringList logLines;

void capture(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&logMutex);
    logLines.append(QString::fromUtf8(context.category ? context.category : "") + u' ' + message);
}
} // namespace

// The transport against a real HTTP server on loopback (request shape, what counts as
// an answer, time limits, cancellation, the body size bound, what reaches the log),
// and how the scriptable account server picks its answers.
class TestAccountTransport : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;

    // The HTTP status and the answer's "status" member.
    QString answer(const QString &path, std::optional<QJsonObject> json = std::nullopt)
    {
        const auto reply = finish(transportFor(*server).send({u"test"_s, path, json, 2s})).value_or(AccountReply{Failure::TimedOut, 0, {}});
        return QString::number(reply.httpStatus) + u' ' + QJsonDocument::fromJson(reply.body).object().value(u"status"_s).toString();
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<AccountServer>();
        QVERIFY(server->listen());
    }
    void cleanup() { server.reset(); }

    // Queue, then handler, then default; an exact path before its prefix, and an
    // exhausted exact queue falls through to the prefix. Wrong methods and paths
    // outside the script or the API are refused.
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

    // GET carries no body and asks past caches; POST sends the body exactly as given. A
    // cookie set by one answer never comes back, and no answer is served from a cache.
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

    // Every exchange ends within its 800 ms limit, or at the body limit where one is
    // given. The HTTP status never turns an answer into a failure: the callers read the
    // body. A base that is refused, or a task already cancelled, sends nothing.
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
        // A default, not a queued answer: Qt repeats a GET once when the connection
        // closes before any response, and the repeat must meet the same server.
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
        QTest::qWait(base.isEmpty() ? 0 : 20); // time for a request that should not have been sent
        QCOMPARE(server->requestCount() > 0, base.isEmpty());
    }

    // Every hop must pass the address rule: 0.0.0.0 reaches this machine but is not a
    // loopback address, so plain HTTP there is refused.
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

    // With the production limit: a server that streams without end is cut off once
    // 16 MiB have arrived, long before the time limit, and the stream is not drained.
    void endlessBodyIsCutOffAtSixteenMebibytes()
    {
        server->enqueue(u"poll/t"_s, ScriptedAnswer::streamed(qint64(1) << 40));
        QCOMPARE(AccountTransport().settings().maxBodyBytes, qint64(16 * 1024 * 1024));
        const auto reply = finish(transportFor(*server).send({u"test"_s, u"poll/t"_s, std::nullopt, 60s}), 60000);
        QVERIFY(reply && reply->failure == Failure::BodyTooLarge && reply->body.isEmpty());
        QVERIFY(server->streamedBytes() > 16 * 1024 * 1024);
        QVERIFY(server->streamedBytes() < 48 * 1024 * 1024);
    }

    // Login tokens, session tokens, codes and addresses never reach a log line, whatever
    // happens to the request, even with debug output on. Only the client side is
    // captured: the loopback server's own qt.httpserver lines print requests.
    void secretsNeverReachTheLog()
    {
        QLoggingCategory::setFilterRules(u"com.qorvpn.connect.*=true\nqt.network.*=true"_s);
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        server->setDefault(u"poll/"_s, ScriptedAnswer::json({{u"status"_s, u"ok"_s}, {u"session_token"_s, u"SESSIONSECRET"_s}}));
        server->setDefault(u"refresh/"_s, ScriptedAnswer::dropped());
        server->setDefault(u"account/delete"_s, ScriptedAnswer::never());
        server->setDefault(u"email/"_s, ScriptedAnswer::raw("not json", 500));
        ManualClock clock;
        TelegramLoginService service(clock, transportFor(*server, 200ms, 200ms));
        bool done = false;
        const QString loginToken = service.startLogin([&done](const TelegramLoginResult &) { done = true; });
        QVERIFY(runPollLoop(clock, [&] { return done; }, 10s));
        QVERIFY(finish(service.refresh(u"REFRESHSECRET"_s)));
        QVERIFY(finish(service.deleteAccount(u"DELETESECRET"_s)));
        EmailLoginService email(transportFor(*server, 200ms, 200ms));
        QVERIFY(finish(email.requestCode(u"MAILSECRET@example.com"_s)));
        QVERIFY(finish(email.verifyCode(u"MAILSECRET@example.com"_s, u"CODESECRET"_s)));
        QVERIFY(finish(TelegramLoginService(clock, AccountTransport({u"http://192.0.2.1/api/auth/"_s})).refresh(u"BADURLSECRET"_s)));
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());

        QMutexLocker lock(&logMutex);
        QVERIFY2(logLines.size() >= 6, qPrintable(logLines.join(u'\n'))); // the operations did log
        for (const QString &secret : {loginToken, u"SESSIONSECRET"_s, u"REFRESHSECRET"_s, u"DELETESECRET"_s, u"MAILSECRET"_s,
                                      u"CODESECRET"_s, u"BADURLSECRET"_s})
            QVERIFY2(logLines.filter(secret).isEmpty(), qPrintable(logLines.filter(secret).join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestAccountTransport)
#include "test_account_transport.moc"
