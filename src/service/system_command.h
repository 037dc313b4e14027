#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <chrono>

namespace qor::service {

// A program run by its absolute path with its arguments and optional standard
// input. Never through a shell; keys never appear in arguments (they go to the
// engine's control socket).
struct SystemCommand {
    QString program;
    QStringList arguments;
    QByteArray input;
    // A cleanup step: its failure (nothing to delete) is expected and not logged.
    bool mayFail = false;
    bool operator==(const SystemCommand &) const = default;
    QString text() const; // "program arg1 arg2", for logs
};

// A command to run; mayFail marks a cleanup step.
SystemCommand systemCommand(const QString &program, QStringList arguments, bool mayFail = false, QByteArray input = {});

struct CommandResult {
    bool ok = false;     // started, ended normally with exit code 0
    int exitCode = -1;
    QByteArray standardError;
    QByteArray standardOutput; // both capped at 64 KiB
};

// Runs the command with a clean environment (PATH=/usr/sbin:/usr/bin:/sbin:/bin,
// LC_ALL=C) and waits at most `limit`; a command still running then is killed and
// reported as failed.
QCoro::Task<CommandResult> runCommand(SystemCommand command,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs the commands in order; stops at the first failure that is not mayFail and
// returns its result (ok when all ran).
QCoro::Task<CommandResult> runCommands(QList<SystemCommand> commands,
                                       std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace qor::service
