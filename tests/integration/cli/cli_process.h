#pragma once

// Runs the real qorctl binary as a child process with private folders, for the
// end-to-end tests. Waiting spins the event loop, so servers of the test process
// (an AccountServer on loopback) keep answering meanwhile.

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <memory>

namespace qor::test {

struct CliResult {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;

    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
    // For QVERIFY2 messages.
    QByteArray describe() const
    {
        return QStringLiteral("exit %1, stdout: %2 | stderr: %3").arg(exitCode).arg(out, err).toUtf8();
    }
};

class CliProcess {
public:
    static constexpr int defaultLimitMs = 30000;

    // A fresh folder set under the test's scratch folder, named after the case.
    explicit CliProcess(const QString &caseName)
    {
        const QString scratch = qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath());
        m_home = scratch + QStringLiteral("/") + caseName;
        QDir(m_home).removeRecursively();
        for (const char *sub : {"config", "data", "runtime", "trace", "demo", "tmp"})
            QDir().mkpath(m_home + QLatin1Char('/') + QLatin1String(sub));
        QFile::setPermissions(m_home + QStringLiteral("/runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home + QStringLiteral("/config"));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), m_home + QStringLiteral("/data"));
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home + QStringLiteral("/runtime"));
        m_env.insert(QStringLiteral("QOR_TRACE_DIR"), m_home + QStringLiteral("/trace"));
        m_env.insert(QStringLiteral("QOR_DEMO_DIR"), m_home + QStringLiteral("/demo"));
        m_env.insert(QStringLiteral("TMPDIR"), m_home + QStringLiteral("/tmp"));
        m_env.insert(QStringLiteral("QOR_BUNDLE_DIR"), buildDirectory() + QStringLiteral("/bundle"));
        m_env.insert(QStringLiteral("QOR_DEMO_PROVIDER_CONNECT_DELAY"), QStringLiteral("0.1"));
        m_env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_env.remove(QStringLiteral("QT_LOGGING_RULES"));
    }

    static QString buildDirectory() { return qEnvironmentVariable("QOR_BUILD_DIR"); }
    static QString program() { return buildDirectory() + QStringLiteral("/bin/qorctl"); }
    static QString sourceDirectory() { return QStringLiteral(QOR_SOURCE_DIR); }

    QString home() const { return m_home; }
    QProcessEnvironment &environment() { return m_env; }
    void setEnv(const QString &name, const QString &value) { m_env.insert(name, value); }

    // Starts qorctl (or another program) and leaves it running.
    std::unique_ptr<QProcess> start(const QStringList &arguments, const QString &programPath = program()) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_env);
        process->start(programPath, arguments);
        return process;
    }

    // Runs to the end (killed after limitMs), with `input` on standard input
    // (closed afterwards).
    CliResult run(const QStringList &arguments, const QByteArray &input = {}, int limitMs = defaultLimitMs,
                  const QString &programPath = program()) const
    {
        auto process = start(arguments, programPath);
        if (!process->waitForStarted(5000))
            return {};
        if (!input.isEmpty())
            process->write(input);
        process->closeWriteChannel();
        return finish(*process, limitMs);
    }

    // Waits for a started process to end; kills it after limitMs.
    static CliResult finish(QProcess &process, int limitMs = defaultLimitMs)
    {
        CliResult result;
        result.finished = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, limitMs);
        if (!result.finished) {
            process.kill();
            process.waitForFinished(3000);
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    // Waits until the process has written a line containing `text` to the channel;
    // everything read so far is appended to `seen`.
    static bool waitForOutput(QProcess &process, QProcess::ProcessChannel channel, const QString &text, QString &seen,
                              int limitMs = defaultLimitMs)
    {
        return QTest::qWaitFor(
            [&] {
                process.setReadChannel(channel);
                while (process.canReadLine())
                    seen += QString::fromUtf8(process.readLine());
                return seen.contains(text) || process.state() == QProcess::NotRunning;
            },
            limitMs)
            && seen.contains(text);
    }

private:
    QString m_home;
    QProcessEnvironment m_env;
};

} // namespace qor::test

namespace qor::test {

// Signs in on the demo backend as a user would: the code the demo announces on
// standard error is typed back on standard input.
inline CliResult demoEmailLogin(const CliProcess &cli, const QString &address, QString *code = nullptr)
{
    auto process = cli.start({QStringLiteral("--demo"), QStringLiteral("login"), QStringLiteral("email"), address});
    QString seen;
    const QString announcement = QStringLiteral("Демо: код входа ");
    if (!CliProcess::waitForOutput(*process, QProcess::StandardError, announcement, seen))
        return CliProcess::finish(*process, 1000);
    // The rest of the line is the code.
    [[maybe_unused]] const bool lineEnded = QTest::qWaitFor([&] {
        process->setReadChannel(QProcess::StandardError);
        while (process->canReadLine())
            seen += QString::fromUtf8(process->readLine());
        return seen.indexOf(QLatin1Char('\n'), seen.indexOf(announcement)) >= 0;
    }, 5000);
    const qsizetype start = seen.indexOf(announcement) + announcement.size();
    const QString typed = seen.mid(start, seen.indexOf(QLatin1Char('\n'), start) - start);
    if (code)
        *code = typed;
    process->write(typed.toUtf8() + '\n');
    process->closeWriteChannel();
    CliResult result = CliProcess::finish(*process);
    result.err.prepend(seen);
    return result;
}

} // namespace qor::test
