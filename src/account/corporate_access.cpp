#include "corporate_access.h"

#include "internet_date_time.h"
#include "json_members.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cmath>

#include <limits>

namespace qor {

namespace {

using json::stringMember;

QStringList nonEmptyStrings(const QJsonValue &value)
{
    QStringList result;
    if (!value.isArray())
        return result;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array) {
        if (element.isString() && !element.toString().isEmpty())
            result.append(element.toString());
    }
    return result;
}

// A JSON number that is exactly an integer of int range; 2.5, "5" or 1e12 are not.
std::optional<int> integerMember(const QJsonObject &object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(number);
}

std::optional<QDateTime> parseSessionUntil(QString text)
{
    // Servers send microseconds; keep milliseconds so both forms name the same instant.
    static const QRegularExpression beyondMilliseconds(QStringLiteral("\\.(\\d{3})\\d+"));
    text.replace(beyondMilliseconds, QStringLiteral(".\\1"));
    if (auto plain = parseInternetDateTime(text, FractionalSeconds::Forbidden))
        return plain;
    return parseInternetDateTime(text, FractionalSeconds::Required);
}

} // namespace

std::optional<CorporatePolicy> CorporatePolicy::parse(const QJsonObject &qor)
{
    const QJsonValue policyValue = qor.value(QLatin1StringView("policy"));
    if (!policyValue.isObject())
        return std::nullopt;
    const QJsonObject policy = policyValue.toObject();

    CorporatePolicy result;
    result.name = stringMember(policy, QLatin1StringView("name"));
    result.blockGeosite = nonEmptyStrings(policy.value(QLatin1StringView("block_geosite")));
    result.blockDomains = nonEmptyStrings(policy.value(QLatin1StringView("block_domains")));
    result.allowDomains = nonEmptyStrings(policy.value(QLatin1StringView("allow_domains")));
    const QJsonValue torrent = policy.value(QLatin1StringView("block_torrent"));
    result.blockTorrent = torrent.isBool() && torrent.toBool();

    const QJsonValue dnsValue = policy.value(QLatin1StringView("dns"));
    if (dnsValue.isObject()) {
        const QJsonObject dns = dnsValue.toObject();
        result.dohURL = stringMember(dns, QLatin1StringView("doh"));
        result.dohHost = stringMember(dns, QLatin1StringView("host"));
        result.dohIP = stringMember(dns, QLatin1StringView("ip"));
    }
    return result;
}

QVariantMap CorporatePolicy::dictionary() const
{
    QVariantMap map;
    map.insert(QStringLiteral("block_geosite"), blockGeosite);
    map.insert(QStringLiteral("block_domains"), blockDomains);
    map.insert(QStringLiteral("allow_domains"), allowDomains);
    map.insert(QStringLiteral("block_torrent"), blockTorrent);
    const auto filled = [](const std::optional<QString> &value) { return value && !value->isEmpty(); };
    if (filled(dohURL) && filled(dohHost) && filled(dohIP)) {
        map.insert(QStringLiteral("doh"), *dohURL);
        map.insert(QStringLiteral("doh_host"), *dohHost);
        map.insert(QStringLiteral("doh_ip"), *dohIP);
    }
    return map;
}

std::optional<CorporateAccess> CorporateAccess::parse(const QJsonObject &answer)
{
    const QJsonValue qorValue = answer.value(QLatin1StringView("qor"));
    if (!qorValue.isObject())
        return std::nullopt;
    const QJsonObject qor = qorValue.toObject();

    CorporateAccess result;
    result.rawJSON = QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("qor"), qor}}).toJson(QJsonDocument::Compact));
    result.company = stringMember(qor, QLatin1StringView("company"));
    const QJsonValue reserve = qor.value(QLatin1StringView("reserve"));
    result.reserveAllowed = reserve.isBool() ? reserve.toBool() : true;
    if (const auto warn = integerMember(qor, QLatin1StringView("warn_minutes")))
        result.warnMinutes = *warn < 2 ? 1 : *warn;

    const QJsonValue sessionValue = qor.value(QLatin1StringView("session"));
    if (sessionValue.isObject() && !sessionValue.toObject().isEmpty()) {
        const QJsonObject session = sessionValue.toObject();
        if (const auto until = stringMember(session, QLatin1StringView("until")))
            result.sessionUntil = parseSessionUntil(*until);
        result.sessionReason = stringMember(session, QLatin1StringView("reason"));
    }
    result.policy = CorporatePolicy::parse(qor);
    return result;
}

std::optional<CorporateAccess> CorporateAccess::parseRaw(const QString &rawJSON)
{
    const QJsonDocument document = QJsonDocument::fromJson(rawJSON.toUtf8());
    if (!document.isObject())
        return std::nullopt;
    return parse(document.object());
}

bool CorporateAccess::storedRecordExpired(const QDateTime &savedAt, const QDateTime &now)
{
    if (!savedAt.isValid() || !now.isValid())
        return false;
    return savedAt.msecsTo(now) > std::chrono::milliseconds(storedRecordLifetime).count();
}

} // namespace qor
