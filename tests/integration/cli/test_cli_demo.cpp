// The whole flow through the real qorctl against the embedded demo backend and the
// simulated providers: sign-in, the JSON state, real node latencies, connecting to
// each kind of target, a tunnel adopted by the next process, failures and refusals,
// the company account's window; connect --stay with the per-user instance lock; and
// the README's run command as a new user would follow it.

#include "cli_process.h"

#include <QSysInfo>

#include <csignal>

using namespace qor::test;

namespace {
const QString demoAddress = QStringLiteral("demo@example.com");
const QString companyAddress = QStringLiteral("company@example.com");
const QString refusal = QStringLiteral("Подключением уже управляет другой запущенный экземпляр Qor Connect");
const QString connectedLine = QStringLiteral("Подключено · Qor AI Network");

bool matches(const QString &pattern, const QString &text)
{
    return QRegularExpression(pattern).match(text).hasMatch();
}
} // namespace

class TestCliDemo : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CliProcess> current;

    // A fresh demo folder per case; signed in when an address is given.
    CliProcess &session(const QString &address = demoAddress)
    {
        current = std::make_unique<CliProcess>(QString::fromLatin1(QTest::currentTestFunction()));
        if (!address.isEmpty()) {
            const CliResult login = demoEmailLogin(*current, address);
            if (login.exitCode != 0)
                qWarning("sign-in failed: %s", login.describe().constData());
        }
        return *current;
    }
    CliResult run(const QStringList &arguments) const { return current->run(QStringList{"--demo"} + arguments); }
    QJsonObject state() const { return run({"status", "--json"}).json(); }
    QString lockPath() const { return current->home() + QStringLiteral("/demo/runtime/qor-connect/instance.lock"); }

    // A lock file as QLockFile writes it, naming a holder on this machine.
    bool writeLock(qint64 pid, const QString &application) const
    {
        QFile file(lockPath());
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(QByteArray::number(pid) + '\n' + application.toUtf8() + '\n' + QSysInfo::machineHostName().toUtf8() + '\n') > 0;
    }

private Q_SLOTS:
    void cleanup()
    {
        // No simulated tunnel outlives its case.
        if (current) {
            QFile::remove(lockPath());
            const CliResult stopped = run({"disconnect"});
            QVERIFY2(stopped.exitCode == 0, stopped.describe());
        }
        current.reset();
    }

    void signInByCodeAndState()
    {
        CliProcess &c = session(QString());
        QString code;
        const CliResult login = demoEmailLogin(c, demoAddress, &code);
        QVERIFY2(login.exitCode == 0 && matches("^\\d{6}$", code), login.describe());
        QVERIFY2(login.out.contains("Код отправлен на demo@example.com\n") && login.out.endsWith("Вход выполнен: @demo\n"), login.describe());

        // Another process refreshes the stored session against its own demo server.
        const QJsonObject s = state();
        QCOMPARE(pick(s, {"demo", "authStage", "telegramUsername", "xrayConfigsJSON", "awgConfigsJSON", "tavrinKey", "corporate",
                          "subscription/isActive", "subscription/trafficLimitBytes", "display/accountName", "display/trafficLimit",
                          "display/networkHealthLevel"}),
                 QStringLiteral("true | loggedIn | demo | true | true | true | null | true | 107374182400 | @demo | 100.0 ГБ | 3"));
        QVERIFY(pick(s, {"telegramAvatarDataURI"}).startsWith("data:image/svg+xml;base64,"));
        QVERIFY(QDateTime::fromString(pick(s, {"subscription/expiresAt"}), Qt::ISODateWithMs) > QDateTime::currentDateTimeUtc());
        const QJsonArray nodes = s.value("directNodes").toArray();
        QCOMPARE(nodes.size(), 6);
        for (const QJsonValue &node : nodes)
            QVERIFY(matches("^127\\.0\\.0\\.1:\\d+ \\| Узел \\d{4}$", pick(node.toObject(), {"endpoint", "label"})));
        QCOMPARE(run({"refresh"}).said(), QStringLiteral("0 Статус обновлён"));

        // The code of this slot is stable, and a wrong one is refused.
        const QString wrong = code == "000000" ? "000001" : "000000";
        QVERIFY(run({"login", "email", demoAddress, "--code", wrong}).said().endsWith("\nНеверный код, попробуйте ещё раз."));
        QCOMPARE(run({"login", "email", demoAddress, "--code", code}).exitCode, 0);
        QVERIFY(run({"login", "email", "not@mail", "--code", "1234"}).said().startsWith("1 Проверьте правильность email."));
    }

    void measuredLatenciesAreReal()
    {
        session();
        const CliResult result = run({"nodes", "--measure", "--json"});
        QVERIFY2(result.exitCode == 0, result.describe());
        const QJsonObject s = result.json();
        const QJsonArray nodes = s.value("directNodes").toArray();
        const QJsonObject latency = s.value("nodeLatency").toObject();
        QCOMPARE(latency.size(), 6);
        // Never below the node's own delay (in node order): the time really passed.
        const QList<int> delays{14, 23, 37, 52, 76, 118};
        for (qsizetype i = 0; i < nodes.size(); ++i) {
            const qint64 measured = latency.value(nodes.at(i)["endpoint"].toString()).toInteger(-1);
            QVERIFY2(measured >= delays.at(i) && measured < delays.at(i) + 2000, qPrintable(QString::number(measured)));
        }
        const QJsonArray rows = s.value("nodes").toArray();
        QCOMPARE(rows.size(), 7);
        QCOMPARE(pick(rows.at(0).toObject(), {"label", "selected"}), QStringLiteral("Qor AI Network | true"));
        for (qsizetype i = 2; i < rows.size(); ++i) // the nodes, fastest first
            QVERIFY(rows.at(i)["latencyMs"].toInteger() >= rows.at(i - 1)["latencyMs"].toInteger());
        QCOMPARE(rows.at(1)["latencyText"].toString(), QString::number(rows.at(1)["latencyMs"].toInteger()) + " мс");
        QCOMPARE(pick(s, {"display/nodeCountLine", "display/networkHealthLevel"}), QStringLiteral("Отвечают 6 из 6 серверов | 0"));
        // Latencies live in the process that measured them.
        const CliResult plain = run({"nodes"});
        QVERIFY(plain.out.contains("Серверов: 6"));
        QCOMPARE(plain.out.count("—"), 6);
    }

    // A new process finds the provider still running and takes the tunnel over; the
    // demo writes only to its own folder.
    void connectIsAdoptedByTheNextProcess()
    {
        CliProcess &c = session();
        QCOMPARE(run({"connect"}).said(), "0 " + connectedLine);
        const QJsonObject s = state();
        QCOMPARE(pick(s, {"connectionState", "target/kind", "display/statusTitle", "display/statusSubtitle"}),
                 "connected | balancer | " + connectedLine + " | распределённый доступ · автоматический выбор узла");
        QVERIFY(QDateTime::fromString(pick(s, {"connectedSince"}), Qt::ISODateWithMs).isValid());
        QVERIFY(matches("^\\d\\d:\\d\\d:\\d\\d$", pick(s, {"connectionDuration"})));
        QCOMPARE(run({"connect"}).said(), "0 " + connectedLine); // again: nothing changes
        QCOMPARE(run({"settings", "appearance", "light"}).exitCode, 0);

        for (const char *folder : {"config", "data", "trace"})
            QVERIFY2(QDir(c.home() + u'/' + QLatin1String(folder)).isEmpty(), folder);
        QVERIFY(QFile::exists(c.home() + "/demo/config/qor-connect/Q7PZD2M4RT.group.com.qorvpn.connect.json"));
        QVERIFY(QFile::exists(c.home() + "/demo/trace/state-trace.txt"));
        QVERIFY(!QDir(c.home() + "/demo/runtime/qor-connect/tunnels").isEmpty());
        // The real state knows nothing of the demo session.
        QCOMPARE(pick(c.run({"status", "--json"}).json(), {"authStage"}), QStringLiteral("idle"));
        QVERIFY(run({"trace", "--lines", "50"}).out.contains("connect -> Qor AI Network"));

        QCOMPARE(run({"disconnect"}).said(), QStringLiteral("0 Отключено"));
        QCOMPARE(pick(state(), {"connectionState"}), QStringLiteral("disconnected"));
        QCOMPARE(run({"disconnect"}).said(), QStringLiteral("0 Уже отключено"));
    }

    void connectToEachTarget()
    {
        session();
        const QJsonObject third = state()["directNodes"][2].toObject();
        const QString endpoint = third.value("endpoint").toString();
        QCOMPARE(run({"connect", "--node", endpoint}).said(), "0 Подключено · " + third.value("label").toString());
        QCOMPARE(pick(state(), {"target/kind", "target/endpoint", "cascadeMode"}), "node | " + endpoint + " | standard");
        const QJsonArray rows = run({"nodes", "--json"}).json().value("nodes").toArray();
        QCOMPARE(std::count_if(rows.begin(), rows.end(), [](const QJsonValue &row) { return row["selected"].toBool(); }), 1);

        QCOMPARE(run({"connect", "--reserve"}).said(), QStringLiteral("0 Подключено · Резерв"));
        QCOMPARE(pick(state(), {"target/kind", "display/statusTitle", "display/statusSubtitle"}),
                 QStringLiteral("reserve |  | АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ"));
        // A mode button leaves the reserve channel for the balancer.
        QCOMPARE(run({"connect", "--mode", "main"}).said(), "0 " + connectedLine);
        QCOMPARE(pick(state(), {"connectMode", "target/kind", "display/statusSubtitle"}),
                 QStringLiteral("main | balancer | распределённый доступ · автоматический выбор основного узла"));
        QVERIFY(run({"connect", "--node", "127.0.0.1:1"}).said().startsWith("1 Узла 127.0.0.1:1 нет в подписке"));
    }

    void connectFailures()
    {
        CliProcess &c = session();
        const QList<std::tuple<QString, QString, QStringList, QString>> rows{
            {"QOR_DEMO_PROVIDER_FAIL", "Демо: провайдер отказал", {"--mode", "main"}, "Демо: провайдер отказал"},
            {"QOR_DEMO_PROVIDER_STAY_CONNECTING", "1", {"--timeout", "2"},
             "Подключение не завершилось за 2 с (Подключение… (Qor AI Network))"}};
        for (const auto &[variable, value, arguments, message] : rows) {
            c.setEnv(variable, value);
            const CliResult result = run(QStringList{"connect"} + arguments);
            QVERIFY2(result.exitCode == 1 && result.err.contains(message) && result.out.isEmpty(), result.describe());
            c.environment().remove(variable);
        }
    }

    void companyAccount()
    {
        session(companyAddress);
        const QJsonObject s = state();
        QCOMPARE(pick(s, {"authStage", "corporate/company", "corporate/reserveAllowed", "corporate/sessionReason",
                          "corporate/policy/block_torrent", "display/accountName"}),
                 QStringLiteral("loggedIn | ООО «Демо» | false | window | true | ООО «Демо»"));
        const qint64 left = QDateTime::currentDateTimeUtc().secsTo(QDateTime::fromString(pick(s, {"corporate/sessionUntil"}), Qt::ISODateWithMs));
        QVERIFY2(left > 120 && left <= 240, qPrintable(QString::number(left)));
        QVERIFY2(matches("^Соединение будет разорвано через \\d+ мин — заканчивается рабочее окно$", pick(s, {"sessionWarning"})),
                 qPrintable(pick(s, {"sessionWarning"})));
        QVERIFY(pick(s, {"display/corporateSession"}).contains(" · осталось "));
        // The company withholds the reserve channel: only the toast answers.
        QCOMPARE(run({"connect", "--reserve"}).said(),
                 QStringLiteral("1 Недоступно в корпоративном доступе. Обратитесь к администратору вашей компании"));
        QCOMPARE(pick(state(), {"connectionState"}), QStringLiteral("disconnected"));
        // The policy travels to the provider with the main channel's configuration.
        QCOMPARE(run({"connect"}).exitCode, 0);
        QCOMPARE(pick(state(), {"connectionState"}), QStringLiteral("connected"));
    }

    void companyWindowClosed()
    {
        current = std::make_unique<CliProcess>(QStringLiteral("companyWindowClosed"));
        current->setEnv("QOR_DEMO_COMPANY_WINDOW", "0");
        QCOMPARE(demoEmailLogin(*current, companyAddress).exitCode, 0);
        const QString refused = run({"connect"}).said();
        QVERIFY2(matches("^1 Рабочее окно компании закрылось сегодня в \\d\\d:\\d\\d\\. Обратитесь к администратору вашей компании$", refused),
                 qPrintable(refused));
        QCOMPARE(pick(state(), {"connectionState", "sessionWarning"}),
                 QStringLiteral("disconnected | Доступ на сегодня закончен — заканчивается рабочее окно"));
    }

    void telegramLoginConfirmsItself()
    {
        session(QString());
        const CliResult result = run({"login", "telegram"});
        QVERIFY2(matches("^0 Откройте ссылку: http://127\\.0\\.0\\.1:\\d+/bot\\?start=login_[0-9a-f]{32}\n"
                         "Ждём подтверждения в Telegram…\nВход выполнен: @demo$", result.said()),
                 result.describe());
        QCOMPARE(pick(state(), {"authStage"}), QStringLiteral("loggedIn"));
        QCOMPARE(run({"logout"}).exitCode, 0);
        QCOMPARE(pick(state(), {"authStage"}), QStringLiteral("idle"));
    }

    // connect --stay: one line per change until a signal ends it, the tunnel left up.
    // Meanwhile other processes' state-changing commands refuse; reading is allowed.
    void stayHoldsTheInstanceAndLeavesTheTunnelUp()
    {
        CliProcess &c = session();
        auto stay = c.start({"--demo", "connect", "--stay"});
        QString lines;
        QVERIFY2(CliProcess::waitForOutput(*stay, QProcess::StandardOutput, connectedLine, lines), qPrintable(lines));
        QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d Подключение… \\(Qor AI Network\\)$", QRegularExpression::MultilineOption).match(lines).hasMatch());
        const QString holder = refusal + " (qorctl, процесс " + QString::number(stay->processId()) + ')';
        const QList<QStringList> refused{{"disconnect"}, {"connect", "--reserve"}, {"logout"}, {"refresh"}, {"settings", "appearance", "dark"},
                                         {"login", "email", "demo@example.com", "--code", "123456"}};
        for (const QStringList &arguments : refused) {
            const CliResult result = run(arguments);
            QVERIFY2(result.exitCode == 1 && result.err.startsWith(holder), result.describe());
        }
        QCOMPARE(pick(state(), {"connectionState"}), QStringLiteral("connected"));
        QCOMPARE(run({"nodes"}).exitCode, 0);
        QCOMPARE(run({"settings", "appearance"}).said(), QStringLiteral("0 system"));

        ::kill(pid_t(stay->processId()), SIGTERM);
        const CliResult ended = CliProcess::finish(*stay, 10000);
        QVERIFY2(ended.exitCode == 0 && !ended.out.contains("Отключено"), ended.describe());
        // Nothing was stopped on the way out, and the instance is free again.
        QCOMPARE(pick(state(), {"connectionState"}), QStringLiteral("connected"));
        QCOMPARE(run({"disconnect"}).said(), QStringLiteral("0 Отключено"));
    }

    // Connected, lost with the provider's error, reconnected by the reconnect task;
    // asked to stop on the way out, the last line says so and no tunnel is left.
    void stayReportsLossAndReconnect()
    {
        CliProcess &c = session();
        c.setEnv("QOR_DEMO_PROVIDER_DROP_AFTER", "1");
        c.setEnv("QOR_DEMO_PROVIDER_DROP_ERROR", "Демо: связь потеряна");
        auto stay = c.start({"--demo", "connect", "--stay", "--stop-on-exit"});
        QString lines;
        const QRegularExpression story("Подключено · Qor AI Network.* Отключено.*Ошибка: Демо: связь потеряна.*Подключение… \\(Qor AI Network\\)"
                                       ".*Подключено · Qor AI Network", QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(CliProcess::waitForOutput(*stay, QProcess::StandardOutput, story, lines), qPrintable(lines));
        ::kill(pid_t(stay->processId()), SIGINT);
        const CliResult ended = CliProcess::finish(*stay, 20000);
        QVERIFY2(ended.exitCode == 0 && ended.out.trimmed().endsWith("Отключено"), ended.describe());
        QCOMPARE(pick(state(), {"connectionState"}), QStringLiteral("disconnected"));
        QCOMPARE(run({"disconnect"}).said(), QStringLiteral("0 Уже отключено"));
    }

    // A wait for the code on an input that stays open ends with the signal's status
    // and releases the instance.
    void interruptedWaitEndsWithTheSignal()
    {
        CliProcess &c = session(QString());
        auto login = c.start({"--demo", "login", "email", demoAddress});
        QString seen;
        QVERIFY2(CliProcess::waitForOutput(*login, QProcess::StandardOutput, "Код отправлен на demo@example.com", seen), qPrintable(seen));
        ::kill(pid_t(login->processId()), SIGINT);
        QCOMPARE(CliProcess::finish(*login, 10000).exitCode, 128 + SIGINT);
        QVERIFY(!run({"refresh"}).err.contains(refusal));
        QVERIFY(!QFile::exists(lockPath()));
    }

    // A live holder (this test process, as the desktop application would be: a holder
    // is recognised by its process id and its program's name) refuses; a stale lock of
    // a holder that no longer runs is taken over.
    void lockOfAnotherFrontEnd()
    {
        session();
        const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(writeLock(QCoreApplication::applicationPid(), name));
        QCOMPARE(run({"connect"}).said(), "1 " + refusal + " (" + name + ", процесс " + QString::number(QCoreApplication::applicationPid())
                                              + "). Завершите его или дождитесь окончания его команды и повторите.");
        QCOMPARE(pick(state(), {"connectionState"}), QStringLiteral("disconnected"));
        QProcess gone;
        gone.start("true");
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished() && writeLock(deadPid, "qorctl"));
        QCOMPARE(run({"connect"}).said(), "0 " + connectedLine);
        QVERIFY(!QFile::exists(lockPath()));
    }

    // The command the README gives under "Run the program", with the packages installed
    // and the build done: each step announced in order with its command and output,
    // and the demo's temporary folder gone with its session and tunnels.
    void demoFlowFromTheReadme()
    {
        QFile readme(CliProcess::sourceDirectory() + "/README.md");
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(readme.readAll());
        const auto command = QRegularExpression("\n\n    (\\S[^\n]*)\n").match(text, text.indexOf("Run the program"));
        QCOMPARE(command.captured(1), QStringLiteral("./scripts/demo"));

        CliProcess c(QStringLiteral("demoFlowFromTheReadme"));
        c.environment().remove("QOR_DEMO_DIR");
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(c.environment());
        process->setWorkingDirectory(CliProcess::sourceDirectory());
        process->start("bash", {command.captured(1), "--no-install", "--no-build", "--build-dir", CliProcess::buildDirectory()});
        QVERIFY(process->waitForStarted());
        const CliResult result = CliProcess::finish(*process, 120000);
        QVERIFY2(result.finished && result.exitCode == 0, result.describe());
        const QStringList expected{"==> 1/5 Вход по коду из письма", "$ qorctl --demo login email demo@example.com", "Демо: код входа ",
                                   "Код отправлен на demo@example.com", "Вход выполнен: @demo", "==> 2/5 Подключение", connectedLine,
                                   "==> 3/5 Состояние", "Вход:               выполнен · @demo", "Подключение:        " + connectedLine,
                                   "==> 4/5 Узлы и их задержки", "Отвечают 6 из 6 серверов", "==> 5/5 Отключение", "    Отключено\n", "Готово."};
        qsizetype at = 0;
        for (const QString &piece : expected) {
            at = result.out.indexOf(piece, at);
            QVERIFY2(at >= 0, qPrintable(piece + " missing, in order, in:\n" + result.out));
        }
        QCOMPARE(result.out.count(QRegularExpression(" \\d+ мс\n")), 6);
        QVERIFY2(QDir(c.home() + "/tmp").isEmpty(), qPrintable(QDir(c.home() + "/tmp").entryList().join(u',')));
        // Without the build the script says what is missing.
        const CliResult missing = c.run({CliProcess::sourceDirectory() + "/scripts/demo", "--no-install", "--no-build", "--build-dir",
                                         c.home() + "/nothing"}, {}, 30000, "bash");
        QVERIFY2(missing.exitCode == 1 && missing.err.contains("qorctl is missing; run without --no-build"), missing.describe());
    }
};

QTEST_GUILESS_MAIN(TestCliDemo)
#include "test_cli_demo.moc"
