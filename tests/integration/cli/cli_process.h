#pragma once

// The real qorctl with private folders; waits spin the event loop so loopback servers keep answering.

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace qor::test {

struct CliResult {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;

    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
    // The exit code and stdout on success, else stderr (trimmed), for exact comparisons.
    QString said() const { return QString::number(exitCode) + u' ' + (exitCode == 0 ? out : err).trimmed(); }
    QByteArray describe() const { return QStringLiteral("exit %1, stdout: %2 | stderr: %3").arg(exitCode).arg(out, err).toUtf8(); }
};

// Values at these paths ("display/statusTitle", "nodes/0/label") joined by " | "; null when absent.
inline QString pick(const QJsonObject &object, const QStringList &paths)
{
    QStringList values;
    for (const QString &path : paths) {
        QJsonValue value = object;
        for (const QString &key : path.split(u'/'))
            value = value.isArray() ? value.toArray().at(key.toInt()) : value.toObject().value(key);
        values.append(value.isString() ? value.toString()
                                       : QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)).mid(1).chopped(1));
    }
    return values.join(QStringLiteral(" | "));
}

class CliProcess {
public:
    static constexpr int defaultLimitMs = 30000;

    // A fresh folder set under the test's scratch folder, named after the case.
    explicit CliProcess(const QString &caseName)
        : m_home(qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath()) + u'/' + caseName)
        , m_env(QProcessEnvironment::systemEnvironment())
    {
        QDir(m_home).removeRecursively();
        for (const char *sub : {"config", "data", "runtime", "trace", "demo", "tmp"})
            QDir().mkpath(m_home + u'/' + QLatin1String(sub));
        QFile::setPermissions(m_home + QStringLiteral("/runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QList<std::pair<const char *, QString>> folders{{"XDG_CONFIG_HOME", "/config"}, {"XDG_DATA_HOME", "/data"},
                                                              {"XDG_RUNTIME_DIR", "/runtime"}, {"QOR_TRACE_DIR", "/trace"},
                                                              {"QOR_DEMO_DIR", "/demo"}, {"TMPDIR", "/tmp"}};
        for (const auto &[name, folder] : folders)
            m_env.insert(QLatin1String(name), m_home + folder);
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

    std::unique_ptr<QProcess> start(const QStringList &arguments, const QString &programPath = program()) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_env);
        process->start(programPath, arguments);
        return process;
    }

    // Runs to the end (killed after limitMs), with `input` on standard input (closed afterwards).
    CliResult run(const QStringList &arguments, const QByteArray &input = {}, int limitMs = defaultLimitMs,
                  const QString &programPath = program()) const
    {
        auto process = start(arguments, programPath);
        if (!process->waitForStarted(5000))
            return {};
        process->write(input);
        process->closeWriteChannel();
        return finish(*process, limitMs);
    }

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

    // Until the channel's output matches (or the process ended); all read is appended to `seen`.
    static bool waitForOutput(QProcess &process, QProcess::ProcessChannel channel, const QRegularExpression &pattern, QString &seen,
                              int limitMs = defaultLimitMs)
    {
        static_cast<void>(QTest::qWaitFor([&] {
            process.setReadChannel(channel);
            while (process.canReadLine())
                seen += QString::fromUtf8(process.readLine());
            return pattern.match(seen).hasMatch() || process.state() == QProcess::NotRunning;
        }, limitMs));
        return pattern.match(seen).hasMatch();
    }
    static bool waitForOutput(QProcess &process, QProcess::ProcessChannel channel, const QString &text, QString &seen,
                              int limitMs = defaultLimitMs)
    {
        return waitForOutput(process, channel, QRegularExpression(QRegularExpression::escape(text)), seen, limitMs);
    }

    // A command and its expected CliResult::said, or with `fields` its JSON values; "~" marks a regex.
    struct Step {
        QStringList arguments;
        QString expected;
        QStringList fields = {};
    };
    // Runs the steps in order (each after `prefix`); the ones that differ, or nothing.
    QString play(const QList<Step> &steps, const QStringList &prefix = {}) const
    {
        QString differences;
        for (const Step &step : steps) {
            const CliResult result = run(prefix + step.arguments);
            const QString seen = step.fields.isEmpty() ? result.said() : pick(result.json(), step.fields);
            if (step.expected.startsWith(u'~') ? !QRegularExpression(step.expected.mid(1)).match(seen).hasMatch() : seen != step.expected)
                differences += step.arguments.join(u' ') + QStringLiteral(" gave: ") + seen + u'\n';
        }
        return differences;
    }

private:
    QString m_home;
    QProcessEnvironment m_env;
};

// Signs in as a user would: the code the demo announces on stderr is typed back on stdin.
inline CliResult demoEmailLogin(const CliProcess &cli, const QString &address, QString *code = nullptr)
{
    auto process = cli.start({QStringLiteral("--demo"), QStringLiteral("login"), QStringLiteral("email"), address});
    QString seen;
    const QRegularExpression announced(QStringLiteral("Демо: код входа ([^\n]*)\n"));
    if (!CliProcess::waitForOutput(*process, QProcess::StandardError, announced, seen))
        return CliProcess::finish(*process, 1000);
    const QString typed = announced.match(seen).captured(1);
    if (code)
        *code = typed;
    process->write(typed.toUtf8() + '\n');
    process->closeWriteChannel();
    CliResult result = CliProcess::finish(*process);
    result.err.prepend(seen);
    return result;
}

} // namespace qor::test
