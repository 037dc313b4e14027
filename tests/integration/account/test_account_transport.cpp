#include "account_test_support.h"

#include <QElapsedTimer>
#include <QTcpServer>

using namespace qor;
using namespace qor::testing;
using Failure = AccountReply::Failure;

// The transport against a real HTTP server on loopback: request shape, what counts as
// an answer, time limits, cancellation and the bound on the body size.
class TestAccountTransport : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;

    AccountRequest get(const QString &path, std::chrono::milliseconds timeout = 2s)
    {
        return {QStringLiteral("test"), path, std::nullopt, timeout};
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<AccountServer>();
        QVERIFY(server->listen());
    }
    void cleanup() { server.reset(); }

    void getRequestShape()
    {
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("pending")}}));
        const auto reply = finish(transportFor(*server).send(get(QStringLiteral("poll/Tok-en_1.~"))));
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::None);
        QCOMPARE(reply->httpStatus, 200);
        QCOMPARE(reply->body, j("{'status':'pending'}"));

        QCOMPARE(server->requests().size(), 1);
        const RecordedRequest request = server->requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.path, QStringLiteral("poll/Tok-en_1.~"));
        QCOMPARE(request.body, QByteArray());
        QCOMPARE(request.header("Cache-Control"), QByteArray("no-cache"));
    }

    void postRequestShape()
    {
        server->setDefault(QStringLiteral("email/request"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("sent")}}));
        AccountRequest request{QStringLiteral("test"), QStringLiteral("email/request"),
                               QJsonObject{{QStringLiteral("email"), QStringLiteral(" Ann@Example.com ")}}, 2s};
        const auto reply = finish(transportFor(*server).send(request));
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::None);

        const RecordedRequest recorded = server->requests().first();
        QCOMPARE(recorded.method, QByteArray("POST"));
        QCOMPARE(recorded.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(recorded.body, j("{'email':' Ann@Example.com '}"));
    }

    // A cookie set by one answer must never come back in the next request.
    void cookiesAndCachesDoNotOutliveARequest()
    {
        const ScriptedAnswer cached = ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("pending")}})
                                          .withHeader("Set-Cookie", "sid=abc; Path=/")
                                          .withHeader("Cache-Control", "max-age=3600");
        server->setDefault(QStringLiteral("refresh/"), cached);
        const AccountTransport transport = transportFor(*server);
        for (int i = 0; i < 2; ++i) {
            const auto reply = finish(transport.send(get(QStringLiteral("refresh/same"))));
            QVERIFY(reply);
            QCOMPARE(reply->failure, Failure::None);
        }
        QCOMPARE(server->requestCount(QStringLiteral("refresh/same")), 2); // the second was not served from a cache
        for (const RecordedRequest &request : server->requests())
            QCOMPARE(request.header("Cookie"), QByteArray());
    }

    // The HTTP status never turns an answer into a failure: the callers read the body.
    void anyHttpStatusIsAnAnswer_data()
    {
        QTest::addColumn<int>("status");
        for (int status : {200, 201, 204, 400, 401, 403, 404, 409, 429, 500, 502, 503})
            QTest::addRow("%d", status) << status;
    }
    void anyHttpStatusIsAnAnswer()
    {
        QFETCH(int, status);
        const QByteArray body = status == 204 ? QByteArray() : j("{'status':'ok'}");
        server->enqueue(QStringLiteral("refresh/x"), ScriptedAnswer::raw(body, status, "application/json"));
        const auto reply = finish(transportFor(*server).send(get(QStringLiteral("refresh/x"))));
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::None);
        QCOMPARE(reply->httpStatus, status);
        QCOMPARE(reply->body, body);
    }

    void failuresOfTheExchange_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<Failure>("failure");
        QTest::newRow("connection dropped") << ScriptedAnswer::dropped() << Failure::Network;
        QTest::newRow("dropped after a delay") << ScriptedAnswer::dropped().after(20ms) << Failure::Network;
        QTest::newRow("never answers") << ScriptedAnswer::never() << Failure::TimedOut;
        QTest::newRow("answers after the limit") << ScriptedAnswer::json({}).after(3s) << Failure::TimedOut;
        QTest::newRow("answers within the limit") << ScriptedAnswer::json({}).after(30ms) << Failure::None;
        QTest::newRow("body shorter than announced")
            << ScriptedAnswer::raw("{}").withHeader("Content-Length", "100") << Failure::TimedOut;
    }
    void failuresOfTheExchange()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(Failure, failure);
        // A default, not a queued answer: Qt repeats a GET once when the connection
        // closes before any response, and the repeat must meet the same server.
        server->setDefault(QStringLiteral("poll/t"), answer);
        QElapsedTimer elapsed;
        elapsed.start();
        const auto reply = finish(transportFor(*server).send(get(QStringLiteral("poll/t"), 800ms)));
        QVERIFY(reply);
        QCOMPARE(reply->failure, failure);
        QVERIFY2(elapsed.elapsed() < 2500, "a request outlived its time limit");
        if (failure != Failure::None)
            QCOMPARE(reply->body, QByteArray());
    }

    void redirectsFollowTheAddressRule_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("followed");
        QTest::newRow("to loopback") << QStringLiteral("http://127.0.0.1:%1/api/auth/poll/next") << true;
        QTest::newRow("relative") << QStringLiteral("/api/auth/poll/next") << true;
        // 0.0.0.0 reaches this machine but is not a loopback address: plain HTTP there is refused.
        QTest::newRow("to a non-loopback host") << QStringLiteral("http://0.0.0.0:%1/api/auth/poll/next") << false;
    }
    void redirectsFollowTheAddressRule()
    {
        QFETCH(QString, location);
        QFETCH(bool, followed);
        if (location.contains(u'%'))
            location = location.arg(server->port());
        server->setDefault(QStringLiteral("poll/first"),
                           ScriptedAnswer::raw({}, 302).withHeader("Location", location.toUtf8()));
        server->setDefault(QStringLiteral("poll/next"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")}}));
        const auto reply = finish(transportFor(*server).send(get(QStringLiteral("poll/first"))));
        QVERIFY(reply);
        QCOMPARE(reply->failure, followed ? Failure::None : Failure::Network);
        QCOMPARE(server->requestCount(QStringLiteral("poll/next")), followed ? 1 : 0);
    }

    void nothingListening()
    {
        // A port that was just free and is closed again.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        const AccountTransport transport(
            AccountTransport::Settings{QStringLiteral("http://127.0.0.1:%1/api/auth/").arg(port), 2s, 2s});
        const auto reply = finish(transport.send(get(QStringLiteral("poll/t"))));
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::Network);
    }

    void refusedBaseSendsNothing()
    {
        const AccountTransport transport(AccountTransport::Settings{QStringLiteral("http://192.0.2.1/api/auth/")});
        const auto reply = finish(transport.send(get(QStringLiteral("poll/t"))));
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::BadUrl);
    }

    void cancellationAbortsARunningRequest()
    {
        server->enqueue(QStringLiteral("poll/t"), ScriptedAnswer::never());
        TaskHandle handle;
        const CancelToken token = handle.start();
        auto result = std::make_shared<std::optional<AccountReply>>();
        [](QCoro::Task<AccountReply> task, std::shared_ptr<std::optional<AccountReply>> out) -> QCoro::Task<> {
            *out = co_await std::move(task);
        }(transportFor(*server).send(get(QStringLiteral("poll/t"), 30s), token), result);

        QTRY_COMPARE_WITH_TIMEOUT(server->silentConnections(), 1, 5000);
        QElapsedTimer elapsed;
        elapsed.start();
        handle.cancel();
        QTRY_VERIFY_WITH_TIMEOUT(result->has_value(), 2000);
        QVERIFY(elapsed.elapsed() < 1000);
        QCOMPARE((*result)->failure, Failure::Cancelled);
        // The connection is closed, not left for the server to time out.
        QTRY_COMPARE_WITH_TIMEOUT(server->silentConnections(), 0, 2000);
    }

    void alreadyCancelledSendsNothing()
    {
        TaskHandle handle;
        const CancelToken token = handle.start();
        handle.cancel();
        const auto reply = finish(transportFor(*server).send(get(QStringLiteral("poll/t")), token));
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::Cancelled);
        QTest::qWait(20);
        QCOMPARE(server->requestCount(), 0);
    }

    void bodySizeLimit_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<Failure>("failure");
        constexpr qint64 limit = 64 * 1024;
        QTest::newRow("announced, at the limit") << ScriptedAnswer::raw(QByteArray(limit, 'a')) << Failure::None;
        QTest::newRow("announced, one byte over") << ScriptedAnswer::raw(QByteArray(limit + 1, 'a')) << Failure::BodyTooLarge;
        QTest::newRow("unannounced, at the limit") << ScriptedAnswer::streamed(limit) << Failure::None;
        QTest::newRow("unannounced, one byte over") << ScriptedAnswer::streamed(limit + 1) << Failure::BodyTooLarge;
    }
    void bodySizeLimit()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(Failure, failure);
        server->enqueue(QStringLiteral("poll/t"), answer);
        AccountTransport::Settings settings = transportFor(*server).settings();
        settings.maxBodyBytes = 64 * 1024;
        const auto reply = finish(AccountTransport(settings).send(get(QStringLiteral("poll/t"))));
        QVERIFY(reply);
        QCOMPARE(reply->failure, failure);
        if (failure == Failure::None)
            QCOMPARE(reply->body.size(), 64 * 1024);
    }

    // With the production limit: a server that streams without end is cut off once
    // 16 MiB have arrived, long before the time limit, and the stream is not drained.
    void endlessBodyIsCutOffAtSixteenMebibytes()
    {
        constexpr qint64 offered = qint64(1) << 40; // far more than anyone could buffer
        server->enqueue(QStringLiteral("poll/t"), ScriptedAnswer::streamed(offered));
        AccountTransport::Settings settings = transportFor(*server).settings();
        QCOMPARE(settings.maxBodyBytes, qint64(16 * 1024 * 1024));
        QElapsedTimer elapsed;
        elapsed.start();
        const auto reply = finish(AccountTransport(settings).send(get(QStringLiteral("poll/t"), 60s)), 60000);
        QVERIFY(reply);
        QCOMPARE(reply->failure, Failure::BodyTooLarge);
        QCOMPARE(reply->body, QByteArray());
        qInfo("cut off after %lld ms; server had handed out %lld bytes", qint64(elapsed.elapsed()),
              server->streamedBytes());
        QVERIFY(server->streamedBytes() > 16 * 1024 * 1024);
        QVERIFY(server->streamedBytes() < 48 * 1024 * 1024);
    }
};


QTEST_GUILESS_MAIN(TestAccountTransport)
#include "test_account_transport.moc"
