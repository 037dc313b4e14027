#include "login_response_parser.h"

#include "internet_date_time.h"
#include "json_members.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace qor {

namespace {

using json::stringMember;

// A JSON number that is exactly a signed 64-bit integer. A fraction or a value out of
// range is not a byte count, so it counts as a member of the wrong type.
std::optional<qint64> int64Member(const QJsonObject &object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() gives the fallback for anything that is not exactly an integer.
    const qint64 first = value.toInteger(0);
    if (first == 0 && value.toInteger(1) == 1)
        return std::nullopt;
    return first;
}

} // namespace

std::optional<QString> normalizeXrayConfigs(const QJsonValue &xrayConfigs)
{
    if (!xrayConfigs.isArray())
        return std::nullopt;
    const QJsonArray servers = xrayConfigs.toArray();
    QJsonArray entries;
    for (const QJsonValue &server : servers) {
        if (!server.isObject())
            return std::nullopt; // not an array of objects at all
        const QJsonObject object = server.toObject();
        const auto remarks = stringMember(object, QLatin1StringView("remarks"));
        if (!remarks)
            continue;
        entries.append(QJsonObject{
            {QStringLiteral("name"), *remarks},
            {QStringLiteral("config"), QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact))},
        });
    }
    if (entries.isEmpty())
        return std::nullopt;
    return QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

SubscriptionInfo parseSubscriptionInfo(const QJsonObject &answer)
{
    SubscriptionInfo info = SubscriptionInfo::empty();
    if (const auto status = stringMember(answer, QLatin1StringView("subscription_status")))
        info.isActive = status->toUpper() == u"ACTIVE";
    if (const auto expires = stringMember(answer, QLatin1StringView("expires_at")))
        info.expiresAt = parseInternetDateTime(*expires, FractionalSeconds::Required);
    info.trafficUsedBytes = int64Member(answer, QLatin1StringView("traffic_used_bytes"));
    info.trafficLimitBytes = int64Member(answer, QLatin1StringView("traffic_limit_bytes"));
    return info;
}

std::optional<TelegramLoginResult> parseLoginResponse(const QJsonObject &answer)
{
    const auto status = stringMember(answer, QLatin1StringView("status"));
    if (!status)
        return std::nullopt;
    if (*status == u"ok") {
        TelegramLoginResult::Session session;
        session.username = stringMember(answer, QLatin1StringView("username"));
        session.avatarDataURI = stringMember(answer, QLatin1StringView("avatar_data_uri"));
        session.subscriptionURL = stringMember(answer, QLatin1StringView("subscription_url"));
        session.awgConfigsJSON = stringMember(answer, QLatin1StringView("awg_conf"));
        session.xrayConfigsJSON = normalizeXrayConfigs(answer.value(QLatin1StringView("xray_configs")));
        session.tavrinKey = stringMember(answer, QLatin1StringView("tavrin_key"));
        session.sessionToken = stringMember(answer, QLatin1StringView("session_token"));
        session.subscription = parseSubscriptionInfo(answer);
        session.corporate = CorporateAccess::parse(answer);
        return TelegramLoginResult::makeOk(std::move(session));
    }
    if (*status == u"no_subscription")
        return TelegramLoginResult::noSubscription();
    if (*status == u"invalid_session")
        return TelegramLoginResult::sessionRevoked();
    return std::nullopt;
}

std::optional<TelegramLoginResult> parseLoginResponse(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return parseLoginResponse(document.object());
}

} // namespace qor
