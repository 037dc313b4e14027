#include "display_texts.h"

#include <QLocale>

namespace qor::display {

std::optional<QString> statusTitle(const std::optional<QString> &progress, ConnectionState state,
                                   TargetKind target, const QString &targetName)
{
    if (progress)
        return *progress;
    switch (state) {
    case ConnectionState::Connecting: return QStringLiteral("Подключение…");
    case ConnectionState::Disconnecting: return QStringLiteral("Отключение…");
    case ConnectionState::Disconnected:
        return QStringLiteral("Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor");
    case ConnectionState::Connected:
        if (target == TargetKind::Reserve)
            return std::nullopt;
        return QStringLiteral("Подключено · ") + targetName;
    }
    return std::nullopt;
}

std::optional<QString> statusSubtitle(ConnectionState state, ConnectMode mode, TargetKind target)
{
    if (state != ConnectionState::Connected)
        return std::nullopt;
    // The mode decides first, unless the target is the reserve or the mode is.
    if (target != TargetKind::Reserve) {
        switch (mode) {
        case ConnectMode::Auto: return QStringLiteral("распределённый доступ · автоматический выбор узла");
        case ConnectMode::Main: return QStringLiteral("распределённый доступ · автоматический выбор основного узла");
        case ConnectMode::Tavrin: return QStringLiteral("распределённый доступ · автоматический выбор узла Tavrin");
        case ConnectMode::Reserve: break;
        }
    }
    switch (target) {
    case TargetKind::Reserve: return QStringLiteral("АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ");
    case TargetKind::Node: return QStringLiteral("прямое подключение · быстрый канал");
    case TargetKind::Balancer: return QStringLiteral("распределённый доступ · автоматический выбор узла");
    }
    return std::nullopt;
}

HealthLevel networkHealthLevel(std::optional<bool> subscriptionActive, int directNodeCount, int measuredNodeCount)
{
    if ((subscriptionActive && !*subscriptionActive) || directNodeCount <= 0)
        return HealthLevel::Down;
    if (measuredNodeCount == 0)
        return HealthLevel::Unmeasured;
    // measured / total ≥ 0.75, compared in integers so that exactly 3 of 4 is healthy.
    if (qint64(measuredNodeCount) * 4 >= qint64(directNodeCount) * 3)
        return HealthLevel::Ok;
    return HealthLevel::Degraded;
}

QString countLine(int measuredNodeCount, int directNodeCount)
{
    if (measuredNodeCount > 0)
        return QStringLiteral("Отвечают %1 из %2 серверов").arg(measuredNodeCount).arg(directNodeCount);
    return QStringLiteral("Серверов: %1").arg(directNodeCount);
}

QString latencyText(std::optional<quint64> milliseconds)
{
    if (!milliseconds)
        return QStringLiteral("—");
    return QString::number(*milliseconds) + QStringLiteral(" мс");
}

QString nameLine(const std::optional<QString> &corporateCompany, const std::optional<QString> &telegramUsername)
{
    if (corporateCompany && !corporateCompany->isEmpty())
        return *corporateCompany;
    if (telegramUsername && !telegramUsername->isEmpty())
        return QLatin1Char('@') + *telegramUsername;
    return QStringLiteral("Клиент Telegram");
}

QString subscriptionStatusText(std::optional<bool> isActive)
{
    if (!isActive)
        return QStringLiteral("—");
    return *isActive ? QStringLiteral("● Активна") : QStringLiteral("● Неактивна");
}

QString expiryText(const std::optional<QDateTime> &expiresAt)
{
    if (!expiresAt || !expiresAt->isValid())
        return QStringLiteral("—");
    return QLocale(QLocale::Russian, QLocale::Russia).toString(expiresAt->toLocalTime().date(), QStringLiteral("d MMMM yyyy"));
}

QString byteText(qint64 bytes)
{
    // C formatting: a decimal point whatever the locale, printf's rounding.
    const double b = double(bytes);
    if (bytes < 1024)
        return QStringLiteral("0 КБ");
    if (bytes < 1048576)
        return QString::asprintf("%.0f ", b / 1024.0) + QStringLiteral("КБ");
    if (bytes < 1073741824)
        return QString::asprintf("%.0f ", b / 1048576.0) + QStringLiteral("МБ");
    return QString::asprintf("%.1f ", b / 1073741824.0) + QStringLiteral("ГБ");
}

QString trafficLimitText(std::optional<qint64> limitBytes)
{
    if (!limitBytes)
        return QStringLiteral("—");
    if (*limitBytes < 1)
        return QStringLiteral("без ограничений");
    return byteText(*limitBytes);
}

QString trafficUsedText(std::optional<qint64> usedBytes)
{
    return usedBytes ? byteText(*usedBytes) : QStringLiteral("—");
}

} // namespace qor::display
