// qorctl nodes: the balancer and the direct nodes in the network panel's order.

#include "command_line.h"
#include "state_json.h"

#include "runtime/clock.h"
#include "shell/state_texts.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace qor::cli {

QCoro::Task<int> runNodes(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("nodes")));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption measure(QStringLiteral("measure"));
    command.parser().addOptions({json, measure});
    if (const auto exit = command.parseWithoutPositional(context, arguments))
        co_return *exit;

    AppState *app = co_await context.startedState();
    if (!app)
        co_return Failure;
    if (command.parser().isSet(measure))
        co_await app->measureNodeLatency();

    AppRoot &root = *context.root();
    if (command.parser().isSet(json)) {
        QJsonObject object = stateJson(*app, root.tunnels().traffic, root.clock().now(), context.isDemo());
        object.insert(QStringLiteral("nodes"), nodeRowsJson(*app));
        context.outRaw(QJsonDocument(object).toJson(QJsonDocument::Indented));
        co_return Success;
    }

    if (app->directNodes().isEmpty()) {
        context.out(QStringLiteral("Список узлов придёт вместе с подпиской"));
        co_return Success;
    }
    const QJsonArray rows = nodeRowsJson(*app);
    for (const QJsonValue &value : rows) {
        const QJsonObject row = value.toObject();
        const QString mark = row.value(QStringLiteral("selected")).toBool() ? QStringLiteral("✓ ") : QStringLiteral("  ");
        const QString label = row.value(QStringLiteral("label")).toString();
        if (row.value(QStringLiteral("kind")).toString() == QStringLiteral("balancer")) {
            context.out(mark + label.leftJustified(16) + QStringLiteral("Рекомендованно для большинства пользователей"));
            continue;
        }
        context.out(mark + label.leftJustified(16) + row.value(QStringLiteral("endpoint")).toString().leftJustified(24)
                    + row.value(QStringLiteral("latencyText")).toString());
    }
    context.out(state_texts::nodeCountLine(*app));
    if (app->latencyNeedsDisconnect())
        context.out(QStringLiteral("Задержки измеряются при выключенном подключении"));
    co_return Success;
}

} // namespace qor::cli
