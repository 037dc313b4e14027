// qorctl's own commands (not the demo), signed out and against a scripted loopback account server.

#include "cli_process.h"

#include "app_fixture.h"
#include "demo/account_server.h"

#include <QTcpServer>

#include <csignal>

using namespace qor;
using namespace qor::test;

namespace {
const QString address = QStringLiteral("user@example.com");

ScriptedAnswer status(const char *text, int http = 200)
{
    return ScriptedAnswer::json({{"status", QString::fromLatin1(text)}}, http);
}

ScriptedAnswer signedIn()
{
    return ScriptedAnswer::json(okAnswer({{"session_token", "tok-1"}}));
}
} // namespace

class TestCliAccount : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<AccountServer> server;

    CliProcess cli() const
    {
        CliProcess c(QString::fromLatin1(QTest::currentTestFunction()) + QString::fromLatin1(QTest::currentDataTag()));
        c.setEnv("QOR_API_BASE", server->baseUrl().toString());
        c.setEnv("QOR_DEEPLINK_BASE", "https://t.example/QorBot");
        return c;
    }

    static QString authStage(const CliProcess &c) { return c.run({"status", "--json"}).json().value("authStage").toString(); }
    // Without a server of the test: the account base is a closed loopback port.
    static CliProcess bare() { return CliProcess(QString::fromLatin1(QTest::currentTestFunction())); }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<AccountServer>();
        QVERIFY(server->listen());
        // Every later process refreshes the stored session at start.
        server->setDefault("refresh/", signedIn());
    }
    void cleanup() { server.reset(); }

    // Signed out, with no server of the test: wrong usage exits 2 with reason and usage line, a refusal 1 (closed
    // port), nothing on stdout; then what works without an account.
    void signedOutCommands()
    {
        const QList<std::tuple<QStringList, int, QString>> rows{
            {{}, 2, "не указана команда"}, {{"fly"}, 2, "неизвестная команда fly"}, {{"--fast", "status"}, 2, "неизвестный параметр --fast"},
            {{"status", "--yaml"}, 2, "неизвестный параметр yaml"}, {{"status", "now"}, 2, "лишние аргументы"},
            {{"connect", "--balancer", "--reserve"}, 2, "только одну цель"}, {{"connect", "--mode", "fast"}, 2, "режим: auto, main или tavrin"},
            {{"connect", "--mode", "reserve"}, 2, "режим: auto, main или tavrin"}, {{"connect", "--mode", "main", "--reserve"}, 2, "не сочетаются"},
            {{"connect", "--timeout", "0"}, 2, "--timeout"}, {{"connect", "--stop-on-exit"}, 2, "только вместе с --stay"},
            {{"login", "email", "user.example.com"}, 2, "«@»"}, {{"login", "email", "a@example.com", "--code", "123"}, 2, "не короче 4"},
            {{"login"}, 2, "email или telegram"}, {{"login", "telegram", "--code", "1234"}, 2, "не принимает"},
            {{"delete-account"}, 2, "--yes"}, {{"settings", "volume"}, 2, "неизвестная настройка volume"},
            {{"settings", "liquidGlassEnabled", "maybe"}, 2, "true|false"}, {{"settings", "connectMode", "reserve"}, 2, "auto|main|tavrin"},
            {{"trace", "--lines", "x"}, 2, "--lines"}, {{"connect"}, 1, "Вход не выполнен — войдите командой qorctl login email АДРЕС"},
            {{"refresh"}, 1, "Не получилось обновить статус"}, {{"delete-account", "--yes"}, 1, "Не получилось удалить аккаунт"},
            {{"login", "email", "a@example.com", "--code", "1234"}, 1, "Не удалось отправить запрос. Проверьте соединение и попробуйте снова."}};
        const CliProcess c = bare();
        for (const auto &[arguments, exitCode, text] : rows) {
            const CliResult result = c.run(arguments);
            QVERIFY2(result.exitCode == exitCode && result.err.contains(text) && result.out.isEmpty()
                         && result.err.contains(QStringLiteral("Использование: qorctl")) == (exitCode == 2),
                     result.describe());
        }

        // Help, version, signed-out status (text, JSON), nodes, the start-up trace read by the next one, and settings.
        const CliResult help = c.run({"--help"});
        QCOMPARE(help.exitCode, 0);
        for (const char *command : {"status", "login", "logout", "connect", "disconnect", "nodes", "settings", "refresh", "delete-account", "trace"})
            QVERIFY2(help.out.contains(QStringLiteral("\n  ") + QLatin1String(command) + u' '), command);
        const QStringList json{"status", "--json"};
        QCOMPARE(c.play({{{"connect", "--help"}, "~^0 Использование: qorctl \\[--demo\\] connect.*--stay"}, {{"--version"}, "~^0 qorctl \\d+\\.\\d+\\.\\d+$"},
                         {{"status"}, "~^0 (.*\n)*Вход:               не выполнен\n(.*\n)*Подключение:        Отключено"},
                         {json, "1 | false | idle | disconnected | {\"endpoint\":null,\"kind\":\"balancer\",\"name\":\"Qor AI Network\"} | null | null "
                                "| null | auto | 00:00:00 | 0 | [] | null",
                          {"format", "demo", "authStage", "connectionState", "target", "connectedSince", "tavrinKey", "corporate", "connectMode",
                           "connectionDuration", "sessionDownloadBytes", "directNodes", "subscription/isActive"}},
                         {json, "Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor | null | 2 | Серверов: 0 | Клиент Telegram",
                          {"display/statusTitle", "display/statusSubtitle", "display/networkHealthLevel", "display/nodeCountLine", "display/accountName"}},
                         {{"nodes"}, "0 Список узлов придёт вместе с подпиской"},
                         {{"nodes", "--json"}, "[{\"endpoint\":null,\"kind\":\"balancer\",\"label\":\"Qor AI Network\",\"latencyMs\":null,"
                                               "\"latencyText\":null,\"selected\":true}]", {"nodes"}},
                         {{"trace", "--lines", "2"}, "~^0 [^\n]+\n[^\n]*status 0 from main[^\n]*$"}}),
                 QString());
        // Each setting as a user writes it, read back by a later process; launch at login is the autostart entry.
        QCOMPARE(c.play({{{"settings"}, "~^0 autoReconnectEnabled  true.*\nappearance            system.*\n(.*\n){3}launchAtLogin         false[^\n]*$"}}),
                 QString());
        const QList<std::tuple<QString, QString, QString>> changes{{"appearance", "dark", "dark"}, {"autoReconnectEnabled", "off", "false"},
                                                                   {"liquidGlassEnabled", "true", "true"}, {"connectMode", "tavrin", "tavrin"},
                                                                   {"minimizeToMenuBar", "yes", "true"}, {"launchAtLogin", "true", "true"}};
        for (const auto &[name, value, stored] : changes)
            QCOMPARE(c.run({"settings", name, value}).said(), QStringLiteral("0 ") + stored);
        for (const auto &[name, value, stored] : changes)
            QCOMPARE(c.run({"settings", name}).said(), QStringLiteral("0 ") + stored);
        QCOMPARE(pick(c.run({"status", "--json"}).json(), {"appearance", "connectMode", "autoReconnectEnabled"}), QStringLiteral("dark | tavrin | false"));
        const QString autostart = c.home() + QStringLiteral("/config/autostart/qor-connect.desktop");
        QVERIFY(QFile::exists(autostart));
        QCOMPARE(c.run({"settings", "launchAtLogin", "false"}).said(), QStringLiteral("0 false"));
        QVERIFY(!QFile::exists(autostart));
    }

    void emailOutcomes_data()
    {
        QTest::addColumn<ScriptedAnswer>("request");
        QTest::addColumn<ScriptedAnswer>("verify");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QByteArray>("input"); // typed on standard input ("EOF": nothing); empty: --code 4321
        const ScriptedAnswer sent = status("sent");
        const QString codeSent = "Код отправлен на " + address + "\n";
        // The status code is never examined: the body decides.
        QTest::newRow("signed in") << status("sent", 500) << signedIn() << "0 " + codeSent + "Вход выполнен: @user" << QByteArray();
        QTest::newRow("invalid email") << status("invalid_email") << sent << "1 Проверьте правильность email." << QByteArray();
        QTest::newRow("request failed") << status("later") << sent << "1 Не удалось отправить запрос. Проверьте соединение и попробуйте снова." << QByteArray();
        QTest::newRow("wrong code") << sent << status("invalid_code", 400) << "1 Неверный код, попробуйте ещё раз." << QByteArray();
        QTest::newRow("expired code") << sent << status("expired", 400) << "1 Код устарел. Запросите новый." << QByteArray();
        QTest::newRow("no status") << sent << ScriptedAnswer::json({{"username", "x"}})
                                   << "1 Не удалось проверить код. Проверьте соединение и попробуйте снова." << QByteArray();
        QTest::newRow("no subscription") << sent << status("no_subscription")
                                         << "1 Для этого аккаунта доступ не активен. Проверьте, что вошли под нужным аккаунтом, и повторите вход." << QByteArray();
        // Sent as typed, line break and carriage return aside; without a code nothing is verified.
        QTest::newRow("code typed") << sent << signedIn() << "0 " + codeSent + "Вход выполнен: @user" << QByteArray("  98765\r\nrest\n");
        QTest::newRow("no code typed") << sent << sent << "1 Код не введён" << QByteArray("EOF");
    }
    void emailOutcomes()
    {
        QFETCH(ScriptedAnswer, request);
        QFETCH(ScriptedAnswer, verify);
        QFETCH(QString, said);
        QFETCH(QByteArray, input);
        server->enqueue("email/request", request);
        server->enqueue("email/verify", verify);
        const CliProcess c = cli();
        const QStringList code = input.isEmpty() ? QStringList{"--code", "4321"} : QStringList();
        const CliResult result = c.run(QStringList{"login", "email", address} + code, input == "EOF" ? QByteArray() : input);
        QCOMPARE(result.said(), said);
        QCOMPARE(server->requests("email/request").value(0).jsonBody(), (QJsonObject{{"email", address}}));
        // A code was verified only after the server sent one, and only when one was given.
        const QString typed = input.isEmpty() ? "4321" : "  98765";
        const bool verified = result.out.contains("Код отправлен") && input != "EOF";
        const QJsonObject expected = verified ? QJsonObject{{"code", typed}, {"email", address}} : QJsonObject();
        QCOMPARE(server->requests("email/verify").value(0).jsonBody(), expected);
        // Only a session is kept: the next process starts signed in, or signed out.
        QCOMPARE(authStage(c), said.startsWith("0 ") ? "loggedIn" : "idle");
    }

    void telegramLogin_data()
    {
        QTest::addColumn<ScriptedAnswer>("poll");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("confirmed") << signedIn() << 0 << "Вход выполнен: @user\n";
        QTest::newRow("no subscription") << status("no_subscription") << 1 << "Для этого аккаунта доступ не активен.";
        QTest::newRow("revoked") << status("invalid_session") << 1 << "Доступ отозван — учётной записи больше нет. Войдите заново";
    }
    void telegramLogin()
    {
        QFETCH(ScriptedAnswer, poll);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        server->enqueue("poll/", status("pending"));
        server->enqueue("poll/", poll);
        const CliProcess c = cli();
        const CliResult result = c.run({"login", "telegram"});
        const auto link = QRegularExpression("^Откройте ссылку: https://t\\.example/QorBot\\?start=login_([0-9a-f]{32})\n"
                                             "Ждём подтверждения в Telegram…\n").match(result.out);
        QVERIFY2(link.hasMatch(), result.describe());
        QVERIFY2(result.exitCode == exitCode && (exitCode == 0 ? result.out : result.err).contains(message), result.describe());
        // Every poll asked for the token of the printed link.
        QCOMPARE(server->requestCount("poll/"), 2);
        for (const RecordedRequest &request : server->requests("poll/"))
            QCOMPARE(request.path, "poll/" + link.captured(1));
        QCOMPARE(authStage(c), exitCode == 0 ? "loggedIn" : "idle");
    }

    // Signed in by e-mail code: each command's answers, what it says, where the next process stands.
    void sessionCommands_data()
    {
        QTest::addColumn<ScriptedAnswer>("refresh");
        QTest::addColumn<ScriptedAnswer>("deletion");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("state"); // authStage | telegramUsername | the first direct node
        const ScriptedAnswer renamed = ScriptedAnswer::json(okAnswer({{"session_token", "tok-1"}, {"username", "renamed"}}));
        const QString node = "10.0.0.1:443";
        QTest::newRow("refresh") << renamed << ScriptedAnswer() << QStringList{"refresh"} << "0 Статус обновлён"
                                 << "loggedIn | renamed | " + node;
        QTest::newRow("refresh, server error") << ScriptedAnswer::raw("oops", 500) << ScriptedAnswer() << QStringList{"refresh"}
                                               << "1 Не получилось обновить статус" << "loggedIn | user | " + node;
        // The revocation comes with the start-up's refresh and signs the user out.
        QTest::newRow("refresh, revoked")
            << status("invalid_session", 401) << ScriptedAnswer() << QStringList{"refresh"}
            << "1 Не получилось обновить статус\nДоступ отозван — учётной записи больше нет. Войдите заново" << "idle | null | null";
        QTest::newRow("deleted") << signedIn() << status("ok") << QStringList{"delete-account", "--yes"} << "0 Аккаунт удалён"
                                 << "idle | null | null";
        QTest::newRow("deletion refused") << signedIn() << status("error", 500) << QStringList{"delete-account", "--yes"}
                                          << "1 Не получилось удалить аккаунт" << "loggedIn | user | " + node;
        QTest::newRow("logout") << signedIn() << ScriptedAnswer() << QStringList{"logout"} << "0 Вы вышли из аккаунта" << "idle | null | null";
    }
    void sessionCommands()
    {
        QFETCH(ScriptedAnswer, refresh);
        QFETCH(ScriptedAnswer, deletion);
        QFETCH(QStringList, command);
        const CliProcess c = cli();
        server->enqueue("email/request", status("sent"));
        server->enqueue("email/verify", signedIn());
        QCOMPARE(c.run({"login", "email", address, "--code", "1234"}).exitCode, 0);
        QCOMPARE(authStage(c), QStringLiteral("loggedIn"));
        server->setDefault("refresh/", refresh);
        server->setDefault("account/delete", deletion);
        QTEST(c.run(command).said(), "said");
        QTEST(pick(c.run({"status", "--json"}).json(), {"authStage", "telegramUsername", "directNodes/0/endpoint"}), "state");
        // Every refresh and the deletion carried the token of the sign-in.
        for (const RecordedRequest &request : server->requests("refresh/"))
            QCOMPARE(request.path, QStringLiteral("refresh/tok-1"));
        QCOMPARE(server->requests("account/delete").value(0).jsonBody().value("session_token").toString(),
                 command.first() == "delete-account" ? "tok-1" : "");
        if (command.first() == "logout")
            QCOMPARE(c.run(command).said(), QStringLiteral("0 Вход не был выполнен"));
    }

    // A node at an IPv6 address, written bare and in brackets: measured at that address, chosen by its text as listed.
    void ipv6Node()
    {
        QTcpServer node;
        if (!node.listen(QHostAddress::LocalHostIPv6))
            QSKIP("no IPv6 loopback on this machine");
        const QString port = QString::number(node.serverPort()), bare = "::1:" + port, bracketed = "[::1]:" + port;
        const ScriptedAnswer offer = ScriptedAnswer::json(okAnswer({{"session_token", "tok-1"}, {"xray_configs", xrayConfigsMember({bare, bracketed})}}));
        server->setDefault("refresh/", offer);
        server->enqueue("email/request", status("sent"));
        server->enqueue("email/verify", offer);
        CliProcess c = cli();
        c.setEnv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + c.home() + "/no-bus"); // no tunnel service: the connect never gets past the choice
        QCOMPARE(c.run({"login", "email", address, "--code", "1234"}).exitCode, 0);
        const QJsonObject measured = c.run({"nodes", "--measure", "--json"}).json();
        QVERIFY2(measured["nodeLatency"][bare].isDouble() && measured["nodeLatency"][bracketed].isDouble(), qPrintable(pick(measured, {"nodeLatency"})));
        const QString label = SubscriptionCatalog::nodeDisplayLabel(bare);
        QCOMPARE(pick(measured, {"directNodes/0/endpoint", "directNodes/0/label"}), bare + " | " + label);
        auto chosen = c.start({"connect", "--node", bare, "--stay"});
        QString seen;
        QVERIFY2(CliProcess::waitForOutput(*chosen, QProcess::StandardOutput, "Подключение… (" + label + ")", seen), qPrintable(seen));
        ::kill(pid_t(chosen->processId()), SIGINT);
        QVERIFY(CliProcess::finish(*chosen, 10000).finished);
        QCOMPARE(pick(c.run({"status", "--json"}).json(), {"target/kind", "target/endpoint", "target/name"}), "node | " + bare + " | " + label);
    }
};

QTEST_GUILESS_MAIN(TestCliAccount)
#include "test_cli_account.moc"
