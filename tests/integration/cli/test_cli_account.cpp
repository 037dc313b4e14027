// qorctl's sign-in and session commands against a scripted account server on
// loopback: each e-mail and messenger login outcome with the sign-in screen's
// texts and exit status, then refresh, account deletion and sign-out.

#include "cli_process.h"

#include "app_fixture.h"
#include "demo/account_server.h"

#include <QJsonArray>
#include <QRegularExpression>

using namespace qor;
using namespace qor::test;

namespace {
const QString address = QStringLiteral("user@example.com");

ScriptedAnswer status(const char *text, int http = 200)
{
    return ScriptedAnswer::json({{QStringLiteral("status"), QString::fromLatin1(text)}}, http);
}

QJsonObject signedInAnswer()
{
    return okAnswer({{QStringLiteral("session_token"), QStringLiteral("tok-1")}});
}
} // namespace

class TestCliAccount : public QObject {
    Q_OBJECT

private:
    AccountServer *server = nullptr;

    CliProcess cli() const
    {
        CliProcess c(QString::fromLatin1(QTest::currentTestFunction()) + QString::fromLatin1(QTest::currentDataTag()));
        c.setEnv(QStringLiteral("QOR_API_BASE"), server->baseUrl().toString());
        c.setEnv(QStringLiteral("QOR_DEEPLINK_BASE"), QStringLiteral("https://t.example/QorBot"));
        return c;
    }

    // Signs in by e-mail code; the refreshes of later processes answer `refresh`.
    bool signIn(const CliProcess &c, const ScriptedAnswer &refresh)
    {
        server->enqueue(QStringLiteral("email/request"), status("sent"));
        server->enqueue(QStringLiteral("email/verify"), ScriptedAnswer::json(signedInAnswer()));
        server->setDefault(QStringLiteral("refresh/"), refresh);
        const CliResult result = c.run({QStringLiteral("login"), QStringLiteral("email"), address, QStringLiteral("--code"), QStringLiteral("1234")});
        return result.exitCode == 0;
    }

    QString authStage(const CliProcess &c) const
    {
        return c.run({QStringLiteral("status"), QStringLiteral("--json")}).json().value("authStage").toString();
    }

private Q_SLOTS:
    void init()
    {
        server = new AccountServer(this);
        QVERIFY(server->listen());
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void emailOutcomes_data()
    {
        QTest::addColumn<ScriptedAnswer>("request");
        QTest::addColumn<ScriptedAnswer>("verify");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("stage");
        QTest::addColumn<int>("verifications");

        const ScriptedAnswer sent = status("sent");
        // The status code is never examined: the body decides.
        QTest::newRow("signed in") << status("sent", 500) << ScriptedAnswer::json(signedInAnswer()) << 0
                                   << QStringLiteral("Вход выполнен: @user") << QStringLiteral("loggedIn") << 1;
        QTest::newRow("invalid email") << status("invalid_email") << sent << 1 << QStringLiteral("Проверьте правильность email.")
                                       << QStringLiteral("idle") << 0;
        QTest::newRow("request failed") << status("later") << sent << 1
                                        << QStringLiteral("Не удалось отправить запрос. Проверьте соединение и попробуйте снова.")
                                        << QStringLiteral("idle") << 0;
        QTest::newRow("wrong code") << sent << status("invalid_code", 400) << 1 << QStringLiteral("Неверный код, попробуйте ещё раз.")
                                    << QStringLiteral("idle") << 1;
        QTest::newRow("expired code") << sent << status("expired", 400) << 1 << QStringLiteral("Код устарел. Запросите новый.")
                                      << QStringLiteral("idle") << 1;
        QTest::newRow("no status") << sent << ScriptedAnswer::json({{QStringLiteral("username"), QStringLiteral("x")}}) << 1
                                   << QStringLiteral("Не удалось проверить код. Проверьте соединение и попробуйте снова.")
                                   << QStringLiteral("idle") << 1;
        QTest::newRow("no subscription") << sent << status("no_subscription") << 1
                                         << QStringLiteral("Для этого аккаунта доступ не активен. Проверьте, что вошли под нужным "
                                                           "аккаунтом, и повторите вход.")
                                         << QStringLiteral("idle") << 1;
    }

    void emailOutcomes()
    {
        QFETCH(ScriptedAnswer, request);
        QFETCH(ScriptedAnswer, verify);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFETCH(QString, stage);
        QFETCH(int, verifications);
        server->enqueue(QStringLiteral("email/request"), request);
        server->enqueue(QStringLiteral("email/verify"), verify);
        server->setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(signedInAnswer()));
        const CliProcess c = cli();

        const CliResult result = c.run({QStringLiteral("login"), QStringLiteral("email"), address, QStringLiteral("--code"), QStringLiteral("4321")});
        QVERIFY2(result.exitCode == exitCode, result.describe());
        QVERIFY2((exitCode == 0 ? result.out : result.err).contains(message), result.describe());
        QCOMPARE(server->requestCount(QStringLiteral("email/verify")), verifications);
        if (verifications > 0)
            QVERIFY(result.out.contains(QStringLiteral("Код отправлен на ") + address));
        // Only a session is kept: the next process starts signed in, or signed out.
        QCOMPARE(authStage(c), stage);
    }

    void codeFromStandardInput()
    {
        server->enqueue(QStringLiteral("email/request"), status("sent"));
        server->enqueue(QStringLiteral("email/verify"), ScriptedAnswer::json(signedInAnswer()));
        const CliResult result = cli().run({QStringLiteral("login"), QStringLiteral("email"), address}, "  98765\r\nrest\n");
        QVERIFY2(result.exitCode == 0, result.describe());
        // Sent as typed, line break and carriage return aside.
        const QJsonObject body = server->requests(QStringLiteral("email/verify")).value(0).jsonBody();
        QCOMPARE(body.value("code").toString(), QStringLiteral("  98765"));
        QCOMPARE(body.value("email").toString(), address);
        QCOMPARE(server->requests(QStringLiteral("email/request")).value(0).jsonBody().value("email").toString(), address);
    }

    void codeMissingOnInput()
    {
        server->enqueue(QStringLiteral("email/request"), status("sent"));
        const CliResult result = cli().run({QStringLiteral("login"), QStringLiteral("email"), address});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("Код не введён")), result.describe());
        QCOMPARE(server->requestCount(QStringLiteral("email/verify")), 0);
    }

    void telegramLogin_data()
    {
        QTest::addColumn<ScriptedAnswer>("poll");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("stage");
        QTest::newRow("confirmed") << ScriptedAnswer::json(signedInAnswer()) << 0 << QStringLiteral("Вход выполнен: @user")
                                   << QStringLiteral("loggedIn");
        QTest::newRow("no subscription") << status("no_subscription") << 1
                                         << QStringLiteral("Для этого аккаунта доступ не активен.") << QStringLiteral("idle");
        QTest::newRow("revoked") << status("invalid_session") << 1
                                 << QStringLiteral("Доступ отозван — учётной записи больше нет. Войдите заново")
                                 << QStringLiteral("idle");
    }

    void telegramLogin()
    {
        QFETCH(ScriptedAnswer, poll);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFETCH(QString, stage);
        // Not confirmed at first: the client keeps polling.
        server->enqueue(QStringLiteral("poll/"), status("pending"));
        server->enqueue(QStringLiteral("poll/"), poll);
        server->setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(signedInAnswer()));
        const CliProcess c = cli();

        const CliResult result = c.run({QStringLiteral("login"), QStringLiteral("telegram")});
        QVERIFY2(result.exitCode == exitCode, result.describe());
        const QRegularExpression link(QStringLiteral("^Откройте ссылку: https://t\\.example/QorBot\\?start=login_([0-9a-f]{32})$"),
                                      QRegularExpression::MultilineOption);
        const auto match = link.match(result.out);
        QVERIFY2(match.hasMatch(), result.describe());
        QVERIFY(result.out.contains(QStringLiteral("Ждём подтверждения в Telegram…")));
        QVERIFY2((exitCode == 0 ? result.out : result.err).contains(message), result.describe());
        // Every poll asked for the token of the printed link.
        QCOMPARE(server->requestCount(QStringLiteral("poll/")), 2);
        for (const RecordedRequest &request : server->requests(QStringLiteral("poll/")))
            QCOMPARE(request.path, QStringLiteral("poll/") + match.captured(1));
        QCOMPARE(authStage(c), stage);
    }

    void refresh_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stage");
        QTest::newRow("ok") << ScriptedAnswer::json(okAnswer({{QStringLiteral("username"), QStringLiteral("renamed")}})) << 0
                            << QStringLiteral("loggedIn");
        QTest::newRow("server error") << ScriptedAnswer::raw("oops", 500) << 1 << QStringLiteral("loggedIn");
        QTest::newRow("revoked") << status("invalid_session", 401) << 1 << QStringLiteral("idle");
    }

    void refresh()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(int, exitCode);
        QFETCH(QString, stage);
        const CliProcess c = cli();
        QVERIFY(signIn(c, answer));
        const CliResult result = c.run({QStringLiteral("refresh")});
        QVERIFY2(result.exitCode == exitCode, result.describe());
        if (exitCode == 0)
            QCOMPARE(result.out, QStringLiteral("Статус обновлён\n"));
        else
            QVERIFY2(result.err.startsWith(QStringLiteral("Не получилось обновить статус\n")), result.describe());
        // The revocation came with the start-up's refresh and signed the user out.
        QCOMPARE(result.err.contains(QStringLiteral("Доступ отозван — учётной записи больше нет. Войдите заново")),
                 stage == QStringLiteral("idle"));
        // Every refresh carried the token of the sign-in.
        QVERIFY(server->requestCount(QStringLiteral("refresh/")) >= 1);
        for (const RecordedRequest &request : server->requests(QStringLiteral("refresh/")))
            QCOMPARE(request.path, QStringLiteral("refresh/tok-1"));
        const QJsonObject state = c.run({QStringLiteral("status"), QStringLiteral("--json")}).json();
        QCOMPARE(state.value("authStage").toString(), stage);
        if (QTest::currentDataTag() == QByteArray("ok"))
            QCOMPARE(state.value("telegramUsername").toString(), QStringLiteral("renamed"));
    }

    void deleteAccount_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stage");
        QTest::newRow("deleted") << status("ok") << 0 << QStringLiteral("idle");
        QTest::newRow("refused") << status("error", 500) << 1 << QStringLiteral("loggedIn");
    }

    void deleteAccount()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(int, exitCode);
        QFETCH(QString, stage);
        const CliProcess c = cli();
        QVERIFY(signIn(c, ScriptedAnswer::json(signedInAnswer())));
        server->enqueue(QStringLiteral("account/delete"), answer);
        const CliResult result = c.run({QStringLiteral("delete-account"), QStringLiteral("--yes")});
        QVERIFY2(result.exitCode == exitCode, result.describe());
        QVERIFY2(exitCode == 0 ? result.out == QStringLiteral("Аккаунт удалён\n")
                               : result.err == QStringLiteral("Не получилось удалить аккаунт\n"),
                 result.describe());
        QCOMPARE(server->requests(QStringLiteral("account/delete")).value(0).jsonBody().value("session_token").toString(),
                 QStringLiteral("tok-1"));
        QCOMPARE(authStage(c), stage);
    }

    void logout()
    {
        const CliProcess c = cli();
        QVERIFY(signIn(c, ScriptedAnswer::json(signedInAnswer())));
        QCOMPARE(authStage(c), QStringLiteral("loggedIn"));
        const CliResult first = c.run({QStringLiteral("logout")});
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(first.out, QStringLiteral("Вы вышли из аккаунта\n"));
        const QJsonObject state = c.run({QStringLiteral("status"), QStringLiteral("--json")}).json();
        QCOMPARE(state.value("authStage").toString(), QStringLiteral("idle"));
        QVERIFY(state.value("telegramUsername").isNull());
        QCOMPARE(state.value("directNodes").toArray().size(), 0);
        const CliResult again = c.run({QStringLiteral("logout")});
        QCOMPARE(again.exitCode, 0);
        QCOMPARE(again.out, QStringLiteral("Вход не был выполнен\n"));
    }
};

QTEST_GUILESS_MAIN(TestCliAccount)
#include "test_cli_account.moc"
