#include "system_command.h"

#include "service_log.h"

#include "runtime/cancel_token.h"

#include <QCoroProcess>
#include <QCoroSignal>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>

namespace qor::service {

SystemCommand systemCommand(const QString &program, QStringList arguments, bool mayFail, QByteArray input)
{
    return SystemCommand{program, std::move(arguments), std::move(input), mayFail};
}

Q_LOGGING_CATEGORY(lcService, "com.qorvpn.connect.service", QtInfoMsg)

namespace {

// Enough for any diagnostic; a runaway writer cannot grow the service's memory.
constexpr qsizetype outputCap = 64 * 1024;

void appendCapped(QByteArray &to, const QByteArray &chunk)
{
    if (to.size() < outputCap)
        to.append(chunk.left(outputCap - to.size()));
}

std::chrono::milliseconds remaining(const QDeadlineTimer &deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline.remainingTimeAsDuration());
}

} // namespace

QString SystemCommand::text() const
{
    return (QStringList{program} + arguments).join(QLatin1Char(' '));
}

QCoro::Task<CommandResult> runCommand(SystemCommand command, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    CommandResult result;

    QProcessEnvironment environment; // nothing inherited from the service's own
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));

    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    QObject::connect(&process, &QProcess::readyReadStandardError,
                     [&] { appendCapped(result.standardError, process.readAllStandardError()); });
    QObject::connect(&process, &QProcess::readyReadStandardOutput,
                     [&] { appendCapped(result.standardOutput, process.readAllStandardOutput()); });

    // QCoro's waitForStarted misses a failed start (it waits out its time limit),
    // and awaiting stateChanged itself trips UBSan on its QPrivateSignal argument;
    // the change that ends Starting, relayed, reports either outcome.
    Waker startEnded;
    QObject::connect(&process, &QProcess::stateChanged, &startEnded, [&startEnded](QProcess::ProcessState state) {
        if (state != QProcess::Starting)
            startEnded.fire(true);
    });
    process.start(QIODevice::ReadWrite);
    if (process.state() == QProcess::Starting)
        co_await qCoro(&startEnded, &Waker::woken, remaining(deadline));
    if (process.state() == QProcess::Starting || process.error() == QProcess::FailedToStart) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            co_await qCoro(process).waitForFinished(std::chrono::seconds(1));
        }
        result.standardError = process.errorString().toUtf8();
        co_return result;
    }

    if (!command.input.isEmpty())
        process.write(command.input);
    process.closeWriteChannel();

    if (!co_await qCoro(process).waitForFinished(remaining(deadline))) {
        process.kill();
        co_await qCoro(process).waitForFinished(std::chrono::seconds(1));
        result.standardError = QByteArrayLiteral("timed out after ") + QByteArray::number(qint64(limit.count()))
                               + QByteArrayLiteral(" ms");
        co_return result;
    }
    appendCapped(result.standardError, process.readAllStandardError());
    appendCapped(result.standardOutput, process.readAllStandardOutput());
    if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
        result.ok = result.exitCode == 0;
    }
    co_return result;
}

QCoro::Task<CommandResult> runCommands(QList<SystemCommand> commands, std::chrono::milliseconds limit)
{
    for (const SystemCommand &command : commands) {
        CommandResult result = co_await runCommand(command, limit);
        if (result.ok || command.mayFail)
            continue;
        qCWarning(lcService).noquote() << "Command failed:" << command.text() << "exit code" << result.exitCode
                                       << QString::fromUtf8(result.standardError).trimmed();
        co_return result;
    }
    co_return CommandResult{.ok = true, .exitCode = 0, .standardError = {}, .standardOutput = {}};
}

} // namespace qor::service
