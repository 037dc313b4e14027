// connect --stay: one line per change until a signal ends it, the tunnel left up or
// stopped on request, and the per-user instance lock that makes other processes'
// state-changing commands refuse while it runs.

#include "cli_process.h"

#include <QFile>
#include <QSysInfo>

#include <csignal>

using namespace qor::test;

namespace {
QStringList demo(QStringList arguments)
{
    return QStringList{QStringLiteral("--demo")} + arguments;
}

const QString refusal = QStringLiteral("Подключением уже управляет другой запущенный экземпляр Qor Connect");
} // namespace

class TestCliStay : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CliProcess> current;

    CliProcess &signedIn()
    {
        current = std::make_unique<CliProcess>(QString::fromLatin1(QTest::currentTestFunction()));
        const CliResult login = demoEmailLogin(*current, QStringLiteral("demo@example.com"));
        if (login.exitCode != 0)
            qWarning("sign-in failed: %s", login.describe().constData());
        return *current;
    }

    QString lockPath() const { return current->home() + QStringLiteral("/demo/runtime/qor-connect/instance.lock"); }

    QString connectionState() const
    {
        return current->run(demo({QStringLiteral("status"), QStringLiteral("--json")})).json().value("connectionState").toString();
    }

    // A lock file as QLockFile writes it, naming a holder on this machine.
    void writeLock(qint64 pid, const QString &application) const
    {
        QFile file(lockPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::number(pid) + '\n' + application.toUtf8() + '\n' + QSysInfo::machineHostName().toUtf8() + '\n');
    }

private Q_SLOTS:
    void cleanup()
    {
        if (current) {
            QFile::remove(lockPath());
            QCOMPARE(current->run(demo({QStringLiteral("disconnect")})).exitCode, 0);
        }
        current.reset();
    }

    void stayHoldsTheInstanceAndLeavesTheTunnelUp()
    {
        CliProcess &c = signedIn();
        auto stay = c.start(demo({QStringLiteral("connect"), QStringLiteral("--stay")}));
        QString lines;
        QVERIFY2(CliProcess::waitForOutput(*stay, QProcess::StandardOutput, QStringLiteral("Подключено · Qor AI Network"), lines), qPrintable(lines));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d Подключение… \\(Qor AI Network\\)$"),
                                   QRegularExpression::MultilineOption).match(lines).hasMatch());
        const QString holder = QStringLiteral("(qorctl, процесс ") + QString::number(stay->processId()) + QLatin1Char(')');

        // State-changing commands of other processes refuse while it runs.
        const QList<QStringList> refused{{"disconnect"},
                                         {"connect", "--reserve"},
                                         {"logout"},
                                         {"refresh"},
                                         {"settings", "appearance", "dark"},
                                         {"login", "email", "demo@example.com", "--code", "123456"}};
        for (const QStringList &arguments : refused) {
            const CliResult result = c.run(demo(arguments));
            QVERIFY2(result.exitCode == 1, result.describe());
            QVERIFY2(result.err.startsWith(refusal + QStringLiteral(" ") + holder), result.describe());
        }
        // Reading is always allowed.
        QCOMPARE(connectionState(), QStringLiteral("connected"));
        QCOMPARE(c.run(demo({QStringLiteral("nodes")})).exitCode, 0);
        QCOMPARE(c.run(demo({QStringLiteral("settings"), QStringLiteral("appearance")})).out, QStringLiteral("system\n"));

        ::kill(pid_t(stay->processId()), SIGTERM);
        const CliResult ended = CliProcess::finish(*stay, 10000);
        QVERIFY2(ended.exitCode == 0, ended.describe());
        QVERIFY2(!ended.out.contains(QStringLiteral("Отключено")), ended.describe());
        // Nothing was stopped on the way out, and the instance is free again.
        QCOMPARE(connectionState(), QStringLiteral("connected"));
        const CliResult stopped = c.run(demo({QStringLiteral("disconnect")}));
        QCOMPARE(stopped.exitCode, 0);
        QCOMPARE(stopped.out, QStringLiteral("Отключено\n"));
    }

    void stayReportsLossAndReconnect()
    {
        CliProcess &c = signedIn();
        c.setEnv(QStringLiteral("QOR_DEMO_PROVIDER_DROP_AFTER"), QStringLiteral("1"));
        c.setEnv(QStringLiteral("QOR_DEMO_PROVIDER_DROP_ERROR"), QStringLiteral("Демо: связь потеряна"));
        auto stay = c.start(demo({QStringLiteral("connect"), QStringLiteral("--stay"), QStringLiteral("--stop-on-exit")}));
        QString lines;
        // Connected, lost with the provider's error, reconnected by the reconnect task.
        for (const QString &expected : {QStringLiteral("Подключено · Qor AI Network"), QStringLiteral("Отключено"),
                                        QStringLiteral("Ошибка: Демо: связь потеряна"),
                                        QStringLiteral("Подключение… (Qor AI Network)")}) {
            QVERIFY2(CliProcess::waitForOutput(*stay, QProcess::StandardOutput, expected, lines), qPrintable(lines));
        }
        const qsizetype lost = lines.indexOf(QStringLiteral(" Отключено"));
        QString later;
        QVERIFY2(CliProcess::waitForOutput(*stay, QProcess::StandardOutput, QStringLiteral("Подключено · Qor AI Network"), later),
                 qPrintable(lines + later));
        QVERIFY(lines.indexOf(QStringLiteral("Подключено")) < lost);

        ::kill(pid_t(stay->processId()), SIGINT);
        const CliResult ended = CliProcess::finish(*stay, 20000);
        QVERIFY2(ended.exitCode == 0, ended.describe());
        // Asked to stop on the way out: the last line says so and no tunnel is left.
        QVERIFY2(ended.out.trimmed().endsWith(QStringLiteral("Отключено")), ended.describe());
        QCOMPARE(connectionState(), QStringLiteral("disconnected"));
        QCOMPARE(c.run(demo({QStringLiteral("disconnect")})).out, QStringLiteral("Уже отключено\n"));
    }

    void interruptedWaitEndsWithTheSignal()
    {
        current = std::make_unique<CliProcess>(QStringLiteral("interruptedWaitEndsWithTheSignal"));
        // Waits for the code on an input that stays open.
        auto login = current->start(demo({QStringLiteral("login"), QStringLiteral("email"), QStringLiteral("demo@example.com")}));
        QString seen;
        QVERIFY2(CliProcess::waitForOutput(*login, QProcess::StandardOutput, QStringLiteral("Код отправлен на demo@example.com"), seen),
                 qPrintable(seen));
        ::kill(pid_t(login->processId()), SIGINT);
        const CliResult ended = CliProcess::finish(*login, 10000);
        QVERIFY2(ended.exitCode == 128 + SIGINT, ended.describe());
        // The instance was released on the way out.
        const CliResult next = current->run(demo({QStringLiteral("refresh")}));
        QVERIFY2(!next.err.contains(refusal), next.describe());
        QVERIFY(!QFile::exists(lockPath()));
    }

    void lockOfAnotherFrontEnd()
    {
        CliProcess &c = signedIn();
        // A live holder: this test process, as the desktop application would be (a
        // holder is recognised by its process id and its program's name).
        const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        writeLock(QCoreApplication::applicationPid(), name);
        const CliResult refused = c.run(demo({QStringLiteral("connect")}));
        QCOMPARE(refused.exitCode, 1);
        QCOMPARE(refused.err, refusal + QStringLiteral(" (") + name + QStringLiteral(", процесс ")
                                  + QString::number(QCoreApplication::applicationPid())
                                  + QStringLiteral("). Завершите его или дождитесь окончания его команды и повторите.\n"));
        QCOMPARE(connectionState(), QStringLiteral("disconnected"));

        // A holder that no longer runs leaves a stale lock, which is taken over.
        QProcess gone;
        gone.start(QStringLiteral("true"));
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished());
        writeLock(deadPid, QStringLiteral("qorctl"));
        const CliResult connected = c.run(demo({QStringLiteral("connect")}));
        QVERIFY2(connected.exitCode == 0, connected.describe());
        QVERIFY(!QFile::exists(lockPath()));
    }
};

QTEST_GUILESS_MAIN(TestCliStay)
#include "test_cli_stay.moc"
