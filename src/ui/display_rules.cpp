#include "display_rules.h"

#include <QLocale>

namespace qor::display {

PaletteRole modeColor(ConnectMode mode)
{
    switch (mode) {
    case ConnectMode::Auto: return PaletteRole::AutoAmber;
    case ConnectMode::Main: return PaletteRole::MainGreen;
    case ConnectMode::Tavrin: return PaletteRole::TavrinBlue;
    case ConnectMode::Reserve: return PaletteRole::ReserveRed;
    }
    return PaletteRole::AutoAmber;
}

PaletteRole accentColor(TargetKind target, ConnectMode mode)
{
    switch (target) {
    case TargetKind::Node: return PaletteRole::NodePurple;
    case TargetKind::Reserve: return PaletteRole::ReserveRed;
    case TargetKind::Balancer: break;
    }
    return modeColor(mode);
}

bool reserveActive(TargetKind target, ConnectionState state)
{
    return target == TargetKind::Reserve
        && (state == ConnectionState::Connected || state == ConnectionState::Connecting);
}

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

QString globeAccessibilityLabel(bool active)
{
    return active ? QStringLiteral("Отключиться") : QStringLiteral("Подключиться");
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

PaletteRole healthColor(HealthLevel level)
{
    switch (level) {
    case HealthLevel::Ok: return PaletteRole::OkGreen;
    case HealthLevel::Degraded: return PaletteRole::SystemYellow;
    case HealthLevel::Down: return PaletteRole::DangerRed;
    case HealthLevel::Unmeasured: return PaletteRole::NeutralGrey;
    }
    return PaletteRole::NeutralGrey;
}

QString networkStatusLabel(bool refreshing)
{
    return refreshing ? QStringLiteral("Обновляем…") : QStringLiteral("Статус сети Qor");
}

QString statusRefreshToast(bool refreshed)
{
    return refreshed ? QStringLiteral("Статус обновлён") : QStringLiteral("Не получилось обновить статус");
}

QString versionText(const QVariant &shortVersion, const QVariant &bundleVersion)
{
    const auto text = [](const QVariant &v) {
        return v.metaType() == QMetaType::fromType<QString>() ? v.toString() : QStringLiteral("—");
    };
    return QStringLiteral("версия ") + text(shortVersion) + QStringLiteral(" (") + text(bundleVersion) + QLatin1Char(')');
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

PaletteRole latencyColor(std::optional<quint64> milliseconds)
{
    // A missing result takes the fast colour too: only a measured slow node is gold.
    return milliseconds && *milliseconds > 99 ? PaletteRole::Gold : PaletteRole::OkGreen;
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

PaletteRole subscriptionStatusColor(std::optional<bool> isActive)
{
    if (!isActive)
        return PaletteRole::NeutralGrey;
    return *isActive ? PaletteRole::OkGreen : PaletteRole::DangerRed;
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

QString deleteButtonTitle(bool deleting)
{
    return deleting ? QStringLiteral("Удаляем…") : QStringLiteral("Удалить аккаунт");
}

QString trayIconName(ConnectionState state, TargetKind target)
{
    switch (state) {
    case ConnectionState::Connecting:
    case ConnectionState::Disconnecting:
        return QStringLiteral("globe.badge.chevron.backward");
    case ConnectionState::Disconnected:
        return QStringLiteral("globe");
    case ConnectionState::Connected:
        return target == TargetKind::Reserve ? QStringLiteral("exclamationmark.shield.fill")
                                             : QStringLiteral("globe.americas.fill");
    }
    return QStringLiteral("globe");
}

QString modeName(ConnectMode mode)
{
    switch (mode) {
    case ConnectMode::Auto: return QStringLiteral("Авто");
    case ConnectMode::Main: return QStringLiteral("Основной");
    case ConnectMode::Tavrin: return QStringLiteral("Tavrin");
    case ConnectMode::Reserve: return QStringLiteral("Резерв");
    }
    return QString();
}

QString modeSymbol(ConnectMode mode)
{
    switch (mode) {
    case ConnectMode::Auto: return QStringLiteral("sparkles");
    case ConnectMode::Main: return QStringLiteral("checkmark.shield.fill");
    case ConnectMode::Tavrin: return QString();
    case ConnectMode::Reserve: return QStringLiteral("cross.case.fill");
    }
    return QString();
}

QString menuHeaderTitle(std::optional<ConnectionState> state, ConnectMode mode)
{
    if (!state)
        return QStringLiteral("Отключено");
    switch (*state) {
    case ConnectionState::Disconnected: return QStringLiteral("Отключено");
    case ConnectionState::Connecting: return QStringLiteral("Подключение…");
    case ConnectionState::Disconnecting: return QStringLiteral("Отключение…");
    case ConnectionState::Connected: return QStringLiteral("Подключено · ") + modeName(mode);
    }
    return QStringLiteral("Отключено");
}

QString menuTimeLine(const QString &durationText)
{
    return QStringLiteral("Время: ") + durationText;
}

QString menuSpeedLine(const QString &download, const QString &upload)
{
    return QStringLiteral("Скорость: ↓ ") + download + QStringLiteral("   ↑ ") + upload;
}

QString menuTrafficLine(const QString &download, const QString &upload)
{
    return QStringLiteral("Трафик: ↓ ") + download + QStringLiteral("   ↑ ") + upload;
}

QString connectItemTitle(std::optional<ConnectionState> state)
{
    if (!state)
        return QStringLiteral("Подключить");
    switch (*state) {
    case ConnectionState::Disconnected: return QStringLiteral("Подключить");
    case ConnectionState::Connected: return QStringLiteral("Отключить");
    case ConnectionState::Connecting: return QStringLiteral("Подключение…");
    case ConnectionState::Disconnecting: return QStringLiteral("Отключение…");
    }
    return QStringLiteral("Подключить");
}

bool reserveOn(TargetKind target, ConnectionState state)
{
    return target == TargetKind::Reserve && state != ConnectionState::Disconnected;
}

QString reserveItemTitle(bool on)
{
    return on ? QStringLiteral("Выключить резервный канал") : QStringLiteral("Активировать резервный канал");
}

bool connectionItemsEnabled(std::optional<ConnectionState> state)
{
    return state != ConnectionState::Connecting;
}

bool canRequestCode(const QString &email, bool busy)
{
    return !busy && email.contains(QLatin1Char('@'));
}

bool canVerifyCode(const QString &code, bool busy)
{
    return !busy && code.size() >= 4;
}

} // namespace qor::display
