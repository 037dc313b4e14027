#include "display_rules_bridge.h"

#include "display_rules.h"

namespace qor {

// QML components pass these as plain numbers (ModeOrbitButton.mode, Theme.appearance).
static_assert(int(ConnectMode::Auto) == 0 && int(ConnectMode::Main) == 1 && int(ConnectMode::Tavrin) == 2
              && int(ConnectMode::Reserve) == 3);
static_assert(int(AppAppearance::System) == 0 && int(AppAppearance::Light) == 1 && int(AppAppearance::Dark) == 2);

namespace {
using display::TargetKind;

bool absent(const QVariant &v)
{
    return !v.isValid() || v.isNull();
}

std::optional<bool> optionalBool(const QVariant &v)
{
    if (absent(v))
        return std::nullopt;
    return v.toBool();
}

std::optional<qint64> optionalInt(const QVariant &v)
{
    if (absent(v))
        return std::nullopt;
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    return ok ? std::optional<qint64>(n) : std::nullopt;
}

std::optional<QString> optionalText(const QVariant &v)
{
    if (absent(v))
        return std::nullopt;
    return v.toString();
}

// Out-of-range values from QML fall back to the first enumerator rather than
// reaching a switch with a value it does not know.
ConnectionState state(int v)
{
    return v >= 0 && v <= int(ConnectionState::Disconnecting) ? ConnectionState(v) : ConnectionState::Disconnected;
}

ConnectMode mode(int v)
{
    return v >= 0 && v <= int(ConnectMode::Reserve) ? ConnectMode(v) : ConnectMode::Auto;
}

TargetKind kind(int v)
{
    return v >= 0 && v <= int(TargetKind::Reserve) ? TargetKind(v) : TargetKind::Balancer;
}
} // namespace

DisplayRules::DisplayRules(QObject *parent)
    : QObject(parent)
{
}

int DisplayRules::accentColor(int targetKind, int m) const { return int(display::accentColor(kind(targetKind), mode(m))); }
int DisplayRules::modeColor(int m) const { return int(display::modeColor(mode(m))); }
bool DisplayRules::reserveActive(int targetKind, int s) const { return display::reserveActive(kind(targetKind), state(s)); }

QString DisplayRules::statusTitle(const QString &progress, int s, int targetKind, const QString &targetName) const
{
    const std::optional<QString> p = progress.isEmpty() ? std::nullopt : std::optional<QString>(progress);
    return display::statusTitle(p, state(s), kind(targetKind), targetName).value_or(QString());
}

QString DisplayRules::statusSubtitle(int s, int m, int targetKind) const
{
    return display::statusSubtitle(state(s), mode(m), kind(targetKind)).value_or(QString());
}

QString DisplayRules::globeAccessibilityLabel(bool active) const { return display::globeAccessibilityLabel(active); }

int DisplayRules::networkHealthLevel(const QVariant &subscriptionActive, int directNodeCount, int measuredNodeCount) const
{
    return int(display::networkHealthLevel(optionalBool(subscriptionActive), directNodeCount, measuredNodeCount));
}

int DisplayRules::healthColor(int level) const
{
    if (level < 0 || level > int(display::HealthLevel::Unmeasured))
        level = int(display::HealthLevel::Unmeasured);
    return int(display::healthColor(display::HealthLevel(level)));
}

QString DisplayRules::networkStatusLabel(bool refreshing) const { return display::networkStatusLabel(refreshing); }
QString DisplayRules::statusRefreshToast(bool refreshed) const { return display::statusRefreshToast(refreshed); }

QString DisplayRules::versionText(const QVariant &shortVersion, const QVariant &bundleVersion) const
{
    return display::versionText(shortVersion, bundleVersion);
}

QString DisplayRules::countLine(int measured, int total) const { return display::countLine(measured, total); }

QString DisplayRules::latencyText(const QVariant &milliseconds) const
{
    const auto ms = optionalInt(milliseconds);
    return display::latencyText(ms && *ms >= 0 ? std::optional<quint64>(quint64(*ms)) : std::nullopt);
}

int DisplayRules::latencyColor(const QVariant &milliseconds) const
{
    const auto ms = optionalInt(milliseconds);
    return int(display::latencyColor(ms && *ms >= 0 ? std::optional<quint64>(quint64(*ms)) : std::nullopt));
}

QString DisplayRules::nameLine(const QVariant &corporateCompany, const QVariant &telegramUsername) const
{
    return display::nameLine(optionalText(corporateCompany), optionalText(telegramUsername));
}

QString DisplayRules::subscriptionStatusText(const QVariant &isActive) const
{
    return display::subscriptionStatusText(optionalBool(isActive));
}

int DisplayRules::subscriptionStatusColor(const QVariant &isActive) const
{
    return int(display::subscriptionStatusColor(optionalBool(isActive)));
}

QString DisplayRules::expiryText(const QVariant &expiresAt) const
{
    if (absent(expiresAt))
        return display::expiryText(std::nullopt);
    return display::expiryText(expiresAt.toDateTime());
}

QString DisplayRules::byteText(double bytes) const { return display::byteText(qint64(bytes)); }
QString DisplayRules::trafficLimitText(const QVariant &limit) const { return display::trafficLimitText(optionalInt(limit)); }
QString DisplayRules::trafficUsedText(const QVariant &used) const { return display::trafficUsedText(optionalInt(used)); }
QString DisplayRules::deleteButtonTitle(bool deleting) const { return display::deleteButtonTitle(deleting); }
QString DisplayRules::modeName(int m) const { return display::modeName(mode(m)); }
QString DisplayRules::modeSymbol(int m) const { return display::modeSymbol(mode(m)); }
bool DisplayRules::canRequestCode(const QString &email, bool busy) const { return display::canRequestCode(email, busy); }
bool DisplayRules::canVerifyCode(const QString &code, bool busy) const { return display::canVerifyCode(code, busy); }

} // namespace qor
