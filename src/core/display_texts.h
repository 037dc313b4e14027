#pragma once

#include "core/app_types.h"

#include <QDateTime>
#include <QString>

#include <optional>

// The texts and levels derived from application state that every front end shows:
// the window's screens (through ui/display_rules.h) and qorctl. Pure functions over
// plain values.
namespace qor::display {

using TargetKind = ConnectionTarget::Kind;

// Network health shown by the status dot of the connect screen and the count line.
enum class HealthLevel { Ok = 0, Degraded = 1, Down = 2, Unmeasured = 3 };

// Absent when there is no title line (connected through the reserve).
std::optional<QString> statusTitle(const std::optional<QString> &progress, ConnectionState state,
                                   TargetKind target, const QString &targetName);
// Present only while connected.
std::optional<QString> statusSubtitle(ConnectionState state, ConnectMode mode, TargetKind target);
// `subscriptionActive` absent does not count as inactive.
HealthLevel networkHealthLevel(std::optional<bool> subscriptionActive, int directNodeCount, int measuredNodeCount);
// "Отвечают r из n серверов" or "Серверов: n".
QString countLine(int measuredNodeCount, int directNodeCount);
// "<ms> мс" or "—".
QString latencyText(std::optional<quint64> milliseconds);

// `corporateCompany` is present exactly when a corporate record exists.
QString nameLine(const std::optional<QString> &corporateCompany, const std::optional<QString> &telegramUsername);
QString subscriptionStatusText(std::optional<bool> isActive);
// The date in local time, Russian month names: "5 января 2026".
QString expiryText(const std::optional<QDateTime> &expiresAt);
// "0 КБ", "%.0f КБ", "%.0f МБ" or "%.1f ГБ".
QString byteText(qint64 bytes);
QString trafficLimitText(std::optional<qint64> limitBytes);
QString trafficUsedText(std::optional<qint64> usedBytes);

} // namespace qor::display
