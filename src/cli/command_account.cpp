// qorctl refresh, logout and delete-account: the session commands of the profile.

#include "command_line.h"

namespace qor::cli {

QCoro::Task<int> runRefresh(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("refresh")));
    if (const auto exit = command.parseWithoutPositional(context, arguments))
        co_return *exit;
    AppState *app = co_await context.claimedState();
    if (!app)
        co_return Failure;
    if (co_await app->refreshSession()) {
        context.out(QStringLiteral("Статус обновлён"));
        co_return Success;
    }
    context.err(QStringLiteral("Не получилось обновить статус"));
    // A revoked session has signed the user out on the way; say so.
    if (app->signOutNotice())
        context.err(*app->signOutNotice());
    co_return Failure;
}

QCoro::Task<int> runLogout(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("logout")));
    if (const auto exit = command.parseWithoutPositional(context, arguments))
        co_return *exit;
    AppState *app = co_await context.claimedState();
    if (!app)
        co_return Failure;
    const bool wasSignedIn = app->authStage() == AuthStage::LoggedIn;
    // The user's own sign-out stops the tunnels too: none keeps running for an account that left.
    app->signOutAndStop();
    co_await context.waitForTunnelsDown();
    context.out(wasSignedIn ? QStringLiteral("Вы вышли из аккаунта") : QStringLiteral("Вход не был выполнен"));
    co_return Success;
}

QCoro::Task<int> runDeleteAccount(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("delete-account")));
    const QCommandLineOption yes(QStringLiteral("yes"));
    command.parser().addOption(yes);
    if (const auto exit = command.parseWithoutPositional(context, arguments))
        co_return *exit;
    if (!command.parser().isSet(yes)) {
        co_return command.usageError(context, QStringLiteral("аккаунт и все связанные с ним данные будут удалены без "
                                                             "возможности восстановления; подтвердите параметром --yes"));
    }
    AppState *app = co_await context.claimedState();
    if (!app)
        co_return Failure;
    const bool hadSession = app->sessionToken.has_value();
    const bool deleted = co_await app->deleteAccount();
    if (hadSession)
        co_await context.waitForTunnelsDown();
    if (!deleted) {
        context.err(QStringLiteral("Не получилось удалить аккаунт"));
        co_return Failure;
    }
    context.out(QStringLiteral("Аккаунт удалён"));
    co_return Success;
}

} // namespace qor::cli
