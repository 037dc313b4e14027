// qorctl connect and disconnect: the globe, the mode buttons, the node list and the
// reserve switch, driven through the same AppState operations as the screens.

#include "command_line.h"
#include "state_report.h"

#include "runtime/clock.h"
#include "runtime/qt_clock.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/tunnel_manager.h"

#include <QTime>

namespace qor::cli {

namespace {

constexpr int defaultTimeoutSeconds = 120;
constexpr std::chrono::milliseconds settleTime{100};

bool isUp(std::optional<int> status)
{
    // Connecting, connected or reasserting.
    return status && *status >= 2 && *status <= 4;
}

bool tunnelsUp(AppRoot &root)
{
    return isUp(root.tunnels().tunnel.connectionStatus()) || isUp(root.tunnels().reserve.connectionStatus());
}

const QString notSignedIn = QStringLiteral(
    "Вход не выполнен — войдите командой qorctl login email АДРЕС или qorctl login telegram");
const QString approvalNeeded = QStringLiteral(
    "Нет разрешения управлять VPN-туннелями: подтвердите его паролем в окне системы (polkit) и повторите "
    "подключение");

// Why a connect ended without a connection.
QString failureText(const AppState &app)
{
    if (app.needsExtensionApproval())
        return approvalNeeded;
    if (app.connectionError())
        return *app.connectionError();
    if (app.authStage() != AuthStage::LoggedIn)
        return notSignedIn;
    return QStringLiteral("Не удалось подключиться");
}

// Prints a line, with the time, for each aspect of the state whose text changed,
// until the program is interrupted.
QCoro::Task<> followChanges(Context &context, AppState &app)
{
    QMap<QString, QString> shown;
    for (;;) {
        const QMap<QString, QString> now = watchedAspects(app);
        for (auto it = now.cbegin(); it != now.cend(); ++it) {
            if (shown.value(it.key()) != it.value() && !it.value().isEmpty())
                context.out(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ') + it.value());
        }
        shown = now;
        const auto waited = co_await context.waitFor([&] { return watchedAspects(app) != shown; }, std::chrono::hours(24));
        if (waited == Context::Wait::Interrupted)
            co_return;
        // A burst of changes settles first: a warning cleared and set again by one
        // step of the state is one line, not two.
        co_await QtClock::shared().sleep(settleTime);
    }
}

} // namespace

QCoro::Task<int> runConnect(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("connect")));
    const QCommandLineOption mode(QStringLiteral("mode"), QString(), QStringLiteral("РЕЖИМ"));
    const QCommandLineOption balancer(QStringLiteral("balancer"));
    const QCommandLineOption node(QStringLiteral("node"), QString(), QStringLiteral("АДРЕС"));
    const QCommandLineOption reserve(QStringLiteral("reserve"));
    const QCommandLineOption stay(QStringLiteral("stay"));
    const QCommandLineOption stopOnExit(QStringLiteral("stop-on-exit"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("СЕК"),
                                     QString::number(defaultTimeoutSeconds));
    command.parser().addOptions({mode, balancer, node, reserve, stay, stopOnExit, timeout});
    if (const auto exit = command.parseWithoutPositional(context, arguments))
        co_return *exit;
    QCommandLineParser &p = command.parser();
    if (int(p.isSet(balancer)) + int(p.isSet(node)) + int(p.isSet(reserve)) > 1)
        co_return command.usageError(context, QStringLiteral("укажите только одну цель: --balancer, --node или --reserve"));
    std::optional<ConnectMode> chosenMode;
    if (p.isSet(mode)) {
        chosenMode = connectModeFromRaw(p.value(mode));
        if (!chosenMode || *chosenMode == ConnectMode::Reserve)
            co_return command.usageError(context, QStringLiteral("режим: auto, main или tavrin (резервный канал — --reserve)"));
        if (p.isSet(reserve))
            co_return command.usageError(context, QStringLiteral("--mode и --reserve не сочетаются"));
    }
    bool numeric = false;
    const int timeoutSeconds = p.value(timeout).toInt(&numeric);
    if (!numeric || timeoutSeconds < 1)
        co_return command.usageError(context, QStringLiteral("--timeout ждёт целое число секунд больше нуля"));
    if (p.isSet(stopOnExit) && !p.isSet(stay))
        co_return command.usageError(context, QStringLiteral("--stop-on-exit действует только вместе с --stay"));

    AppState *app = co_await context.claimedState();
    if (!app)
        co_return Failure;
    if (app->authStage() != AuthStage::LoggedIn) {
        context.err(notSignedIn);
        co_return Failure;
    }
    std::optional<DirectNode> chosenNode;
    if (p.isSet(node)) {
        for (const DirectNode &candidate : app->directNodes()) {
            if (candidate.endpoint == p.value(node)) {
                chosenNode = candidate;
                break;
            }
        }
        if (!chosenNode) {
            context.err(QStringLiteral("Узла ") + p.value(node) + QStringLiteral(" нет в подписке; список узлов: qorctl nodes"));
            co_return Failure;
        }
    }
    if (p.isSet(stay))
        context.handleInterruptsInCommand();

    // The same operations as the screens: a mode button, then the chosen row.
    if (chosenMode)
        app->selectMode(*chosenMode); // reconnects by itself unless disconnected
    if (p.isSet(reserve)) {
        app->enableReserve();
        if (app->connectionState() != ConnectionState::Connecting) {
            // A company that withholds the reserve channel answers with a toast only.
            context.err(app->toast().value_or(QStringLiteral("Резервный канал недоступен")));
            co_return Failure;
        }
    } else if (p.isSet(balancer)) {
        app->connect(ConnectionTarget::balancer());
    } else if (chosenNode) {
        app->selectNode(*chosenNode);
    } else if (app->connectionState() == ConnectionState::Disconnected) {
        app->tapGlobe();
    }

    int result = Success;
    if (!p.isSet(stay)) {
        const auto waited = co_await context.waitFor(
            [app] {
                const ConnectionState state = app->connectionState();
                return state == ConnectionState::Connected || state == ConnectionState::Disconnected;
            },
            std::chrono::seconds(timeoutSeconds));
        if (waited == Context::Wait::TimedOut) {
            context.err(QStringLiteral("Подключение не завершилось за ") + QString::number(timeoutSeconds)
                        + QStringLiteral(" с (") + connectionLine(*app) + QStringLiteral("); остановить попытку: qorctl disconnect"));
            co_return Failure;
        }
        if (app->connectionState() != ConnectionState::Connected) {
            context.err(failureText(*app));
            co_return Failure;
        }
        context.out(connectionLine(*app));
        if (app->cascadeMode() == CascadeMode::Tavrin && app->target().kind() == ConnectionTarget::Kind::Balancer) {
            context.err(QStringLiteral("Клиент Tavrin работает, пока работает программа: для каскада Tavrin "
                                       "оставьте подключение в qorctl connect --stay"));
        }
        co_return result;
    }

    co_await followChanges(context, *app);
    if (p.isSet(stopOnExit)) {
        app->stopEverything();
        co_await context.waitForTunnelsDown();
        context.out(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ') + connectionLine(*app));
    }
    co_return result;
}

QCoro::Task<int> runDisconnect(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("disconnect")));
    if (const auto exit = command.parseWithoutPositional(context, arguments))
        co_return *exit;
    AppState *app = co_await context.claimedState();
    if (!app)
        co_return Failure;
    AppRoot &root = *context.root();
    const bool wasUp = app->connectionState() != ConnectionState::Disconnected || tunnelsUp(root);
    app->stopEverything();
    co_await context.waitForTunnelsDown();
    if (tunnelsUp(root)) {
        context.err(QStringLiteral("Туннель не остановился за ") + QString::number(int(Context::tunnelStopWaitSeconds)) + QStringLiteral(" секунд"));
        co_return Failure;
    }
    context.out(wasUp ? QStringLiteral("Отключено") : QStringLiteral("Уже отключено"));
    co_return Success;
}

} // namespace qor::cli
