// qorctl trace: the end of the state trace.

#include "command_line.h"

#include "runtime/deployment.h"

#include <QFile>
#include <QFileInfo>

namespace qor::cli {

QCoro::Task<int> runTrace(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("trace")));
    const QCommandLineOption lines(QStringLiteral("lines"), QString(), QStringLiteral("N"), QStringLiteral("20"));
    command.parser().addOption(lines);
    if (const auto exit = command.parse(context, arguments))
        co_return *exit;
    bool numeric = false;
    const int count = command.parser().value(lines).toInt(&numeric);
    if (!numeric || count < 1)
        co_return command.usageError(context, QStringLiteral("--lines ждёт целое число больше нуля"));
    if (!command.positional().isEmpty())
        co_return command.usageError(context, QStringLiteral("лишние аргументы"));
    if (!context.prepareEnvironment())
        co_return Failure;

    // The folder is shared and world-writable: a link planted there is not followed.
    const QString path = deployment::traceDirectory() + QStringLiteral("/state-trace.txt");
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists() || info.isSymLink() || !info.isFile() || !file.open(QIODevice::ReadOnly)) {
        context.err(QStringLiteral("Журнал состояний пока пуст: ") + path);
        co_return Success;
    }
    QStringList all = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : all.mid(std::max<qsizetype>(0, all.size() - count)))
        context.out(line);
    co_return Success;
}

} // namespace qor::cli
