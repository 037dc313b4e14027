// The whole flow through the real qorctl, the embedded demo backend and simulated providers.

#include "cli_process.h"

#include <QSysInfo>

#include <csignal>

using namespace qor::test;
using Step = CliProcess::Step;

namespace {
const QString demoAddress = QStringLiteral("demo@example.com");
const QString refusal = QStringLiteral("Подключением уже управляет другой запущенный экземпляр Qor Connect");
const QString connected = QStringLiteral("0 Подключено · Qor AI Network");
const QStringList status{"status", "--json"};
} // namespace

class TestCliDemo : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CliProcess> current;

    // A fresh demo folder per case; signed in when an address is given.
    CliProcess &session(const QString &address = demoAddress, const QString &variable = {}, const QString &value = {})
    {
        current = std::make_unique<CliProcess>(QString::fromLatin1(QTest::currentTestFunction()));
        if (!variable.isEmpty())
            current->setEnv(variable, value);
        if (!address.isEmpty()) {
            const CliResult login = demoEmailLogin(*current, address);
            if (login.exitCode != 0)
                qWarning("sign-in failed: %s", login.describe().constData());
        }
        return *current;
    }
    CliResult run(const QStringList &arguments) const { return current->run(QStringList{"--demo"} + arguments); }
    QString play(const QList<Step> &steps) const { return current->play(steps, {"--demo"}); }
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

    // A signalled code wait frees the instance; the bot confirms a messenger login; the code signs in.
    void signInAndState()
    {
        CliProcess &c = session(QString());
        auto waiting = c.start({"--demo", "login", "email", demoAddress});
        QString seen;
        QVERIFY2(CliProcess::waitForOutput(*waiting, QProcess::StandardOutput, "Код отправлен на demo@example.com", seen), qPrintable(seen));
        ::kill(pid_t(waiting->processId()), SIGINT);
        QCOMPARE(CliProcess::finish(*waiting, 10000).exitCode, 128 + SIGINT);
        QVERIFY(!QFile::exists(lockPath()));
        QCOMPARE(play({{{"login", "telegram"}, "~^0 Откройте ссылку: http://127\\.0\\.0\\.1:\\d+/bot\\?start=login_[0-9a-f]{32}\n"
                                               "Ждём подтверждения в Telegram…\nВход выполнен: @demo$"},
                       {status, "loggedIn", {"authStage"}}, {{"logout"}, "~^0 "}, {status, "idle", {"authStage"}}}),
                 QString());
        QString code;
        const CliResult login = demoEmailLogin(c, demoAddress, &code);
        QVERIFY2(login.exitCode == 0 && QRegularExpression("^\\d{6}$").match(code).hasMatch(), login.describe());
        QVERIFY2(login.out.contains("Код отправлен на demo@example.com\n") && login.out.endsWith("Вход выполнен: @demo\n"), login.describe());
        const QString wrong = code == "000000" ? "000001" : "000000";
        QCOMPARE(play({{status, "true | loggedIn | demo | true | true | true | null | true | 107374182400 | @demo | 100.0 ГБ | 3",
                        {"demo", "authStage", "telegramUsername", "xrayConfigsJSON", "awgConfigsJSON", "tavrinKey", "corporate",
                         "subscription/isActive", "subscription/trafficLimitBytes", "display/accountName", "display/trafficLimit",
                         "display/networkHealthLevel"}},
                       {status, "~^data:image/svg\\+xml;base64,", {"telegramAvatarDataURI"}},
                       {status, "~^\\[(\\{\"endpoint\":\"127\\.0\\.0\\.1:\\d+\",\"label\":\"Узел \\d{4}\"\\},?){6}\\]$", {"directNodes"}},
                       {{"refresh"}, "0 Статус обновлён"},
                       {{"login", "email", demoAddress, "--code", wrong}, "~^1 .*\nНеверный код, попробуйте ещё раз\\.$"},
                       {{"login", "email", demoAddress, "--code", code}, "~^0 "},
                       {{"login", "email", "not@mail", "--code", "1234"}, "~^1 Проверьте правильность email\\."}}),
                 QString());
        const QDateTime expires = QDateTime::fromString(pick(run(status).json(), {"subscription/expiresAt"}), Qt::ISODateWithMs);
        QVERIFY(expires > QDateTime::currentDateTimeUtc());
    }

    // Measured latencies are never below each node's own delay (time really passed), rows fastest first. The next
    // process adopts the running provider; the demo touches only its folder, not the real state.
    void measureThenConnectAdoptedByTheNextProcess()
    {
        CliProcess &c = session();
        const CliResult result = run({"nodes", "--measure", "--json"});
        QVERIFY2(result.exitCode == 0, result.describe());
        const QJsonObject s = result.json();
        const QList<int> delays{14, 23, 37, 52, 76, 118};
        QCOMPARE(s.value("nodeLatency").toObject().size(), 6);
        for (qsizetype i = 0; i < delays.size(); ++i) {
            const qint64 measured = s["nodeLatency"][s["directNodes"][i]["endpoint"].toString()].toInteger(-1);
            QVERIFY2(measured >= delays.at(i) && measured < delays.at(i) + 2000, qPrintable(QString::number(measured)));
        }
        const QJsonArray rows = s.value("nodes").toArray();
        QCOMPARE(pick(s, {"nodes/0/label", "nodes/0/selected", "nodes/7", "display/nodeCountLine", "display/networkHealthLevel"}),
                 QStringLiteral("Qor AI Network | true | null | Отвечают 6 из 6 серверов | 0"));
        for (qsizetype i = 2; i < rows.size(); ++i)
            QVERIFY(rows.at(i)["latencyMs"].toInteger() >= rows.at(i - 1)["latencyMs"].toInteger());
        QCOMPARE(rows.at(1)["latencyText"].toString(), QString::number(rows.at(1)["latencyMs"].toInteger()) + " мс");
        const CliResult plain = run({"nodes"});
        QVERIFY(plain.out.contains("Серверов: 6"));
        QCOMPARE(plain.out.count("—"), 6);
        QCOMPARE(play({{{"connect"}, connected},
                       {status, "connected | balancer | Подключено · Qor AI Network | распределённый доступ · автоматический выбор узла",
                        {"connectionState", "target/kind", "display/statusTitle", "display/statusSubtitle"}},
                       {status, "~^\\d{4}-\\d\\d-\\d\\dT[0-9:.]+Z? \\| \\d\\d:\\d\\d:\\d\\d$", {"connectedSince", "connectionDuration"}},
                       {{"connect"}, connected}, // again: nothing changes
                       {{"settings", "appearance", "light"}, "0 light"},
                       {{"trace", "--lines", "50"}, "~connect -> Qor AI Network"}}),
                 QString());
        for (const char *folder : {"config", "data", "trace"})
            QVERIFY2(QDir(c.home() + u'/' + QLatin1String(folder)).isEmpty(), folder);
        QVERIFY(QFile::exists(c.home() + "/demo/config/qor-connect/Q7PZD2M4RT.group.com.qorvpn.connect.json"));
        QVERIFY(QFile::exists(c.home() + "/demo/trace/state-trace.txt"));
        QVERIFY(!QDir(c.home() + "/demo/runtime/qor-connect/tunnels").isEmpty());
        QCOMPARE(pick(c.run(status).json(), {"authStage"}), QStringLiteral("idle"));
        QCOMPARE(play({{{"disconnect"}, "0 Отключено"}, {status, "disconnected", {"connectionState"}}, {{"disconnect"}, "0 Уже отключено"}}), QString());
    }

    // A node, the reserve, back to the balancer, a node not offered; a failing and a stuck provider.
    void connectToEachTargetAndFailures()
    {
        CliProcess &c = session();
        const QJsonObject third = run(status).json()["directNodes"][2].toObject();
        const QString node = third.value("endpoint").toString();
        QCOMPARE(play({{{"connect", "--node", node}, "0 Подключено · " + third.value("label").toString()},
                       {status, "node | " + node + " | standard", {"target/kind", "target/endpoint", "cascadeMode"}},
                       {{"nodes", "--json"}, "~^(?!.*\"selected\":true.*\"selected\":true).*\"selected\":true", {"nodes"}}, // one selected
                       {{"connect", "--reserve"}, "0 Подключено · Резерв"},
                       {status, "reserve |  | АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ", {"target/kind", "display/statusTitle", "display/statusSubtitle"}},
                       {{"connect", "--mode", "main"}, connected},
                       {status, "main | balancer | распределённый доступ · автоматический выбор основного узла",
                        {"connectMode", "target/kind", "display/statusSubtitle"}},
                       {{"connect", "--node", "127.0.0.1:1"}, "~^1 Узла 127\\.0\\.0\\.1:1 нет в подписке"},
                       {{"disconnect"}, "0 Отключено"}}),
                 QString());
        c.setEnv("QOR_DEMO_PROVIDER_FAIL", "Демо: провайдер отказал");
        QCOMPARE(play({{{"connect", "--mode", "main"}, "~^1 .*Демо: провайдер отказал"}}), QString());
        c.environment().remove("QOR_DEMO_PROVIDER_FAIL");
        c.setEnv("QOR_DEMO_PROVIDER_STAY_CONNECTING", "1");
        QCOMPARE(play({{{"connect", "--timeout", "2"}, "~^1 .*Подключение не завершилось за 2 с \\(Подключение… \\(Qor AI Network\\)\\)"}}),
                 QString());
    }

    // The company window: open for minutes, no reserve, policy on main; once closed, connect is refused.
    void companyAccount()
    {
        session(QStringLiteral("company@example.com"));
        const QJsonObject s = run(status).json();
        const qint64 left = QDateTime::currentDateTimeUtc().secsTo(QDateTime::fromString(pick(s, {"corporate/sessionUntil"}), Qt::ISODateWithMs));
        QVERIFY2(left > 120 && left <= 240, qPrintable(QString::number(left)));
        QCOMPARE(play({{status, "loggedIn | ООО «Демо» | false | window | true | ООО «Демо»",
                        {"authStage", "corporate/company", "corporate/reserveAllowed", "corporate/sessionReason", "corporate/policy/block_torrent",
                         "display/accountName"}},
                       {status, "~^Соединение будет разорвано через \\d+ мин — заканчивается рабочее окно \\| .* · осталось ",
                        {"sessionWarning", "display/corporateSession"}},
                       {{"connect", "--reserve"}, "1 Недоступно в корпоративном доступе. Обратитесь к администратору вашей компании"},
                       {status, "disconnected", {"connectionState"}},
                       {{"connect"}, "~^0 "},
                       {status, "connected", {"connectionState"}},
                       {{"disconnect"}, "0 Отключено"}}),
                 QString());
        session(QStringLiteral("company@example.com"), "QOR_DEMO_COMPANY_WINDOW", "0");
        QCOMPARE(play({{{"connect"}, "~^1 Рабочее окно компании закрылось сегодня в \\d\\d:\\d\\d\\. Обратитесь к администратору вашей компании$"},
                       {status, "disconnected | Доступ на сегодня закончен — заканчивается рабочее окно", {"connectionState", "sessionWarning"}}}),
                 QString());
    }

    // A live lock refuses, a stale one is taken; connect --stay reports changes, keeps or ends the tunnel.
    void instanceLockAndStay()
    {
        CliProcess &c = session();
        const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(writeLock(QCoreApplication::applicationPid(), name));
        QCOMPARE(play({{{"connect"}, "1 " + refusal + " (" + name + ", процесс " + QString::number(QCoreApplication::applicationPid())
                                         + "). Завершите его или дождитесь окончания его команды и повторите."},
                       {status, "disconnected", {"connectionState"}}}),
                 QString());
        QProcess gone;
        gone.start("true");
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished() && writeLock(deadPid, "qorctl"));
        QCOMPARE(play({{{"connect"}, connected}, {{"disconnect"}, "0 Отключено"}}), QString());
        QVERIFY(!QFile::exists(lockPath()));

        auto stay = c.start({"--demo", "connect", "--stay"});
        QString lines;
        QVERIFY2(CliProcess::waitForOutput(*stay, QProcess::StandardOutput, connected.mid(2), lines), qPrintable(lines));
        QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d Подключение… \\(Qor AI Network\\)$", QRegularExpression::MultilineOption).match(lines).hasMatch());
        const QString held = "~^1 " + refusal + " \\(qorctl, процесс " + QString::number(stay->processId()) + "\\)";
        QCOMPARE(play({{{"disconnect"}, held}, {{"connect", "--reserve"}, held}, {{"logout"}, held}, {{"refresh"}, held},
                       {{"settings", "appearance", "dark"}, held}, {{"login", "email", demoAddress, "--code", "123456"}, held},
                       {status, "connected", {"connectionState"}}, {{"nodes"}, "~^0 "}, {{"settings", "appearance"}, "0 system"}}),
                 QString());
        ::kill(pid_t(stay->processId()), SIGTERM);
        CliResult ended = CliProcess::finish(*stay, 10000);
        QVERIFY2(ended.exitCode == 0 && !ended.out.contains("Отключено"), ended.describe());
        QCOMPARE(play({{status, "connected", {"connectionState"}}, {{"disconnect"}, "0 Отключено"}}), QString());

        c.setEnv("QOR_DEMO_PROVIDER_DROP_AFTER", "1");
        c.setEnv("QOR_DEMO_PROVIDER_DROP_ERROR", "Демо: связь потеряна");
        stay = c.start({"--demo", "connect", "--stay", "--stop-on-exit"});
        const QRegularExpression story("Подключено · Qor AI Network.* Отключено.*Ошибка: Демо: связь потеряна.*Подключение… \\(Qor AI Network\\)"
                                       ".*Подключено · Qor AI Network", QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(CliProcess::waitForOutput(*stay, QProcess::StandardOutput, story, lines = {}), qPrintable(lines));
        ::kill(pid_t(stay->processId()), SIGINT);
        ended = CliProcess::finish(*stay, 20000);
        QVERIFY2(ended.exitCode == 0 && ended.out.trimmed().endsWith("Отключено"), ended.describe());
        QCOMPARE(play({{status, "disconnected", {"connectionState"}}, {{"disconnect"}, "0 Уже отключено"}}), QString());
    }

    // The README's run command: steps in order, temp folder removed; without the build, says what is missing.
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
                                   "Код отправлен на demo@example.com", "Вход выполнен: @demo", "==> 2/5 Подключение", connected.mid(2),
                                   "==> 3/5 Состояние", "Вход:               выполнен · @demo", "Подключение:        " + connected.mid(2),
                                   "==> 4/5 Узлы и их задержки", "Отвечают 6 из 6 серверов", "==> 5/5 Отключение", "    Отключено\n", "Готово."};
        qsizetype at = 0;
        for (const QString &piece : expected) {
            at = result.out.indexOf(piece, at);
            QVERIFY2(at >= 0, qPrintable(piece + " missing, in order, in:\n" + result.out));
        }
        QCOMPARE(result.out.count(QRegularExpression(" \\d+ мс\n")), 6);
        QVERIFY2(QDir(c.home() + "/tmp").isEmpty(), qPrintable(QDir(c.home() + "/tmp").entryList().join(u',')));
        const CliResult missing = c.run({CliProcess::sourceDirectory() + "/scripts/demo", "--no-install", "--no-build", "--build-dir",
                                         c.home() + "/nothing"}, {}, 30000, "bash");
        QVERIFY2(missing.exitCode == 1 && missing.err.contains("qorctl is missing; run without --no-build"), missing.describe());
    }
};

QTEST_GUILESS_MAIN(TestCliDemo)
#include "test_cli_demo.moc"
