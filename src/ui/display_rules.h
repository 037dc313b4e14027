#pragma once

#include "core/app_types.h"
#include "palette.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <optional>

// The rules that turn application state into the texts, colours and levels the
// screens and the status-bar menu show. Pure functions over plain values, so the
// screens stay free of logic and the rules can be tested one by one.
namespace qor::display {

using TargetKind = ConnectionTarget::Kind;

// Network health shown by the status dot of the connect screen and the count line.
enum class HealthLevel { Ok = 0, Degraded = 1, Down = 2, Unmeasured = 3 };

// --- Connect screen ---------------------------------------------------------

PaletteRole modeColor(ConnectMode mode);
// A direct node → node purple, the reserve → reserve red, otherwise the mode's colour.
PaletteRole accentColor(TargetKind target, ConnectMode mode);
// The reserve is the target and the tunnel is up or coming up.
bool reserveActive(TargetKind target, ConnectionState state);
// Absent when there is no title line (connected through the reserve).
std::optional<QString> statusTitle(const std::optional<QString> &progress, ConnectionState state,
                                   TargetKind target, const QString &targetName);
// Present only while connected.
std::optional<QString> statusSubtitle(ConnectionState state, ConnectMode mode, TargetKind target);
QString globeAccessibilityLabel(bool active);
// `subscriptionActive` absent does not count as inactive.
HealthLevel networkHealthLevel(std::optional<bool> subscriptionActive, int directNodeCount, int measuredNodeCount);
PaletteRole healthColor(HealthLevel level);
QString networkStatusLabel(bool refreshing);
QString statusRefreshToast(bool refreshed);
// "версия 1.4 (27)"; a missing or non-text value reads "—".
QString versionText(const QVariant &shortVersion, const QVariant &bundleVersion);

// --- Network and nodes panel -----------------------------------------------

QString countLine(int measuredNodeCount, int directNodeCount);
QString latencyText(std::optional<quint64> milliseconds);
PaletteRole latencyColor(std::optional<quint64> milliseconds);

// --- Profile panel ----------------------------------------------------------

// `corporateCompany` is present exactly when a corporate record exists.
QString nameLine(const std::optional<QString> &corporateCompany, const std::optional<QString> &telegramUsername);
QString subscriptionStatusText(std::optional<bool> isActive);
PaletteRole subscriptionStatusColor(std::optional<bool> isActive);
// The date in local time, Russian month names: "5 января 2026".
QString expiryText(const std::optional<QDateTime> &expiresAt);
QString byteText(qint64 bytes);
QString trafficLimitText(std::optional<qint64> limitBytes);
QString trafficUsedText(std::optional<qint64> usedBytes);
QString deleteButtonTitle(bool deleting);

// --- Status-bar item and menu ----------------------------------------------

// The icon file name (without extension) of the status-bar item.
QString trayIconName(ConnectionState state, TargetKind target);
QString modeName(ConnectMode mode);
// The symbol shown for a mode; empty for `tavrin`, whose mark is drawn.
QString modeSymbol(ConnectMode mode);
// `state` absent: the application state is gone.
QString menuHeaderTitle(std::optional<ConnectionState> state, ConnectMode mode);
QString menuTimeLine(const QString &durationText);
QString menuSpeedLine(const QString &download, const QString &upload);
QString menuTrafficLine(const QString &download, const QString &upload);
QString connectItemTitle(std::optional<ConnectionState> state);
// The reserve is the target and the state is anything but disconnected.
bool reserveOn(TargetKind target, ConnectionState state);
QString reserveItemTitle(bool reserveOn);
bool connectionItemsEnabled(std::optional<ConnectionState> state);

// --- Sign-in ----------------------------------------------------------------

bool canRequestCode(const QString &email, bool busy);
bool canVerifyCode(const QString &code, bool busy);

} // namespace qor::display
