#include "account_test_support.h"

#include <QElapsedTimer>
#include <QSignalSpy>

using namespace qor;
using namespace qor::testing;

// The scriptable account server itself: how scripts are chosen, what is recorded,
// and the answers it gives outside its script.
class TestAccountServer : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;

    AccountReply call(const QString &path, std::optional<QJsonObject> body = std::nullopt)
    {
        const auto reply = finish(transportFor(*server, 2s, 2s).send({QStringLiteral("test"), path, body, 2s}));
        return reply.value_or(AccountReply{AccountReply::Failure::TimedOut, 0, {}});
    }
    static QString statusOf(const AccountReply &reply)
    {
        return QJsonDocument::fromJson(reply.body).object().value(QStringLiteral("status")).toString();
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<AccountServer>();
        QVERIFY(server->listen());
    }
    void cleanup() { server.reset(); }

    void listensOnLoopbackWithTheApiBase()
    {
        QVERIFY(server->port() != 0);
        QCOMPARE(server->baseUrl(), QUrl(QStringLiteral("http://127.0.0.1:%1/api/auth/").arg(server->port())));
        AccountServer second;
        QVERIFY(second.listen());
        QVERIFY(second.port() != server->port());
    }

    void queueThenHandlerThenDefault()
    {
        server->enqueue(QStringLiteral("poll/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("q1")}}));
        server->enqueue(QStringLiteral("poll/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("q2")}}));
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("default")}}));
        QCOMPARE(statusOf(call(QStringLiteral("poll/a"))), QStringLiteral("q1"));
        QCOMPARE(statusOf(call(QStringLiteral("poll/b"))), QStringLiteral("q2"));
        QCOMPARE(statusOf(call(QStringLiteral("poll/c"))), QStringLiteral("default"));

        int handled = 0;
        server->setHandler(QStringLiteral("poll/"), [&handled](const RecordedRequest &request) {
            ++handled;
            return ScriptedAnswer::json({{QStringLiteral("status"), request.path}});
        });
        QCOMPARE(statusOf(call(QStringLiteral("poll/d"))), QStringLiteral("poll/d"));
        QCOMPARE(handled, 1);
    }

    void exactPathBeforeItsPrefix()
    {
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("any")}}));
        server->setDefault(QStringLiteral("poll/mine"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("mine")}}));
        QCOMPARE(statusOf(call(QStringLiteral("poll/mine"))), QStringLiteral("mine"));
        QCOMPARE(statusOf(call(QStringLiteral("poll/other"))), QStringLiteral("any"));
        // An exhausted exact queue falls through to the prefix.
        server->enqueue(QStringLiteral("refresh/t"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("once")}}));
        server->setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("later")}}));
        QCOMPARE(statusOf(call(QStringLiteral("refresh/t"))), QStringLiteral("once"));
        QCOMPARE(statusOf(call(QStringLiteral("refresh/t"))), QStringLiteral("later"));
    }

    void answersOutsideTheScript_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("post");
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QString>("status");
        QTest::newRow("unscripted route") << QStringLiteral("email/request") << true << 404 << QStringLiteral("not_found");
        QTest::newRow("poll by POST") << QStringLiteral("poll/t") << true << 405 << QStringLiteral("method_not_allowed");
        QTest::newRow("delete by GET") << QStringLiteral("account/delete") << false << 405 << QStringLiteral("method_not_allowed");
        QTest::newRow("outside the api") << QStringLiteral("../../other") << false << 404 << QStringLiteral("not_found");
    }
    void answersOutsideTheScript()
    {
        QFETCH(QString, path);
        QFETCH(bool, post);
        QFETCH(int, httpStatus);
        QFETCH(QString, status);
        server->setDefault(QStringLiteral("poll/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")}}));
        server->setDefault(QStringLiteral("account/delete"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")}}));
        const AccountReply reply = call(path, post ? std::optional<QJsonObject>(QJsonObject{}) : std::nullopt);
        QCOMPARE(reply.failure, AccountReply::Failure::None);
        QCOMPARE(reply.httpStatus, httpStatus);
        QCOMPARE(statusOf(reply), status);
    }

    void recordsWhatItReceived()
    {
        QSignalSpy received(server.get(), &AccountServer::requestReceived);
        server->setDefault(QStringLiteral("email/verify"), ScriptedAnswer::json({}));
        call(QStringLiteral("email/verify"), QJsonObject{{QStringLiteral("code"), QStringLiteral("42")}});
        QCOMPARE(received.size(), 1);
        const RecordedRequest request = received.first().first().value<RecordedRequest>();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("email/verify"));
        QCOMPARE(request.jsonBody().value(QStringLiteral("code")).toString(), QStringLiteral("42"));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(server->requestCount(QStringLiteral("email/")), 1);
        QCOMPARE(server->requestCount(QStringLiteral("poll/")), 0);
        server->clearRequests();
        QCOMPARE(server->requestCount(), 0);
    }

    void scriptedStatusHeadersAndDelay()
    {
        server->setDefault(QStringLiteral("refresh/"), ScriptedAnswer::raw("plain", 503).withHeader("X-Extra", "1").after(60ms));
        QElapsedTimer elapsed;
        elapsed.start();
        const AccountReply reply = call(QStringLiteral("refresh/t"));
        QVERIFY(elapsed.elapsed() >= 60);
        QCOMPARE(reply.httpStatus, 503);
        QCOMPARE(reply.body, QByteArray("plain"));
    }

    void silentConnectionsCanBeReleased()
    {
        server->setDefault(QStringLiteral("email/request"), ScriptedAnswer::never());
        auto pending = std::make_shared<std::optional<AccountReply>>();
        [](QCoro::Task<AccountReply> task, std::shared_ptr<std::optional<AccountReply>> out) -> QCoro::Task<> {
            *out = co_await std::move(task);
        }(transportFor(*server, 10s).send({QStringLiteral("test"), QStringLiteral("email/request"), QJsonObject{}, 10s}),
          pending);
        // Qt sends a request once more when its connection closes before any answer,
        // so the silent server is released as often as the client comes back.
        for (int round = 0; round < 3 && !pending->has_value(); ++round) {
            QVERIFY(waitUntil([&] { return server->silentConnections() == 1 || pending->has_value(); }));
            server->releaseSilentConnections();
            waitUntil([&] { return pending->has_value(); }, 500);
        }
        QVERIFY(pending->has_value());
        QCOMPARE((*pending)->failure, AccountReply::Failure::Network);
        QVERIFY(server->requestCount() <= 2);
        QCOMPARE(server->silentConnections(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAccountServer)
#include "test_account_server.moc"
