#pragma once

#include "context.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoroTask>
#include <QStringList>

#include <functional>
#include <optional>

namespace qor::cli {

// One command of qorctl: its name, the usage line and description shown by
// --help, and what runs it with the arguments after its name.
struct Command {
    QString name;
    QString usage;   // the arguments after "qorctl <name>"
    QString summary; // one line for the command list
    QString details; // shown by "qorctl <name> --help"
    std::function<QCoro::Task<int>(Context &, QStringList)> run;
};

const QList<Command> &commands();
const Command *findCommand(const QString &name);

// The usage text of a command, or of the program when command is null.
QString usageText(const Command *command);

// A command's own parser: adds --help and --demo, parses the arguments, and on
// wrong usage prints the reason and the usage to standard error. Returns the exit
// code to end with (Usage, or Success after --help), or nothing to go on.
class CommandParser {
public:
    explicit CommandParser(const Command &command);
    QCommandLineParser &parser() { return m_parser; }
    std::optional<int> parse(Context &context, const QStringList &arguments);
    // parse(), refusing positional arguments as wrong usage.
    std::optional<int> parseWithoutPositional(Context &context, const QStringList &arguments);
    // The positional arguments after the command's name.
    QStringList positional() const;
    // Prints the reason and the usage to standard error; returns Usage.
    int usageError(Context &context, const QString &reason) const;

private:
    const Command &m_command;
    QCommandLineParser m_parser;
};

// The commands, one file each.
QCoro::Task<int> runStatus(Context &context, QStringList arguments);
QCoro::Task<int> runLogin(Context &context, QStringList arguments);
QCoro::Task<int> runLogout(Context &context, QStringList arguments);
QCoro::Task<int> runConnect(Context &context, QStringList arguments);
QCoro::Task<int> runDisconnect(Context &context, QStringList arguments);
QCoro::Task<int> runNodes(Context &context, QStringList arguments);
QCoro::Task<int> runSettings(Context &context, QStringList arguments);
QCoro::Task<int> runRefresh(Context &context, QStringList arguments);
QCoro::Task<int> runDeleteAccount(Context &context, QStringList arguments);
QCoro::Task<int> runTrace(Context &context, QStringList arguments);

} // namespace qor::cli
