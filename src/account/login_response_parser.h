#pragma once

#include "login_result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>

#include <optional>

namespace qor {

// Reads the account server's login answer (poll, refresh, e-mail verification).
// Nothing is returned for a body that is not a JSON object, has no string "status",
// or has a status other than "ok", "no_subscription" and "invalid_session" (during a
// login that means "not confirmed yet"). A member of the wrong JSON type counts as absent.
std::optional<TelegramLoginResult> parseLoginResponse(const QByteArray &body);
std::optional<TelegramLoginResult> parseLoginResponse(const QJsonObject &answer);

// The "xray_configs" array rewritten as the catalog's list [{"name", "config"}], where
// "config" is the compact JSON of one server object and "name" its "remarks". Absent
// when the member is not an array of objects or no object has a string "remarks".
std::optional<QString> normalizeXrayConfigs(const QJsonValue &xrayConfigs);

// The subscription figures of an "ok" answer.
SubscriptionInfo parseSubscriptionInfo(const QJsonObject &answer);

} // namespace qor
