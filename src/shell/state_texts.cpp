#include "state_texts.h"

#include "core/app_state.h"

#include <QLocale>

namespace qor::state_texts {

namespace {
const QString dash = QStringLiteral("—");

QString fixed(double value, int decimals)
{
    // A decimal point in every locale, as the traffic texts elsewhere.
    return QString::number(value, 'f', decimals);
}
} // namespace

QString statusTitle(const AppState &app)
{
    if (app.connectionProgress())
        return *app.connectionProgress();
    switch (app.connectionState()) {
    case ConnectionState::Connecting:
        return QStringLiteral("Подключение…");
    case ConnectionState::Disconnecting:
        return QStringLiteral("Отключение…");
    case ConnectionState::Disconnected:
        return QStringLiteral("Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor");
    case ConnectionState::Connected:
        break;
    }
    if (app.target().kind() == ConnectionTarget::Kind::Reserve)
        return {};
    return QStringLiteral("Подключено · ") + app.target().name();
}

std::optional<QString> statusSubtitle(const AppState &app)
{
    if (app.connectionState() != ConnectionState::Connected)
        return std::nullopt;
    const auto kind = app.target().kind();
    if (kind != ConnectionTarget::Kind::Reserve) {
        switch (app.connectMode()) {
        case ConnectMode::Auto:
            return QStringLiteral("распределённый доступ · автоматический выбор узла");
        case ConnectMode::Main:
            return QStringLiteral("распределённый доступ · автоматический выбор основного узла");
        case ConnectMode::Tavrin:
            return QStringLiteral("распределённый доступ · автоматический выбор узла Tavrin");
        case ConnectMode::Reserve:
            break;
        }
    }
    switch (kind) {
    case ConnectionTarget::Kind::Reserve:
        return QStringLiteral("АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ");
    case ConnectionTarget::Kind::Node:
        return QStringLiteral("прямое подключение · быстрый канал");
    case ConnectionTarget::Kind::Balancer:
        break;
    }
    return QStringLiteral("распределённый доступ · автоматический выбор узла");
}

int networkHealthLevel(const AppState &app)
{
    const qsizetype nodes = app.directNodes().size();
    if (app.subscription().isActive == std::optional<bool>(false) || nodes == 0)
        return 2;
    const int measured = app.measuredNodeCount();
    if (measured == 0)
        return 3;
    return double(measured) / double(nodes) >= 0.75 ? 0 : 1;
}

QString nodeCountLine(const AppState &app)
{
    const int measured = app.measuredNodeCount();
    const QString total = QString::number(app.directNodes().size());
    if (measured > 0)
        return QStringLiteral("Отвечают ") + QString::number(measured) + QStringLiteral(" из ") + total + QStringLiteral(" серверов");
    return QStringLiteral("Серверов: ") + total;
}

QString latencyText(std::optional<quint64> milliseconds)
{
    return milliseconds ? QString::number(*milliseconds) + QStringLiteral(" мс") : dash;
}

QString accountName(const AppState &app)
{
    if (const auto &corporate = app.corporate(); corporate && corporate->company && !corporate->company->isEmpty())
        return *corporate->company;
    if (const auto &name = app.telegramUsername(); name && !name->isEmpty())
        return QStringLiteral("@") + *name;
    return QStringLiteral("Клиент Telegram");
}

QString subscriptionStatusText(const SubscriptionInfo &subscription)
{
    if (!subscription.isActive)
        return dash;
    return *subscription.isActive ? QStringLiteral("● Активна") : QStringLiteral("● Неактивна");
}

QString expiresText(const SubscriptionInfo &subscription)
{
    if (!subscription.expiresAt)
        return dash;
    static const QLocale russian(QLocale::Russian, QLocale::Russia);
    return russian.toString(subscription.expiresAt->toLocalTime().date(), QStringLiteral("d MMMM yyyy"));
}

QString trafficLimitText(const SubscriptionInfo &subscription)
{
    if (!subscription.trafficLimitBytes)
        return dash;
    if (*subscription.trafficLimitBytes < 1)
        return QStringLiteral("без ограничений");
    return byteText(*subscription.trafficLimitBytes);
}

QString trafficUsedText(const SubscriptionInfo &subscription)
{
    return subscription.trafficUsedBytes ? byteText(*subscription.trafficUsedBytes) : dash;
}

QString byteText(qint64 bytes)
{
    constexpr double kib = 1024.0;
    constexpr double mib = kib * 1024.0;
    constexpr double gib = mib * 1024.0;
    if (bytes < 1024)
        return QStringLiteral("0 КБ");
    if (bytes < 1048576)
        return fixed(double(bytes) / kib, 0) + QStringLiteral(" КБ");
    if (bytes < 1073741824)
        return fixed(double(bytes) / mib, 0) + QStringLiteral(" МБ");
    return fixed(double(bytes) / gib, 1) + QStringLiteral(" ГБ");
}

} // namespace qor::state_texts
