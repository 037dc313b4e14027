// qorctl status: the state in words or as one JSON object.

#include "command_line.h"
#include "state_json.h"
#include "state_report.h"

#include "runtime/clock.h"

#include <QJsonDocument>

namespace qor::cli {

QCoro::Task<int> runStatus(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("status")));
    const QCommandLineOption json(QStringLiteral("json"));
    command.parser().addOption(json);
    if (const auto exit = command.parseWithoutPositional(context, arguments))
        co_return *exit;

    AppState *app = co_await context.startedState();
    if (!app)
        co_return Failure;
    AppRoot &root = *context.root();
    const QDateTime now = root.clock().now();
    if (command.parser().isSet(json)) {
        const QJsonObject object = stateJson(*app, root.tunnels().traffic, now, context.isDemo());
        context.outRaw(QJsonDocument(object).toJson(QJsonDocument::Indented));
    } else {
        for (const QString &line : statusReport(*app, root.tunnels().traffic, now))
            context.out(line);
    }
    co_return Success;
}

} // namespace qor::cli
