#pragma once

#include "account/login_result.h"

#include <QString>

#include <optional>

namespace qor {

class AppState;

// Texts and levels the screens derive from AppState's published fields, computed
// here so that every front end shows the same words and tests can reach them.
namespace state_texts {

// The first line of the connect screen's status block: the progress text when
// there is one, else by state. Empty for a connected reserve channel (no title).
QString statusTitle(const AppState &app);
// The second line, only while connected.
std::optional<QString> statusSubtitle(const AppState &app);

// 0 fine, 1 partly answering, 2 no access or no nodes, 3 nothing measured yet.
int networkHealthLevel(const AppState &app);
// "Отвечают r из n серверов" or "Серверов: n".
QString nodeCountLine(const AppState &app);
// "<ms> мс" or "—".
QString latencyText(std::optional<quint64> milliseconds);

// The profile panel: the account's name line and the subscription rows.
QString accountName(const AppState &app);
QString subscriptionStatusText(const SubscriptionInfo &subscription); // "● Активна", "● Неактивна", "—"
QString expiresText(const SubscriptionInfo &subscription);            // "d MMMM yyyy" in Russian, or "—"
QString trafficLimitText(const SubscriptionInfo &subscription);       // "—", "без ограничений" or a byte text
QString trafficUsedText(const SubscriptionInfo &subscription);        // a byte text or "—"
// The profile's byte text: "0 КБ", "%.0f КБ", "%.0f МБ" or "%.1f ГБ".
QString byteText(qint64 bytes);

} // namespace state_texts
} // namespace qor
