#pragma once

#include "account/login_result.h"
#include "core/display_texts.h"

#include <QString>

#include <optional>

namespace qor {

class AppState;

// The window's texts (core/display_texts.h) read off the application state, for the
// command line: the same rules, fed from AppState's fields as the screens feed them.
namespace state_texts {

// Empty for a connected reserve channel (no title).
QString statusTitle(const AppState &app);
std::optional<QString> statusSubtitle(const AppState &app);
// 0 fine, 1 partly answering, 2 no access or no nodes, 3 nothing measured yet.
int networkHealthLevel(const AppState &app);
QString nodeCountLine(const AppState &app);
QString accountName(const AppState &app);

inline QString latencyText(std::optional<quint64> milliseconds) { return display::latencyText(milliseconds); }
inline QString subscriptionStatusText(const SubscriptionInfo &s) { return display::subscriptionStatusText(s.isActive); }
inline QString expiresText(const SubscriptionInfo &s) { return display::expiryText(s.expiresAt); }
inline QString trafficLimitText(const SubscriptionInfo &s) { return display::trafficLimitText(s.trafficLimitBytes); }
inline QString trafficUsedText(const SubscriptionInfo &s) { return display::trafficUsedText(s.trafficUsedBytes); }

} // namespace state_texts
} // namespace qor
