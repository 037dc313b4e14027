// qorctl login: the e-mail code and the messenger login, with the sign-in
// screens' texts for each outcome.

#include "command_line.h"
#include "stdin_line.h"

#include "account/email_login_service.h"
#include "account/telegram_login_service.h"
#include "shell/state_texts.h"

namespace qor::cli {

namespace {

const QString noSubscriptionText = QStringLiteral(
    "Для этого аккаунта доступ не активен. Проверьте, что вошли под нужным аккаунтом, и повторите вход.");

// The outcome of an applied login result, as the sign-in screen shows it.
int reportSignIn(Context &context, const AppState &app, const QString &unconfirmed)
{
    switch (app.authStage()) {
    case AuthStage::LoggedIn:
        context.out(QStringLiteral("Вход выполнен: ") + state_texts::accountName(app));
        return Success;
    case AuthStage::NoSubscription:
        context.err(noSubscriptionText);
        return Failure;
    case AuthStage::WaitingForTelegram:
    case AuthStage::Idle:
        break;
    }
    context.err(app.signOutNotice().value_or(unconfirmed));
    return Failure;
}

QCoro::Task<int> loginByEmail(Context &context, const CommandParser &command, const QString &address,
                              std::optional<QString> code)
{
    // The sign-in screen offers no request for an address without "@", nor a sign-in
    // with a code shorter than four characters.
    if (!address.contains(QLatin1Char('@')))
        co_return command.usageError(context, QStringLiteral("адрес email должен содержать «@»"));
    if (code && code->size() < 4)
        co_return command.usageError(context, QStringLiteral("код входа — не короче 4 символов"));
    AppState *app = co_await context.claimedState();
    if (!app)
        co_return Failure;
    EmailLoginService &email = context.root()->emailLogin();

    switch (co_await email.requestCode(address)) {
    case RequestCodeResult::Sent:
        context.out(QStringLiteral("Код отправлен на ") + address);
        break;
    case RequestCodeResult::InvalidEmail:
        context.err(QStringLiteral("Проверьте правильность email."));
        co_return Failure;
    case RequestCodeResult::Failed:
        context.err(QStringLiteral("Не удалось отправить запрос. Проверьте соединение и попробуйте снова."));
        co_return Failure;
    }

    if (!code) {
        if (standardInputIsTerminal())
            context.err(QStringLiteral("Введите код из письма:"));
        // Waiting for the user: an interrupt ends the read, and the command with it.
        const CancelToken interrupt = CancelToken::create();
        const QMetaObject::Connection onInterrupt = QObject::connect(&context, &Context::changed, &context, [&context, interrupt] {
            if (context.interrupted())
                interrupt.cancel();
        });
        context.handleInterruptsInCommand(true);
        code = co_await readStandardInputLine(interrupt);
        context.handleInterruptsInCommand(false);
        QObject::disconnect(onInterrupt);
        if (context.interrupted())
            co_return 128 + context.interruptSignal();
        if (!code || code->trimmed().isEmpty()) {
            context.err(QStringLiteral("Код не введён"));
            co_return Failure;
        }
        if (code->size() < 4) {
            context.err(QStringLiteral("Код входа — не короче 4 символов"));
            co_return Failure;
        }
    }

    const VerifyCodeResult verified = co_await email.verifyCode(address, *code);
    switch (verified.kind) {
    case VerifyCodeResult::Kind::Ok:
        app->applyLoginResult(*verified.login);
        co_return reportSignIn(context, *app, QStringLiteral("Не удалось войти. Попробуйте снова."));
    case VerifyCodeResult::Kind::InvalidCode:
        context.err(QStringLiteral("Неверный код, попробуйте ещё раз."));
        break;
    case VerifyCodeResult::Kind::Expired:
        context.err(QStringLiteral("Код устарел. Запросите новый."));
        break;
    case VerifyCodeResult::Kind::NetworkError:
        context.err(QStringLiteral("Не удалось проверить код. Проверьте соединение и попробуйте снова."));
        break;
    }
    co_return Failure;
}

QCoro::Task<int> loginByTelegram(Context &context)
{
    AppState *app = co_await context.claimedState();
    if (!app)
        co_return Failure;
    // Prints the deep link through the front end's "open address" service.
    app->startTelegramLogin();
    context.out(QStringLiteral("Ждём подтверждения в Telegram…"));
    const auto limit = TelegramLoginService::pollDeadline + std::chrono::seconds(15);
    const auto waited = co_await context.waitFor([app] { return app->authStage() != AuthStage::WaitingForTelegram; }, limit);
    if (waited != Context::Wait::Done) {
        context.root()->login().cancelPolling();
        app->setAuthStage(AuthStage::Idle);
    }
    co_return reportSignIn(context, *app, QStringLiteral("Вход через Telegram не подтверждён. Попробуйте снова."));
}

} // namespace

QCoro::Task<int> runLogin(Context &context, QStringList arguments)
{
    CommandParser command(*findCommand(QStringLiteral("login")));
    const QCommandLineOption code(QStringLiteral("code"), QString(), QStringLiteral("КОД"));
    command.parser().addOption(code);
    if (const auto exit = command.parse(context, arguments))
        co_return *exit;
    const QStringList positional = command.positional();
    const QString method = positional.value(0);
    if (method == QStringLiteral("email")) {
        if (positional.size() != 2)
            co_return command.usageError(context, QStringLiteral("укажите один адрес email"));
        std::optional<QString> given;
        if (command.parser().isSet(code))
            given = command.parser().value(code);
        co_return co_await loginByEmail(context, command, positional.at(1), given);
    }
    if (method == QStringLiteral("telegram")) {
        if (positional.size() != 1 || command.parser().isSet(code))
            co_return command.usageError(context, QStringLiteral("вход через Telegram не принимает аргументов"));
        co_return co_await loginByTelegram(context);
    }
    co_return command.usageError(context, QStringLiteral("укажите способ входа: email или telegram"));
}

} // namespace qor::cli
