// The README's run command, followed as a new user would after the build: the demo
// flow through qorctl (sign-in by e-mail code, connect, status, nodes, disconnect),
// each step printed, nothing left behind.

#include "cli_process.h"

#include <QFile>
#include <QRegularExpression>

using namespace qor::test;

class TestReadmeRun : public QObject {
    Q_OBJECT

private:
    // The command the README gives under "Run the program".
    static QString readmeRunCommand()
    {
        QFile readme(CliProcess::sourceDirectory() + QStringLiteral("/README.md"));
        if (!readme.open(QIODevice::ReadOnly))
            return {};
        const QString text = QString::fromUtf8(readme.readAll());
        const qsizetype section = text.indexOf(QStringLiteral("Run the program"));
        const auto match = QRegularExpression(QStringLiteral("\\n\\n    (\\S[^\\n]*)\\n")).match(text, section);
        return section < 0 || !match.hasMatch() ? QString() : match.captured(1);
    }

private Q_SLOTS:
    void demoFlowFromTheReadme()
    {
        const QString command = readmeRunCommand();
        QCOMPARE(command, QStringLiteral("./scripts/demo"));

        CliProcess c(QStringLiteral("demoFlowFromTheReadme"));
        c.environment().remove(QStringLiteral("QOR_DEMO_DIR"));
        // The packages are installed and the build is done: the script is told so.
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(c.environment());
        process->setWorkingDirectory(CliProcess::sourceDirectory());
        process->start(QStringLiteral("bash"), {command, QStringLiteral("--no-install"), QStringLiteral("--no-build"),
                                                QStringLiteral("--build-dir"), CliProcess::buildDirectory()});
        QVERIFY(process->waitForStarted());
        const CliResult result = CliProcess::finish(*process, 120000);
        QVERIFY2(result.finished && result.exitCode == 0, result.describe());

        // Each step is announced, in order, with the command it runs and its output.
        const QStringList expected{
            QStringLiteral("==> 1/5 Вход по коду из письма"), QStringLiteral("$ qorctl --demo login email demo@example.com"),
            QStringLiteral("Демо: код входа "),               QStringLiteral("Код отправлен на demo@example.com"),
            QStringLiteral("Вход выполнен: @demo"),           QStringLiteral("==> 2/5 Подключение"),
            QStringLiteral("Подключено · Qor AI Network"),    QStringLiteral("==> 3/5 Состояние"),
            QStringLiteral("Вход:               выполнен · @demo"),
            QStringLiteral("Подключение:        Подключено · Qor AI Network"),
            QStringLiteral("==> 4/5 Узлы и их задержки"),     QStringLiteral("Отвечают 6 из 6 серверов"),
            QStringLiteral("==> 5/5 Отключение"),             QStringLiteral("    Отключено\n"),
            QStringLiteral("Готово."),
        };
        qsizetype at = 0;
        for (const QString &piece : expected) {
            const qsizetype found = result.out.indexOf(piece, at);
            QVERIFY2(found >= 0, qPrintable(piece + QStringLiteral(" missing after offset ") + QString::number(at) + QStringLiteral(" in:\n") + result.out));
            at = found + piece.size();
        }
        QCOMPARE(result.out.count(QRegularExpression(QStringLiteral(" \\d+ мс\\n"))), 6);
        // The demo's temporary folder is gone with its session and tunnels.
        QVERIFY2(QDir(c.home() + QStringLiteral("/tmp")).isEmpty(), qPrintable(QDir(c.home() + QStringLiteral("/tmp")).entryList().join(u',')));
    }

    void missingBuildIsReported()
    {
        CliProcess c(QStringLiteral("missingBuildIsReported"));
        const CliResult result = c.run({CliProcess::sourceDirectory() + QStringLiteral("/scripts/demo"), QStringLiteral("--no-install"),
                                        QStringLiteral("--no-build"), QStringLiteral("--build-dir"), c.home() + QStringLiteral("/nothing")},
                                       {}, 30000, QStringLiteral("bash"));
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("qorctl is missing; run without --no-build")), result.describe());
    }
};

QTEST_GUILESS_MAIN(TestReadmeRun)
#include "test_readme_run.moc"
