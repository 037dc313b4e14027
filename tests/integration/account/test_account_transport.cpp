#include "account_test_support.h"

#include "account/email_login_service.h"
#include "account/telegram_login_service.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMutex>
#include <QSignalSpy>
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
// and the scriptable account server itself.
class TestAccountTransport : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;

    std::optional<AccountReply> send(const QString &path, std::optional<QJsonObject> json = std::nullopt,
                                     std::chrono::milliseconds timeout = 2s, qint64 maxBody = 16 * 1024 * 1024)
    {
        AccountTransport::Settings settings = transportFor(*server).settings();
        settings.maxBodyBytes = maxBody;
        return finish(AccountTransport(settings).send({u"test"_s, path, json, timeout}));
    }
    // The HTTP status and the answer's "status" member.
    QString answer(const QString &path, std::optional<QJsonObject> json = std::nullopt)
    {
        const AccountReply reply = send(path, json).value_or(AccountReply{Failure::TimedOut, 0, {}});
        return QString::number(reply.httpStatus) + u' '
            + QJsonDocument::fromJson(reply.body).object().value(u"status"_s).toString();
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
        server->enqueue(u"poll/"_s, status("q1"));
        server->enqueue(u"poll/"_s, status("q2"));
        server->setDefault(u"poll/"_s, status("default"));
        server->setDefault(u"poll/mine"_s, status("mine"));
        server->setDefault(u"account/delete"_s, status("ok"));
        server->enqueue(u"refresh/t"_s, status("once"));
        server->setDefault(u"refresh/"_s, status("later", 201));
        const QStringList answers{answer(u"poll/a"_s), answer(u"poll/b"_s), answer(u"poll/c"_s), answer(u"poll/mine"_s),
                                  answer(u"refresh/t"_s), answer(u"refresh/t"_s), answer(u"email/request"_s, QJsonObject{}),
                                  answer(u"poll/t"_s, QJsonObject{}), answer(u"account/delete"_s), answer(u"../../other"_s)};
        QCOMPARE(answers, (QStringList{u"200 q1"_s, u"200 q2"_s, u"200 default"_s, u"200 mine"_s, u"200 once"_s, u"201 later"_s,
                                       u"404 not_found"_s, u"405 method_not_allowed"_s, u"405 method_not_allowed"_s,
                                       u"404 not_found"_s}));
        int handled = 0;
        server->setHandler(u"poll/"_s, [&handled](const RecordedRequest &request) {
            ++handled;
            return ScriptedAnswer::json({{u"status"_s, request.path}});
        });
        QCOMPARE(answer(u"poll/d"_s), u"200 poll/d"_s);
        QCOMPARE(handled, 1);
    }

    void serverRecordsWhatItReceived()
    {
        QSignalSpy received(server.get(), &AccountServer::requestReceived);
        server->setDefault(u"email/verify"_s, ScriptedAnswer::raw("plain", 503).after(60ms));
        QElapsedTimer elapsed;
        elapsed.start();
        const auto reply = send(u"email/verify"_s, QJsonObject{{u"code"_s, u"42"_s}});
        QVERIFY(elapsed.elapsed() >= 60);
        QVERIFY(reply && reply->httpStatus == 503 && reply->body == "plain");
        QCOMPARE(received.size(), 1);
        QCOMPARE(shape(received.first().first().value<RecordedRequest>()), u"POST email/verify application/json {\"code\":\"42\"}"_s);
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(server->requestCount(u"email/"_s), 1);
        QCOMPARE(server->requestCount(u"poll/"_s), 0);
        server->clearRequests();
        QCOMPARE(server->requestCount(), 0);
    }

    void serverReleasesSilentConnections()
    {
        server->setDefault(u"email/request"_s, ScriptedAnswer::never());
        const auto pending = launch(transportFor(*server).send({u"test"_s, u"email/request"_s, QJsonObject{}, 10s}));
        // Qt sends a request once more when its connection closes before any answer,
        // so the silent server is released as often as the client comes back.
        for (int round = 0; round < 3 && !pending->has_value(); ++round) {
            QVERIFY(waitUntil([&] { return server->silentConnections() == 1 || pending->has_value(); }));
            server->releaseSilentConnections();
            waitUntil([&] { return pending->has_value(); }, 500);
        }
        QVERIFY(pending->has_value());
        QCOMPARE((*pending)->failure, Failure::Network);
        QVERIFY(server->requestCount() <= 2);
        QCOMPARE(server->silentConnections(), 0);
    }

    // GET carries no body and asks past caches; POST sends the body exactly as given. A
    // cookie set by one answer never comes back, and no answer is served from a cache.
    void requestShapeCookiesAndCaches()
    {
        server->setDefault(u"poll/"_s, status("pending").withHeader("Set-Cookie", "sid=abc; Path=/").withHeader("Cache-Control", "max-age=3600"));
        server->setDefault(u"email/request"_s, status("sent"));
        QCOMPARE(answer(u"poll/Tok-en_1.~"_s), u"200 pending"_s);
        QCOMPARE(answer(u"poll/Tok-en_1.~"_s), u"200 pending"_s);
        QCOMPARE(answer(u"email/request"_s, QJsonObject{{u"email"_s, u" Ann@Example.com "_s}}), u"200 sent"_s);
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), 3);
        QCOMPARE(shape(requests[0]), u"GET poll/Tok-en_1.~  "_s);
        QCOMPARE(requests[0].header("Cache-Control"), QByteArray("no-cache"));
        QCOMPARE(shape(requests[2]), u"POST email/request application/json {\"email\":\" Ann@Example.com \"}"_s);
        for (const RecordedRequest &request : requests)
            QCOMPARE(request.header("Cookie"), QByteArray());
    }

    // The HTTP status never turns an answer into a failure: the callers read the body.
    void anyHttpStatusIsAnAnswer()
    {
        for (int status : {200, 201, 204, 400, 401, 403, 404, 409, 429, 500, 502, 503}) {
            const QByteArray content = status == 204 ? QByteArray() : j("{'status':'ok'}");
            server->enqueue(u"refresh/x"_s, ScriptedAnswer::raw(content, status, "application/json"));
            const auto reply = send(u"refresh/x"_s);
            QVERIFY2(reply && reply->failure == Failure::None && reply->httpStatus == status && reply->body == content,
                     qPrintable(QString::number(status)));
        }
    }

    // Within the 800 ms limit, or the body limit where one is given.
    void failuresOfTheExchange_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<qint64>("maxBody");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<int>("bodySize");
        constexpr qint64 limit = 64 * 1024;
        const qint64 none = 16 * 1024 * 1024;
        QTest::newRow("connection dropped") << ScriptedAnswer::dropped() << none << Failure::Network << 0;
        QTest::newRow("dropped after a delay") << ScriptedAnswer::dropped().after(20ms) << none << Failure::Network << 0;
        QTest::newRow("never answers") << ScriptedAnswer::never() << none << Failure::TimedOut << 0;
        QTest::newRow("answers after the limit") << ScriptedAnswer::json({}).after(3s) << none << Failure::TimedOut << 0;
        QTest::newRow("answers within the limit") << ScriptedAnswer::json({}).after(30ms) << none << Failure::None << 2;
        QTest::newRow("body shorter than announced")
            << ScriptedAnswer::raw("{}").withHeader("Content-Length", "100") << none << Failure::TimedOut << 0;
        QTest::newRow("announced, at the limit") << ScriptedAnswer::raw(QByteArray(limit, 'a')) << limit << Failure::None << int(limit);
        QTest::newRow("announced, one byte over") << ScriptedAnswer::raw(QByteArray(limit + 1, 'a')) << limit << Failure::BodyTooLarge << 0;
        QTest::newRow("unannounced, at the limit") << ScriptedAnswer::streamed(limit) << limit << Failure::None << int(limit);
        QTest::newRow("unannounced, one byte over") << ScriptedAnswer::streamed(limit + 1) << limit << Failure::BodyTooLarge << 0;
    }
    void failuresOfTheExchange()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(qint64, maxBody);
        // A default, not a queued answer: Qt repeats a GET once when the connection
        // closes before any response, and the repeat must meet the same server.
        server->setDefault(u"poll/t"_s, answer);
        QElapsedTimer elapsed;
        elapsed.start();
        const auto reply = send(u"poll/t"_s, std::nullopt, 800ms, maxBody);
        QVERIFY(reply);
        QTEST(reply->failure, "failure");
        QVERIFY2(elapsed.elapsed() < 2500, "a request outlived its time limit");
        QTEST(int(reply->body.size()), "bodySize");
    }

    // A port that was just free, a base that is refused, a task already cancelled.
    void failuresBeforeAnyAnswer_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<Failure>("failure");
        QTest::newRow("nothing listening") << u"closed"_s << Failure::Network;
        QTest::newRow("refused base") << u"http://192.0.2.1/api/auth/"_s << Failure::BadUrl;
        QTest::newRow("already cancelled") << QString() << Failure::Cancelled;
    }
    void failuresBeforeAnyAnswer()
    {
        QFETCH(QString, base);
        if (base == u"closed") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            base = u"http://127.0.0.1:%1/api/auth/"_s.arg(probe.serverPort());
        }
        TaskHandle handle;
        const CancelToken token = handle.start();
        if (base.isEmpty())
            handle.cancel();
        const AccountTransport transport(base.isEmpty() ? transportFor(*server) : AccountTransport({base, 2s, 2s}));
        const auto reply = finish(transport.send({u"test"_s, u"poll/t"_s, std::nullopt, 2s}, token));
        QVERIFY(reply);
        QTEST(reply->failure, "failure");
        QTest::qWait(20);
        QCOMPARE(server->requestCount(), 0);
    }

    void redirectsFollowTheAddressRule()
    {
        // 0.0.0.0 reaches this machine but is not a loopback address: plain HTTP there is refused.
        const QList<std::pair<QString, bool>> rows{{u"http://127.0.0.1:%1/api/auth/poll/next"_s, true},
                                                   {u"/api/auth/poll/next"_s, true},
                                                   {u"http://0.0.0.0:%1/api/auth/poll/next"_s, false}};
        server->setDefault(u"poll/next"_s, status("ok"));
        for (const auto &[location, followed] : rows) {
            server->clearRequests();
            const QByteArray target = (location.contains(u'%') ? location.arg(server->port()) : location).toUtf8();
            server->setDefault(u"poll/first"_s, ScriptedAnswer::raw({}, 302).withHeader("Location", target));
            const auto reply = send(u"poll/first"_s);
            QVERIFY2(reply && reply->failure == (followed ? Failure::None : Failure::Network), target);
            QVERIFY2(server->requestCount(u"poll/next"_s) == (followed ? 1 : 0), target);
        }
    }

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
        // The connection is closed, not left for the server to time out.
        QVERIFY(waitUntil([&] { return server->silentConnections() == 0; }, 2000));
    }

    // With the production limit: a server that streams without end is cut off once
    // 16 MiB have arrived, long before the time limit, and the stream is not drained.
    void endlessBodyIsCutOffAtSixteenMebibytes()
    {
        server->enqueue(u"poll/t"_s, ScriptedAnswer::streamed(qint64(1) << 40));
        QCOMPARE(AccountTransport().settings().maxBodyBytes, qint64(16 * 1024 * 1024));
        const auto reply = finish(transportFor(*server).send({u"test"_s, u"poll/t"_s, std::nullopt, 60s}), 60000);
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::BodyTooLarge);
        QCOMPARE(reply->body, QByteArray());
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
        TelegramLoginService broken(clock, AccountTransport({u"http://192.0.2.1/api/auth/"_s}));
        QVERIFY(finish(broken.refresh(u"BADURLSECRET"_s)));
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());

        QMutexLocker lock(&logMutex);
        QVERIFY2(logLines.size() >= 6, qPrintable(logLines.join(u'\n'))); // the operations did log
        for (const QString &secret : {loginToken, u"SESSIONSECRET"_s, u"REFRESHSECRET"_s, u"DELETESECRET"_s,
                                      u"MAILSECRET"_s, u"CODESECRET"_s, u"BADURLSECRET"_s}) {
            const QStringList leaks = logLines.filter(secret);
            QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(u'\n')));
        }
    }
};

QTEST_GUILESS_MAIN(TestAccountTransport)
#include "test_account_transport.moc"
