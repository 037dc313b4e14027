// qorctl's command line without a session: help, version, wrong usage (exit 2),
// refusals while signed out (exit 1), the JSON fields of a signed-out state, and
// the settings, which persist from one process to the next.

#include "cli_process.h"

#include <QFile>
#include <QJsonArray>

using namespace qor::test;

class TestCliUsage : public QObject {
    Q_OBJECT

private:
    CliProcess cli() const { return CliProcess(QString::fromLatin1(QTest::currentTestFunction()) + QString::fromLatin1(QTest::currentDataTag())); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(CliProcess::program()).isExecutable(), qPrintable(CliProcess::program()));
    }

    void helpAndVersion()
    {
        const CliProcess c = cli();
        const CliResult help = c.run({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        for (const char *command : {"status", "login", "logout", "connect", "disconnect", "nodes", "settings", "refresh",
                                    "delete-account", "trace"})
            QVERIFY2(help.out.contains(QStringLiteral("\n  ") + QLatin1String(command) + QLatin1Char(' ')), command);

        const CliResult commandHelp = c.run({QStringLiteral("connect"), QStringLiteral("--help")});
        QCOMPARE(commandHelp.exitCode, 0);
        QVERIFY(commandHelp.out.startsWith(QStringLiteral("Использование: qorctl [--demo] connect")));
        QVERIFY(commandHelp.out.contains(QStringLiteral("--stay")));

        const CliResult version = c.run({QStringLiteral("--version")});
        QCOMPARE(version.exitCode, 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^qorctl \\d+\\.\\d+\\.\\d+\\n$")).match(version.out).hasMatch(), version.describe());
    }

    void wrongUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no command") << QStringList{} << QStringLiteral("не указана команда");
        QTest::newRow("unknown command") << QStringList{"fly"} << QStringLiteral("неизвестная команда fly");
        QTest::newRow("unknown global option") << QStringList{"--fast", "status"} << QStringLiteral("неизвестный параметр --fast");
        QTest::newRow("unknown command option") << QStringList{"status", "--yaml"} << QStringLiteral("неизвестный параметр yaml");
        QTest::newRow("extra argument") << QStringList{"status", "now"} << QStringLiteral("лишние аргументы");
        QTest::newRow("two targets") << QStringList{"connect", "--balancer", "--reserve"} << QStringLiteral("только одну цель");
        QTest::newRow("unknown mode") << QStringList{"connect", "--mode", "fast"} << QStringLiteral("режим: auto, main или tavrin");
        QTest::newRow("reserve as mode") << QStringList{"connect", "--mode", "reserve"} << QStringLiteral("режим: auto, main или tavrin");
        QTest::newRow("mode with reserve") << QStringList{"connect", "--mode", "main", "--reserve"} << QStringLiteral("не сочетаются");
        QTest::newRow("bad timeout") << QStringList{"connect", "--timeout", "0"} << QStringLiteral("--timeout");
        QTest::newRow("stop without stay") << QStringList{"connect", "--stop-on-exit"} << QStringLiteral("только вместе с --stay");
        QTest::newRow("address without at") << QStringList{"login", "email", "user.example.com"} << QStringLiteral("«@»");
        QTest::newRow("short code") << QStringList{"login", "email", "a@example.com", "--code", "123"} << QStringLiteral("не короче 4");
        QTest::newRow("login without method") << QStringList{"login"} << QStringLiteral("email или telegram");
        QTest::newRow("telegram with code") << QStringList{"login", "telegram", "--code", "1234"} << QStringLiteral("не принимает");
        QTest::newRow("delete without yes") << QStringList{"delete-account"} << QStringLiteral("--yes");
        QTest::newRow("unknown setting") << QStringList{"settings", "volume"} << QStringLiteral("неизвестная настройка volume");
        QTest::newRow("bad flag value") << QStringList{"settings", "liquidGlassEnabled", "maybe"} << QStringLiteral("true|false");
        QTest::newRow("reserve is no stored mode") << QStringList{"settings", "connectMode", "reserve"} << QStringLiteral("auto|main|tavrin");
        QTest::newRow("bad trace lines") << QStringList{"trace", "--lines", "x"} << QStringLiteral("--lines");
    }

    void wrongUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        const CliResult result = cli().run(arguments);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(reason), result.describe());
        QVERIFY2(result.err.contains(QStringLiteral("Использование: qorctl")), result.describe());
        QCOMPARE(result.out, QString());
    }

    void refusedWhileSignedOut_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("text");
        QTest::newRow("connect") << QStringList{"connect"} << QStringLiteral("Вход не выполнен — войдите командой qorctl login email АДРЕС");
        QTest::newRow("refresh") << QStringList{"refresh"} << QStringLiteral("Не получилось обновить статус");
        QTest::newRow("delete") << QStringList{"delete-account", "--yes"} << QStringLiteral("Не получилось удалить аккаунт");
        // The account server is a closed loopback port here.
        QTest::newRow("code request") << QStringList{"login", "email", "a@example.com", "--code", "1234"}
                                      << QStringLiteral("Не удалось отправить запрос. Проверьте соединение и попробуйте снова.");
    }

    void refusedWhileSignedOut()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, text);
        const CliResult result = cli().run(arguments);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(text), result.describe());
    }

    void signedOutStatusAndNodes()
    {
        const CliProcess c = cli();
        const CliResult text = c.run({QStringLiteral("status")});
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(text.out.contains(QStringLiteral("Вход:               не выполнен")), text.describe());
        QVERIFY(text.out.contains(QStringLiteral("Подключение:        Отключено")));

        const CliResult json = c.run({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(json.exitCode, 0);
        const QJsonObject state = json.json();
        QCOMPARE(state.value("format").toInt(), 1);
        QCOMPARE(state.value("demo").toBool(true), false);
        QCOMPARE(state.value("authStage").toString(), QStringLiteral("idle"));
        QCOMPARE(state.value("connectionState").toString(), QStringLiteral("disconnected"));
        QCOMPARE(state.value("target").toObject().value("kind").toString(), QStringLiteral("balancer"));
        QCOMPARE(state.value("target").toObject().value("name").toString(), QStringLiteral("Qor AI Network"));
        QVERIFY(state.value("target").toObject().value("endpoint").isNull());
        QVERIFY(state.value("connectedSince").isNull());
        QVERIFY(state.value("tavrinKey").isNull());
        QVERIFY(state.value("corporate").isNull());
        QCOMPARE(state.value("connectMode").toString(), QStringLiteral("auto"));
        QCOMPARE(state.value("connectionDuration").toString(), QStringLiteral("00:00:00"));
        QCOMPARE(state.value("sessionDownloadBytes").toInteger(-1), 0);
        QCOMPARE(state.value("directNodes").toArray().size(), 0);
        QCOMPARE(state.value("subscription").toObject().value("isActive").type(), QJsonValue::Null);
        const QJsonObject display = state.value("display").toObject();
        QCOMPARE(display.value("statusTitle").toString(),
                 QStringLiteral("Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor"));
        QVERIFY(display.value("statusSubtitle").isNull());
        QCOMPARE(display.value("networkHealthLevel").toInt(), 2);
        QCOMPARE(display.value("nodeCountLine").toString(), QStringLiteral("Серверов: 0"));
        QCOMPARE(display.value("accountName").toString(), QStringLiteral("Клиент Telegram"));

        const CliResult nodes = c.run({QStringLiteral("nodes")});
        QCOMPARE(nodes.exitCode, 0);
        QCOMPARE(nodes.out, QStringLiteral("Список узлов придёт вместе с подпиской\n"));
        const CliResult nodesJson = c.run({QStringLiteral("nodes"), QStringLiteral("--json")});
        const QJsonArray rows = nodesJson.json().value("nodes").toArray();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).toObject().value("kind").toString(), QStringLiteral("balancer"));
        QVERIFY(rows.at(0).toObject().value("selected").toBool());

        // The trace: written by the start-up of those processes, read back by the next one.
        const CliResult trace = c.run({QStringLiteral("trace"), QStringLiteral("--lines"), QStringLiteral("2")});
        QCOMPARE(trace.exitCode, 0);
        QCOMPARE(trace.out.count(QLatin1Char('\n')), 2);
        QVERIFY2(trace.out.contains(QStringLiteral("status 0 from main")), trace.describe());
    }

    void settingsPersistAcrossProcesses()
    {
        const CliProcess c = cli();
        const CliResult initial = c.run({QStringLiteral("settings")});
        QCOMPARE(initial.exitCode, 0);
        const QStringList lines = initial.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines.at(0).startsWith(QStringLiteral("autoReconnectEnabled  true")));
        QVERIFY(lines.at(1).startsWith(QStringLiteral("appearance            system")));
        QVERIFY(lines.at(5).startsWith(QStringLiteral("launchAtLogin         false")));

        const QList<QStringList> changes{{"appearance", "dark"},
                                         {"autoReconnectEnabled", "off"},
                                         {"liquidGlassEnabled", "true"},
                                         {"connectMode", "tavrin"},
                                         {"minimizeToMenuBar", "yes"},
                                         {"launchAtLogin", "true"}};
        for (const QStringList &change : changes) {
            const CliResult set = c.run(QStringList{QStringLiteral("settings")} + change);
            QVERIFY2(set.exitCode == 0, set.describe());
        }
        const QString autostart = c.home() + QStringLiteral("/config/autostart/qor-connect.desktop");
        QVERIFY(QFile::exists(autostart));

        const QList<QPair<QString, QString>> expected{{"appearance", "dark"},         {"autoReconnectEnabled", "false"},
                                                      {"liquidGlassEnabled", "true"}, {"connectMode", "tavrin"},
                                                      {"minimizeToMenuBar", "true"},  {"launchAtLogin", "true"}};
        for (const auto &[name, value] : expected) {
            const CliResult read = c.run({QStringLiteral("settings"), name});
            QCOMPARE(read.exitCode, 0);
            QCOMPARE(read.out, value + QLatin1Char('\n'));
        }
        // The state sees the stored settings too.
        const QJsonObject state = c.run({QStringLiteral("status"), QStringLiteral("--json")}).json();
        QCOMPARE(state.value("appearance").toString(), QStringLiteral("dark"));
        QCOMPARE(state.value("connectMode").toString(), QStringLiteral("tavrin"));
        QCOMPARE(state.value("autoReconnectEnabled").toBool(true), false);

        // A desktop that hides the entry turns launch at login off.
        QFile entry(autostart);
        QVERIFY(entry.open(QIODevice::Append));
        entry.write("Hidden=true\n");
        entry.close();
        QCOMPARE(c.run({QStringLiteral("settings"), QStringLiteral("launchAtLogin")}).out, QStringLiteral("false\n"));
        QCOMPARE(c.run({QStringLiteral("settings"), QStringLiteral("launchAtLogin"), QStringLiteral("false")}).exitCode, 0);
        QCOMPARE(c.run({QStringLiteral("settings"), QStringLiteral("launchAtLogin"), QStringLiteral("true")}).exitCode, 0);
        QCOMPARE(c.run({QStringLiteral("settings"), QStringLiteral("launchAtLogin")}).out, QStringLiteral("true\n"));
        QCOMPARE(c.run({QStringLiteral("settings"), QStringLiteral("launchAtLogin"), QStringLiteral("false")}).exitCode, 0);
        QVERIFY(!QFile::exists(autostart));
    }
};

QTEST_GUILESS_MAIN(TestCliUsage)
#include "test_cli_usage.moc"
