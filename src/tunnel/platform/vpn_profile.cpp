#include "vpn_profile.h"

#include <QJsonArray>
#include <QUuid>

namespace qor {

namespace {
const QString tunnelProviderKind = QStringLiteral("tunnelProvider");
constexpr int formatVersion = 1;
} // namespace

bool VpnProfile::isWellFormedId(const QString &id)
{
    // Exactly QUuid's own lower-case 8-4-4-4-12 form (no braces, no capitals). Not a
    // regular expression: every start checks the stored ids, and that alone would load
    // and compile PCRE.
    return id.size() == 36 && QUuid::fromString(id).toString(QUuid::WithoutBraces) == id;
}

QJsonObject VpnProfile::toJson() const
{
    QJsonObject protocolObject;
    if (protocol) {
        protocolObject.insert(QStringLiteral("type"), tunnelProviderKind);
        protocolObject.insert(QStringLiteral("providerBundleIdentifier"), protocol->providerBundleIdentifier);
        protocolObject.insert(QStringLiteral("serverAddress"), protocol->serverAddress);
        protocolObject.insert(QStringLiteral("providerConfiguration"), QJsonObject::fromVariantMap(protocol->providerConfiguration));
    } else {
        protocolObject.insert(QStringLiteral("type"), protocolKind.isEmpty() ? QStringLiteral("other") : protocolKind);
    }
    QJsonArray rules;
    for (const OnDemandRule &rule : onDemandRules)
        rules.append(QJsonObject{{QStringLiteral("action"), rule.action},
                                 {QStringLiteral("interfaceTypeMatch"), rule.interfaceTypeMatch}});
    return QJsonObject{
        {QStringLiteral("version"), formatVersion},
        {QStringLiteral("id"), id},
        {QStringLiteral("localizedDescription"), localizedDescription},
        {QStringLiteral("enabled"), enabled},
        {QStringLiteral("protocol"), protocolObject},
        {QStringLiteral("onDemandEnabled"), onDemandEnabled},
        {QStringLiteral("onDemandRules"), rules},
    };
}

std::optional<VpnProfile> VpnProfile::fromJson(const QJsonObject &o)
{
    if (o.value(QStringLiteral("version")).toInt(-1) != formatVersion)
        return std::nullopt;
    const auto idValue = o.value(QStringLiteral("id"));
    if (!idValue.isString() || QUuid::fromString(idValue.toString()).isNull())
        return std::nullopt;
    const auto description = o.value(QStringLiteral("localizedDescription"));
    const auto enabledValue = o.value(QStringLiteral("enabled"));
    const auto protocolValue = o.value(QStringLiteral("protocol"));
    const auto onDemandValue = o.value(QStringLiteral("onDemandEnabled"));
    const auto rulesValue = o.value(QStringLiteral("onDemandRules"));
    if (!description.isString() || !enabledValue.isBool() || !protocolValue.isObject() || !onDemandValue.isBool()
        || !rulesValue.isArray())
        return std::nullopt;

    VpnProfile profile;
    profile.id = idValue.toString();
    profile.localizedDescription = description.toString();
    profile.enabled = enabledValue.toBool();
    profile.onDemandEnabled = onDemandValue.toBool();

    const QJsonObject p = protocolValue.toObject();
    const auto kind = p.value(QStringLiteral("type"));
    // A stored profile always names its kind (toJson writes "other" for an unnamed one),
    // so an empty name is malformed and would not survive the next save.
    if (!kind.isString() || kind.toString().isEmpty())
        return std::nullopt;
    if (kind.toString() == tunnelProviderKind) {
        const auto bundleId = p.value(QStringLiteral("providerBundleIdentifier"));
        const auto server = p.value(QStringLiteral("serverAddress"));
        const auto configuration = p.value(QStringLiteral("providerConfiguration"));
        if (!bundleId.isString() || !server.isString() || !configuration.isObject())
            return std::nullopt;
        profile.protocol = TunnelProviderProtocol{bundleId.toString(), server.toString(),
                                                  configuration.toObject().toVariantMap()};
    } else {
        profile.protocolKind = kind.toString();
    }

    for (const QJsonValue &ruleValue : rulesValue.toArray()) {
        if (!ruleValue.isObject())
            return std::nullopt;
        const QJsonObject r = ruleValue.toObject();
        const auto action = r.value(QStringLiteral("action"));
        const auto match = r.value(QStringLiteral("interfaceTypeMatch"));
        if (!action.isString() || !match.isString())
            return std::nullopt;
        profile.onDemandRules.append(OnDemandRule{action.toString(), match.toString()});
    }
    return profile;
}

} // namespace qor
