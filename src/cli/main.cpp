// qorctl: the command-line front end of Qor Connect. It builds the same AppState as
// the desktop application, calls its operations and prints its published fields.

#include "command_line.h"
#include "context.h"
#include "signal_watcher.h"

#include "runtime/deployment.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

namespace {

QCoro::Task<> runAndQuit(qor::cli::Context &context, const qor::cli::Command &command, QStringList arguments)
{
    const int code = co_await command.run(context, std::move(arguments));
    QCoreApplication::exit(code);
}

void printError(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qorctl"));
    QCoreApplication::setApplicationVersion(qor::deployment::version());
    // The program's own log lines would mix with its output; QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("com.qorvpn.connect.*.info=false\ncom.qorvpn.connect.*.debug=false"));

    // Options before the command are the program's; everything after it belongs to
    // the command. --demo is accepted on either side.
    QStringList arguments = app.arguments().mid(1);
    const bool demo = arguments.contains(QStringLiteral("--demo"));
    QString commandName;
    QStringList commandArguments;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QStringLiteral("--demo"))
            continue;
        if (argument == QStringLiteral("--help") || argument == QStringLiteral("-h") || argument == QStringLiteral("help")) {
            const QString topic = i + 1 < arguments.size() ? arguments.at(i + 1) : QString();
            const QByteArray text = qor::cli::usageText(qor::cli::findCommand(topic)).toUtf8();
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            return qor::cli::Success;
        }
        if (argument == QStringLiteral("--version") || argument == QStringLiteral("-v")) {
            const QByteArray text = (QStringLiteral("qorctl ") + qor::deployment::version() + QLatin1Char('\n')).toUtf8();
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            return qor::cli::Success;
        }
        if (argument.startsWith(QLatin1Char('-'))) {
            printError(QStringLiteral("qorctl: неизвестный параметр ") + argument + QStringLiteral("\n") + qor::cli::usageText(nullptr));
            return qor::cli::Usage;
        }
        commandName = argument;
        commandArguments = arguments.mid(i + 1);
        commandArguments.removeAll(QStringLiteral("--demo"));
        break;
    }
    const qor::cli::Command *command = qor::cli::findCommand(commandName);
    if (!command) {
        printError((commandName.isEmpty() ? QStringLiteral("qorctl: не указана команда\n")
                                          : QStringLiteral("qorctl: неизвестная команда ") + commandName + QLatin1Char('\n'))
                   + qor::cli::usageText(nullptr));
        return qor::cli::Usage;
    }

    qor::cli::SignalWatcher signalWatcher;
    int code = qor::cli::Failure;
    {
        qor::cli::Context context(demo, signalWatcher);
        // The command starts inside the event loop, so that its exit code ends the loop.
        QTimer::singleShot(0, &context, [&context, command, commandArguments] {
            runAndQuit(context, *command, commandArguments);
        });
        code = app.exec();
    }
    return code;
}
