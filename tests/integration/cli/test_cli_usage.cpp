// qorctl's command line without a session: help, version, wrong usage (exit 2),
// refusals while signed out (exit 1), the state of a signed-out user, and the
// settings, which persist from one process to the next.

#include "cli_process.h"

using namespace qor::test;

class TestCliUsage : public QObject {
    Q_OBJECT

private:
    CliProcess cli() const { return CliProcess(QString::fromLatin1(QTest::currentTestFunction())); }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(QFileInfo(CliProcess::program()).isExecutable(), qPrintable(CliProcess::program())); }

    void helpAndVersion()
    {
        const CliProcess c = cli();
        const CliResult help = c.run({"--help"});
        QCOMPARE(help.exitCode, 0);
        for (const char *command : {"status", "login", "logout", "connect", "disconnect", "nodes", "settings", "refresh", "delete-account", "trace"})
            QVERIFY2(help.out.contains(QStringLiteral("\n  ") + QLatin1String(command) + u' '), command);
        const CliResult commandHelp = c.run({"connect", "--help"});
        QCOMPARE(commandHelp.exitCode, 0);
        QVERIFY(commandHelp.out.startsWith(QStringLiteral("Использование: qorctl [--demo] connect")));
        QVERIFY(commandHelp.out.contains(QStringLiteral("--stay")));
        QVERIFY(QRegularExpression(QStringLiteral("^0 qorctl \\d+\\.\\d+\\.\\d+$")).match(c.run({"--version"}).said()).hasMatch());
    }

    // Wrong usage exits 2 with the reason and the usage line; a refusal exits 1 (the
    // account server is a closed loopback port here).
    void wrongUsageAndRefusals()
    {
        const QList<std::tuple<QStringList, int, QString>> rows{
            {{}, 2, "не указана команда"},
            {{"fly"}, 2, "неизвестная команда fly"},
            {{"--fast", "status"}, 2, "неизвестный параметр --fast"},
            {{"status", "--yaml"}, 2, "неизвестный параметр yaml"},
            {{"status", "now"}, 2, "лишние аргументы"},
            {{"connect", "--balancer", "--reserve"}, 2, "только одну цель"},
            {{"connect", "--mode", "fast"}, 2, "режим: auto, main или tavrin"},
            {{"connect", "--mode", "reserve"}, 2, "режим: auto, main или tavrin"},
            {{"connect", "--mode", "main", "--reserve"}, 2, "не сочетаются"},
            {{"connect", "--timeout", "0"}, 2, "--timeout"},
            {{"connect", "--stop-on-exit"}, 2, "только вместе с --stay"},
            {{"login", "email", "user.example.com"}, 2, "«@»"},
            {{"login", "email", "a@example.com", "--code", "123"}, 2, "не короче 4"},
            {{"login"}, 2, "email или telegram"},
            {{"login", "telegram", "--code", "1234"}, 2, "не принимает"},
            {{"delete-account"}, 2, "--yes"},
            {{"settings", "volume"}, 2, "неизвестная настройка volume"},
            {{"settings", "liquidGlassEnabled", "maybe"}, 2, "true|false"},
            {{"settings", "connectMode", "reserve"}, 2, "auto|main|tavrin"},
            {{"trace", "--lines", "x"}, 2, "--lines"},
            {{"connect"}, 1, "Вход не выполнен — войдите командой qorctl login email АДРЕС"},
            {{"refresh"}, 1, "Не получилось обновить статус"},
            {{"delete-account", "--yes"}, 1, "Не получилось удалить аккаунт"},
            {{"login", "email", "a@example.com", "--code", "1234"}, 1, "Не удалось отправить запрос. Проверьте соединение и попробуйте снова."}};
        const CliProcess c = cli();
        for (const auto &[arguments, exitCode, text] : rows) {
            const CliResult result = c.run(arguments);
            QVERIFY2(result.exitCode == exitCode && result.err.contains(text) && result.out.isEmpty(), result.describe());
            QVERIFY2(result.err.contains(QStringLiteral("Использование: qorctl")) == (exitCode == 2), result.describe());
        }
    }

    void signedOutStatusNodesAndTrace()
    {
        const CliProcess c = cli();
        const CliResult text = c.run({"status"});
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(text.out.contains(QStringLiteral("Вход:               не выполнен\n")), text.describe());
        QVERIFY(text.out.contains(QStringLiteral("Подключение:        Отключено\n")));
        const CliResult json = c.run({"status", "--json"});
        QCOMPARE(json.exitCode, 0);
        QCOMPARE(pick(json.json(), {"format", "demo", "authStage", "connectionState", "target", "connectedSince", "tavrinKey", "corporate",
                                    "connectMode", "connectionDuration", "sessionDownloadBytes", "directNodes", "subscription/isActive"}),
                 QStringLiteral("1 | false | idle | disconnected | {\"endpoint\":null,\"kind\":\"balancer\",\"name\":\"Qor AI Network\"} | null "
                                "| null | null | auto | 00:00:00 | 0 | [] | null"));
        QCOMPARE(pick(json.json(), {"display/statusTitle", "display/statusSubtitle", "display/networkHealthLevel", "display/nodeCountLine",
                                    "display/accountName"}),
                 QStringLiteral("Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor | null | 2 | Серверов: 0 | Клиент Telegram"));
        QCOMPARE(c.run({"nodes"}).said(), QStringLiteral("0 Список узлов придёт вместе с подпиской"));
        QCOMPARE(pick(c.run({"nodes", "--json"}).json(), {"nodes"}),
                 QStringLiteral("[{\"endpoint\":null,\"kind\":\"balancer\",\"label\":\"Qor AI Network\",\"latencyMs\":null,\"latencyText\":null,\"selected\":true}]"));
        // The trace: written by the start-up of those processes, read back by the next one.
        const CliResult trace = c.run({"trace", "--lines", "2"});
        QCOMPARE(trace.exitCode, 0);
        QCOMPARE(trace.out.count(u'\n'), 2);
        QVERIFY2(trace.out.contains(QStringLiteral("status 0 from main")), trace.describe());
    }

    void settingsPersistAcrossProcesses()
    {
        const CliProcess c = cli();
        const QStringList initial = c.run({"settings"}).out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(initial.size(), 6);
        QVERIFY(initial.at(0).startsWith(QStringLiteral("autoReconnectEnabled  true")));
        QVERIFY(initial.at(1).startsWith(QStringLiteral("appearance            system")));
        QVERIFY(initial.at(5).startsWith(QStringLiteral("launchAtLogin         false")));
        // Each set as a user may write it, and read back by a later process as stored.
        const QList<std::tuple<QString, QString, QString>> changes{{"appearance", "dark", "dark"},
                                                                   {"autoReconnectEnabled", "off", "false"},
                                                                   {"liquidGlassEnabled", "true", "true"},
                                                                   {"connectMode", "tavrin", "tavrin"},
                                                                   {"minimizeToMenuBar", "yes", "true"},
                                                                   {"launchAtLogin", "true", "true"}};
        for (const auto &[name, value, stored] : changes)
            QCOMPARE(c.run({"settings", name, value}).said(), QStringLiteral("0 ") + stored);
        for (const auto &[name, value, stored] : changes)
            QCOMPARE(c.run({"settings", name}).said(), QStringLiteral("0 ") + stored);
        QCOMPARE(pick(c.run({"status", "--json"}).json(), {"appearance", "connectMode", "autoReconnectEnabled"}), QStringLiteral("dark | tavrin | false"));

        // Launch at login is the autostart entry; a desktop that hides it turns the setting off.
        const QString autostart = c.home() + QStringLiteral("/config/autostart/qor-connect.desktop");
        QVERIFY(QFile::exists(autostart));
        QFile entry(autostart);
        QVERIFY(entry.open(QIODevice::Append));
        entry.write("Hidden=true\n");
        entry.close();
        QCOMPARE(c.run({"settings", "launchAtLogin"}).said(), QStringLiteral("0 false"));
        for (const char *value : {"false", "true"})
            QCOMPARE(c.run({"settings", "launchAtLogin", value}).exitCode, 0);
        QCOMPARE(c.run({"settings", "launchAtLogin"}).said(), QStringLiteral("0 true"));
        QCOMPARE(c.run({"settings", "launchAtLogin", "false"}).exitCode, 0);
        QVERIFY(!QFile::exists(autostart));
    }
};

QTEST_GUILESS_MAIN(TestCliUsage)
#include "test_cli_usage.moc"
