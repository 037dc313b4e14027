#include "display_rules.h"

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

QString globeAccessibilityLabel(bool active)
{
    return active ? QStringLiteral("Отключиться") : QStringLiteral("Подключиться");
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

PaletteRole latencyColor(std::optional<quint64> milliseconds)
{
    // A missing result takes the fast colour too: only a measured slow node is gold.
    return milliseconds && *milliseconds > 99 ? PaletteRole::Gold : PaletteRole::OkGreen;
}

PaletteRole subscriptionStatusColor(std::optional<bool> isActive)
{
    if (!isActive)
        return PaletteRole::NeutralGrey;
    return *isActive ? PaletteRole::OkGreen : PaletteRole::DangerRed;
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
