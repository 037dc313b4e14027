// The whole flow through the real qorctl against the embedded demo backend and the
// simulated providers: sign-in, the JSON state, real node latencies, connecting to
// each kind of target, a tunnel adopted by the next process, failures and refusals,
// and the company account's window.

#include "cli_process.h"

#include <QJsonArray>
#include <QRegularExpression>

using namespace qor::test;

namespace {
const QString demoAddress = QStringLiteral("demo@example.com");
const QString companyAddress = QStringLiteral("company@example.com");
// How long each demo node waits before answering, in node order.
const QList<int> nodeDelays{14, 23, 37, 52, 76, 118};

QStringList demo(QStringList arguments)
{
    return QStringList{QStringLiteral("--demo")} + arguments;
}
} // namespace

class TestCliDemo : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CliProcess> current;

    // A fresh demo folder per case; signed in when an address is given.
    CliProcess &session(const QString &address = demoAddress)
    {
        current = std::make_unique<CliProcess>(QString::fromLatin1(QTest::currentTestFunction())
                                               + QString::fromLatin1(QTest::currentDataTag()));
        if (!address.isEmpty()) {
            const CliResult login = demoEmailLogin(*current, address);
            if (login.exitCode != 0)
                qWarning("sign-in failed: %s", login.describe().constData());
        }
        return *current;
    }

    static QJsonObject state(const CliProcess &c)
    {
        return c.run(demo({QStringLiteral("status"), QStringLiteral("--json")})).json();
    }

private Q_SLOTS:
    void cleanup()
    {
        // No simulated tunnel outlives its case.
        if (current) {
            const CliResult stopped = current->run(demo({QStringLiteral("disconnect")}));
            QVERIFY2(stopped.exitCode == 0, stopped.describe());
        }
        current.reset();
    }

    void signInByCodeAndState()
    {
        CliProcess &c = session(QString());
        QString code;
        const CliResult login = demoEmailLogin(c, demoAddress, &code);
        QVERIFY2(login.exitCode == 0, login.describe());
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{6}$")).match(code).hasMatch());
        QVERIFY2(login.out.contains(QStringLiteral("Код отправлен на demo@example.com\n")), login.describe());
        QVERIFY(login.out.endsWith(QStringLiteral("Вход выполнен: @demo\n")));

        // Another process refreshes the stored session against its own demo server.
        const QJsonObject s = state(c);
        QCOMPARE(s.value("demo").toBool(), true);
        QCOMPARE(s.value("authStage").toString(), QStringLiteral("loggedIn"));
        QCOMPARE(s.value("telegramUsername").toString(), QStringLiteral("demo"));
        QVERIFY(s.value("telegramAvatarDataURI").toString().startsWith(QStringLiteral("data:image/svg+xml;base64,")));
        QCOMPARE(s.value("xrayConfigsJSON").toBool(), true);
        QCOMPARE(s.value("awgConfigsJSON").toBool(), true);
        QCOMPARE(s.value("tavrinKey").toBool(), true);
        QVERIFY(s.value("corporate").isNull());
        const QJsonObject subscription = s.value("subscription").toObject();
        QCOMPARE(subscription.value("isActive").toBool(), true);
        QVERIFY(QDateTime::fromString(subscription.value("expiresAt").toString(), Qt::ISODateWithMs) > QDateTime::currentDateTimeUtc());
        QCOMPARE(subscription.value("trafficLimitBytes").toInteger(), 107374182400);
        const QJsonArray nodes = s.value("directNodes").toArray();
        QCOMPARE(nodes.size(), 6);
        for (const QJsonValue &node : nodes) {
            QVERIFY(node.toObject().value("endpoint").toString().startsWith(QStringLiteral("127.0.0.1:")));
            QVERIFY(QRegularExpression(QStringLiteral("^Узел \\d{4}$")).match(node.toObject().value("label").toString()).hasMatch());
        }
        QCOMPARE(s.value("display").toObject().value("accountName").toString(), QStringLiteral("@demo"));
        QCOMPARE(s.value("display").toObject().value("trafficLimit").toString(), QStringLiteral("100.0 ГБ"));
        QCOMPARE(s.value("display").toObject().value("networkHealthLevel").toInt(), 3);

        const CliResult refreshed = c.run(demo({QStringLiteral("refresh")}));
        QCOMPARE(refreshed.exitCode, 0);
        QCOMPARE(refreshed.out, QStringLiteral("Статус обновлён\n"));

        // The code of this slot is stable, and a wrong one is refused.
        const CliResult wrong = c.run(demo({QStringLiteral("login"), QStringLiteral("email"), demoAddress, QStringLiteral("--code"),
                                            code == QStringLiteral("000000") ? QStringLiteral("000001") : QStringLiteral("000000")}));
        QCOMPARE(wrong.exitCode, 1);
        QVERIFY2(wrong.err.contains(QStringLiteral("Неверный код, попробуйте ещё раз.")), wrong.describe());
        const CliResult again = c.run(demo({QStringLiteral("login"), QStringLiteral("email"), demoAddress, QStringLiteral("--code"), code}));
        QVERIFY2(again.exitCode == 0, again.describe());
        const CliResult malformed = c.run(demo({QStringLiteral("login"), QStringLiteral("email"), QStringLiteral("not@mail"),
                                                QStringLiteral("--code"), QStringLiteral("1234")}));
        QCOMPARE(malformed.exitCode, 1);
        QVERIFY(malformed.err.contains(QStringLiteral("Проверьте правильность email.")));
    }

    void measuredLatenciesAreReal()
    {
        CliProcess &c = session();
        const CliResult result = c.run(demo({QStringLiteral("nodes"), QStringLiteral("--measure"), QStringLiteral("--json")}));
        QVERIFY2(result.exitCode == 0, result.describe());
        const QJsonObject s = result.json();
        const QJsonArray nodes = s.value("directNodes").toArray();
        const QJsonObject latency = s.value("nodeLatency").toObject();
        QCOMPARE(latency.size(), 6);
        for (qsizetype i = 0; i < nodes.size(); ++i) {
            const qint64 measured = latency.value(nodes.at(i).toObject().value("endpoint").toString()).toInteger(-1);
            // Never below the node's own delay: the time really passed.
            QVERIFY2(measured >= nodeDelays.at(i) && measured < nodeDelays.at(i) + 2000, qPrintable(QString::number(measured)));
        }
        const QJsonArray rows = s.value("nodes").toArray();
        QCOMPARE(rows.size(), 7);
        QCOMPARE(rows.at(0).toObject().value("label").toString(), QStringLiteral("Qor AI Network"));
        QVERIFY(rows.at(0).toObject().value("selected").toBool());
        qint64 previous = -1;
        for (qsizetype i = 1; i < rows.size(); ++i) {
            const QJsonObject row = rows.at(i).toObject();
            QVERIFY(row.value("latencyMs").toInteger() >= previous);
            previous = row.value("latencyMs").toInteger();
            QCOMPARE(row.value("latencyText").toString(), QString::number(previous) + QStringLiteral(" мс"));
        }
        QCOMPARE(s.value("display").toObject().value("nodeCountLine").toString(), QStringLiteral("Отвечают 6 из 6 серверов"));
        QCOMPARE(s.value("display").toObject().value("networkHealthLevel").toInt(), 0);

        // Latencies live in the process that measured them.
        const CliResult plain = c.run(demo({QStringLiteral("nodes")}));
        QVERIFY(plain.out.contains(QStringLiteral("Серверов: 6")));
        QCOMPARE(plain.out.count(QStringLiteral("—")), 6);
    }

    void connectIsAdoptedByTheNextProcess()
    {
        CliProcess &c = session();
        const CliResult connected = c.run(demo({QStringLiteral("connect")}));
        QVERIFY2(connected.exitCode == 0, connected.describe());
        QCOMPARE(connected.out, QStringLiteral("Подключено · Qor AI Network\n"));

        // A new process finds the provider still running and takes the tunnel over.
        const QJsonObject s = state(c);
        QCOMPARE(s.value("connectionState").toString(), QStringLiteral("connected"));
        QVERIFY(QDateTime::fromString(s.value("connectedSince").toString(), Qt::ISODateWithMs).isValid());
        QCOMPARE(s.value("target").toObject().value("kind").toString(), QStringLiteral("balancer"));
        QCOMPARE(s.value("display").toObject().value("statusTitle").toString(), QStringLiteral("Подключено · Qor AI Network"));
        QCOMPARE(s.value("display").toObject().value("statusSubtitle").toString(),
                 QStringLiteral("распределённый доступ · автоматический выбор узла"));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(s.value("connectionDuration").toString()).hasMatch());

        // Connecting again while connected changes nothing and says so.
        const CliResult again = c.run(demo({QStringLiteral("connect")}));
        QCOMPARE(again.exitCode, 0);
        QCOMPARE(again.out, QStringLiteral("Подключено · Qor AI Network\n"));

        const CliResult stopped = c.run(demo({QStringLiteral("disconnect")}));
        QCOMPARE(stopped.exitCode, 0);
        QCOMPARE(stopped.out, QStringLiteral("Отключено\n"));
        QCOMPARE(state(c).value("connectionState").toString(), QStringLiteral("disconnected"));
        QCOMPARE(c.run(demo({QStringLiteral("disconnect")})).out, QStringLiteral("Уже отключено\n"));
    }

    void connectToEachTarget()
    {
        CliProcess &c = session();
        const QJsonArray nodes = state(c).value("directNodes").toArray();
        QCOMPARE(nodes.size(), 6);
        const QJsonObject third = nodes.at(2).toObject();

        const CliResult toNode = c.run(demo({QStringLiteral("connect"), QStringLiteral("--node"), third.value("endpoint").toString()}));
        QVERIFY2(toNode.exitCode == 0, toNode.describe());
        QCOMPARE(toNode.out, QStringLiteral("Подключено · ") + third.value("label").toString() + QLatin1Char('\n'));
        QJsonObject s = state(c);
        QCOMPARE(s.value("target").toObject().value("kind").toString(), QStringLiteral("node"));
        QCOMPARE(s.value("target").toObject().value("endpoint").toString(), third.value("endpoint").toString());
        QCOMPARE(s.value("cascadeMode").toString(), QStringLiteral("standard"));
        const QJsonArray rows = c.run(demo({QStringLiteral("nodes"), QStringLiteral("--json")})).json().value("nodes").toArray();
        int selected = 0;
        for (const QJsonValue &row : rows)
            selected += row.toObject().value("selected").toBool() ? 1 : 0;
        QCOMPARE(selected, 1);

        const CliResult toReserve = c.run(demo({QStringLiteral("connect"), QStringLiteral("--reserve")}));
        QVERIFY2(toReserve.exitCode == 0, toReserve.describe());
        QCOMPARE(toReserve.out, QStringLiteral("Подключено · Резерв\n"));
        s = state(c);
        QCOMPARE(s.value("target").toObject().value("kind").toString(), QStringLiteral("reserve"));
        QCOMPARE(s.value("display").toObject().value("statusTitle").toString(), QString());
        QCOMPARE(s.value("display").toObject().value("statusSubtitle").toString(), QStringLiteral("АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ"));

        // A mode button leaves the reserve channel for the balancer.
        const CliResult main = c.run(demo({QStringLiteral("connect"), QStringLiteral("--mode"), QStringLiteral("main")}));
        QVERIFY2(main.exitCode == 0, main.describe());
        QCOMPARE(main.out, QStringLiteral("Подключено · Qor AI Network\n"));
        s = state(c);
        QCOMPARE(s.value("connectMode").toString(), QStringLiteral("main"));
        QCOMPARE(s.value("target").toObject().value("kind").toString(), QStringLiteral("balancer"));
        QCOMPARE(s.value("display").toObject().value("statusSubtitle").toString(),
                 QStringLiteral("распределённый доступ · автоматический выбор основного узла"));

        const CliResult unknown = c.run(demo({QStringLiteral("connect"), QStringLiteral("--node"), QStringLiteral("127.0.0.1:1")}));
        QCOMPARE(unknown.exitCode, 1);
        QVERIFY2(unknown.err.contains(QStringLiteral("Узла 127.0.0.1:1 нет в подписке")), unknown.describe());
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("provider fails") << QStringLiteral("QOR_DEMO_PROVIDER_FAIL") << QStringLiteral("Демо: провайдер отказал")
                                        << QStringList{"--mode", "main"} << QStringLiteral("Демо: провайдер отказал");
        QTest::newRow("stays connecting") << QStringLiteral("QOR_DEMO_PROVIDER_STAY_CONNECTING") << QStringLiteral("1")
                                          << QStringList{"--timeout", "2"}
                                          << QStringLiteral("Подключение не завершилось за 2 с (Подключение… (Qor AI Network))");
    }

    void connectFailures()
    {
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        CliProcess &c = session();
        c.setEnv(variable, value);
        const CliResult result = c.run(demo(QStringList{QStringLiteral("connect")} + arguments));
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(message), result.describe());
        QCOMPARE(result.out, QString());
    }

    void companyAccount()
    {
        CliProcess &c = session(companyAddress);
        const QJsonObject s = state(c);
        QCOMPARE(s.value("authStage").toString(), QStringLiteral("loggedIn"));
        const QJsonObject corporate = s.value("corporate").toObject();
        QCOMPARE(corporate.value("company").toString(), QStringLiteral("ООО «Демо»"));
        QCOMPARE(corporate.value("reserveAllowed").toBool(true), false);
        QCOMPARE(corporate.value("sessionReason").toString(), QStringLiteral("window"));
        QCOMPARE(corporate.value("policy").toObject().value("block_torrent").toBool(), true);
        const QDateTime until = QDateTime::fromString(corporate.value("sessionUntil").toString(), Qt::ISODateWithMs);
        const qint64 left = QDateTime::currentDateTimeUtc().secsTo(until);
        QVERIFY2(left > 120 && left <= 240, qPrintable(QString::number(left)));
        QVERIFY2(s.value("sessionWarning").toString().startsWith(QStringLiteral("Соединение будет разорвано через ")), qPrintable(s.value("sessionWarning").toString()));
        QVERIFY(s.value("sessionWarning").toString().endsWith(QStringLiteral(" мин — заканчивается рабочее окно")));
        QVERIFY(s.value("display").toObject().value("corporateSession").toString().contains(QStringLiteral(" · осталось ")));
        QCOMPARE(s.value("display").toObject().value("accountName").toString(), QStringLiteral("ООО «Демо»"));

        // The company withholds the reserve channel: only the toast answers.
        const CliResult reserve = c.run(demo({QStringLiteral("connect"), QStringLiteral("--reserve")}));
        QCOMPARE(reserve.exitCode, 1);
        QCOMPARE(reserve.err, QStringLiteral("Недоступно в корпоративном доступе. Обратитесь к администратору вашей компании\n"));
        QCOMPARE(state(c).value("connectionState").toString(), QStringLiteral("disconnected"));

        const CliResult connected = c.run(demo({QStringLiteral("connect")}));
        QVERIFY2(connected.exitCode == 0, connected.describe());
        // The policy travels to the provider with the main channel's configuration.
        QCOMPARE(state(c).value("connectionState").toString(), QStringLiteral("connected"));
    }

    void companyWindowClosed()
    {
        current = std::make_unique<CliProcess>(QStringLiteral("companyWindowClosed"));
        current->setEnv(QStringLiteral("QOR_DEMO_COMPANY_WINDOW"), QStringLiteral("0"));
        const CliResult login = demoEmailLogin(*current, companyAddress);
        QVERIFY2(login.exitCode == 0, login.describe());
        const CliResult refused = current->run(demo({QStringLiteral("connect")}));
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^Рабочее окно компании закрылось сегодня в \\d\\d:\\d\\d\\. "
                                                   "Обратитесь к администратору вашей компании\\n$"))
                     .match(refused.err)
                     .hasMatch(),
                 refused.describe());
        const QJsonObject s = state(*current);
        QCOMPARE(s.value("connectionState").toString(), QStringLiteral("disconnected"));
        QCOMPARE(s.value("sessionWarning").toString(), QStringLiteral("Доступ на сегодня закончен — заканчивается рабочее окно"));
    }

    void telegramLoginConfirmsItself()
    {
        CliProcess &c = session(QString());
        const CliResult result = c.run(demo({QStringLiteral("login"), QStringLiteral("telegram")}));
        QVERIFY2(result.exitCode == 0, result.describe());
        QVERIFY2(QRegularExpression(QStringLiteral("^Откройте ссылку: http://127\\.0\\.0\\.1:\\d+/bot\\?start=login_[0-9a-f]{32}\\n"
                                                   "Ждём подтверждения в Telegram…\\nВход выполнен: @demo\\n$"))
                     .match(result.out)
                     .hasMatch(),
                 result.describe());
        QCOMPARE(state(c).value("authStage").toString(), QStringLiteral("loggedIn"));

        const CliResult out = c.run(demo({QStringLiteral("logout")}));
        QCOMPARE(out.exitCode, 0);
        QCOMPARE(state(c).value("authStage").toString(), QStringLiteral("idle"));
    }

    void demoNeverTouchesTheRealFolders()
    {
        CliProcess &c = session();
        QCOMPARE(c.run(demo({QStringLiteral("connect")})).exitCode, 0);
        QCOMPARE(c.run(demo({QStringLiteral("settings"), QStringLiteral("appearance"), QStringLiteral("light")})).exitCode, 0);
        // Everything went to the demo folder; the user's own folders stay empty.
        for (const char *folder : {"config", "data", "trace"})
            QVERIFY2(QDir(c.home() + QLatin1Char('/') + QLatin1String(folder)).isEmpty(), folder);
        QVERIFY(QFile::exists(c.home() + QStringLiteral("/demo/config/qor-connect/Q7PZD2M4RT.group.com.qorvpn.connect.json")));
        QVERIFY(QFile::exists(c.home() + QStringLiteral("/demo/trace/state-trace.txt")));
        QVERIFY(!QDir(c.home() + QStringLiteral("/demo/runtime/qor-connect/tunnels")).isEmpty());
        // The real state knows nothing of the demo session.
        QCOMPARE(c.run({QStringLiteral("status"), QStringLiteral("--json")}).json().value("authStage").toString(), QStringLiteral("idle"));
        const CliResult trace = c.run(demo({QStringLiteral("trace"), QStringLiteral("--lines"), QStringLiteral("50")}));
        QVERIFY2(trace.out.contains(QStringLiteral("connect -> Qor AI Network")), trace.describe());
    }
};

QTEST_GUILESS_MAIN(TestCliDemo)
#include "test_cli_demo.moc"
