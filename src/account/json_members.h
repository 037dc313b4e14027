#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

#include <optional>

namespace qor::json {

// A member that is a JSON string; absent when missing or of another type.
inline std::optional<QString> stringMember(const QJsonObject &object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

} // namespace qor::json
