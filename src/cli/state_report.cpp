#include "state_report.h"

#include "shell/state_texts.h"

#include "core/app_state.h"
#include "tunnel/traffic_monitor.h"

namespace qor::cli {

namespace {
QString row(const QString &label, const QString &value)
{
    return (label + QLatin1Char(':')).leftJustified(20) + value;
}
} // namespace

QString connectionLine(const AppState &app)
{
    const QString target = app.target().name();
    switch (app.connectionState()) {
    case ConnectionState::Connected:
        return QStringLiteral("Подключено · ") + target;
    case ConnectionState::Connecting:
        return QStringLiteral("Подключение… (") + target + QLatin1Char(')');
    case ConnectionState::Disconnecting:
        return QStringLiteral("Отключение…");
    case ConnectionState::Disconnected:
        break;
    }
    return QStringLiteral("Отключено");
}

QString authStageText(const AppState &app)
{
    switch (app.authStage()) {
    case AuthStage::LoggedIn:
        return QStringLiteral("выполнен");
    case AuthStage::WaitingForTelegram:
        return QStringLiteral("ждём подтверждения в Telegram");
    case AuthStage::NoSubscription:
        return QStringLiteral("для этого аккаунта доступ не активен");
    case AuthStage::Idle:
        break;
    }
    return QStringLiteral("не выполнен");
}

QStringList statusReport(const AppState &app, const TrafficMonitor &traffic, const QDateTime &now)
{
    QStringList lines;
    QString signIn = authStageText(app);
    if (app.authStage() == AuthStage::LoggedIn)
        signIn += QStringLiteral(" · ") + state_texts::accountName(app);
    lines << row(QStringLiteral("Вход"), signIn);
    if (app.signOutNotice())
        lines << row(QStringLiteral("Уведомление"), *app.signOutNotice());
    if (app.authStage() == AuthStage::LoggedIn) {
        const SubscriptionInfo &subscription = app.subscription();
        lines << row(QStringLiteral("Подписка"), state_texts::subscriptionStatusText(subscription)
                                                    + QStringLiteral(" · действует до ") + state_texts::expiresText(subscription));
        lines << row(QStringLiteral("Трафик"), state_texts::trafficUsedText(subscription) + QStringLiteral(" из ")
                                                  + state_texts::trafficLimitText(subscription));
        if (app.isCorporate())
            lines << row(QStringLiteral("Рабочее окно"), app.corporateSessionSummary());
        if (app.reserveBlockedByCompany())
            lines << row(QStringLiteral("Резервный канал"), QStringLiteral("не выдан"));
    }
    lines << row(QStringLiteral("Подключение"), connectionLine(app));
    if (const auto subtitle = state_texts::statusSubtitle(app))
        lines << QString(20, QLatin1Char(' ')) + *subtitle;
    lines << row(QStringLiteral("Цель"), app.target().name());
    lines << row(QStringLiteral("Режим"), rawText(app.connectMode()) + QStringLiteral(" (каскад ") + rawText(app.cascadeMode())
                                             + QLatin1Char(')'));
    lines << row(QStringLiteral("Время подключения"), app.connectionDuration(now));
    lines << row(QStringLiteral("Скорость"), QStringLiteral("↓ ") + TrafficMonitor::formatSpeed(traffic.downloadBytesPerSecond())
                                                + QStringLiteral("  ↑ ") + TrafficMonitor::formatSpeed(traffic.uploadBytesPerSecond()));
    lines << row(QStringLiteral("За сеанс"), QStringLiteral("↓ ") + TrafficMonitor::formatBytes(traffic.sessionDownloadBytes())
                                                + QStringLiteral("  ↑ ") + TrafficMonitor::formatBytes(traffic.sessionUploadBytes()));
    if (app.connectionProgress())
        lines << row(QStringLiteral("Ход подключения"), QString(*app.connectionProgress()).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    if (app.connectionError())
        lines << row(QStringLiteral("Ошибка"), *app.connectionError());
    if (app.sessionWarning())
        lines << row(QStringLiteral("Предупреждение"), *app.sessionWarning());
    if (const auto stale = app.corporateStaleNotice())
        lines << row(QStringLiteral("Правила компании"), *stale);
    if (app.needsExtensionApproval())
        lines << row(QStringLiteral("Расширение"), QStringLiteral("ждёт разрешения"));
    if (app.toast())
        lines << row(QStringLiteral("Сообщение"), *app.toast());
    return lines;
}

QMap<QString, QString> watchedAspects(const AppState &app)
{
    const auto plain = [](const std::optional<QString> &value) {
        return value ? QString(*value).replace(QLatin1Char('\n'), QLatin1Char(' ')) : QString();
    };
    return {
        {QStringLiteral("1 connection"), connectionLine(app)},
        {QStringLiteral("2 sign-in"), QStringLiteral("Вход: ") + authStageText(app)},
        {QStringLiteral("3 progress"), plain(app.connectionProgress())},
        {QStringLiteral("4 error"), app.connectionError() ? QStringLiteral("Ошибка: ") + plain(app.connectionError()) : QString()},
        {QStringLiteral("5 warning"), plain(app.sessionWarning())},
        {QStringLiteral("6 notice"), plain(app.signOutNotice())},
        {QStringLiteral("7 toast"), plain(app.toast())},
        {QStringLiteral("8 approval"), app.needsExtensionApproval() ? QStringLiteral("Расширение ждёт разрешения") : QString()},
    };
}

} // namespace qor::cli
