#include "request_validation.h"

#include "tunnel/platform/tunnel_service_bus.h"
#include "tunnel/provider_identifiers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

namespace qor::service::request_validation {

bool isProviderIdentifier(const QString &identifier)
{
    return identifier == mainProviderIdentifier() || identifier == reserveProviderIdentifier();
}

std::variant<VpnProfile, QString> profileDocument(const QString &document)
{
    const QString invalid = QStringLiteral("Профиль VPN повреждён: ");
    if (document.size() > tunnel_service_bus::maxProfileBytes)
        return invalid + QStringLiteral("слишком большой");
    QJsonParseError parseError{};
    const QJsonDocument json = QJsonDocument::fromJson(document.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !json.isObject())
        return invalid + QStringLiteral("не JSON-объект");
    QJsonObject object = json.object();
    const QJsonValue id = object.value(QStringLiteral("id"));
    if (!id.isString() || (!id.toString().isEmpty() && !VpnProfile::isWellFormedId(id.toString())))
        return invalid + QStringLiteral("неверный идентификатор");
    // A profile not saved before has no id yet; the stored form always has one.
    const bool isNew = id.toString().isEmpty();
    if (isNew)
        object.insert(QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    auto profile = VpnProfile::fromJson(object);
    if (!profile)
        return invalid + QStringLiteral("неверная структура");
    if (isNew)
        profile->id.clear();
    if (!profile->protocol || !isProviderIdentifier(profile->protocol->providerBundleIdentifier))
        return invalid + QStringLiteral("неизвестный провайдер туннеля");
    if (profile->localizedDescription.size() > maxDescriptionLength)
        return invalid + QStringLiteral("слишком длинное описание");
    if (profile->onDemandRules.size() > maxOnDemandRules)
        return invalid + QStringLiteral("слишком много правил подключения по требованию");
    const QVariant configs = profile->protocol->providerConfiguration.value(QStringLiteral("wgQuickConfigs"));
    if (configs.isValid()) {
        if (configs.typeId() != QMetaType::QVariantList && configs.typeId() != QMetaType::QStringList)
            return invalid + QStringLiteral("wgQuickConfigs не список");
        const QVariantList list = configs.toList();
        if (list.size() > maxConfigurations)
            return invalid + QStringLiteral("слишком много конфигураций");
        for (const QVariant &config : list) {
            if (config.typeId() != QMetaType::QString || config.toString().size() > maxConfigurationBytes)
                return invalid + QStringLiteral("неверная конфигурация резервного канала");
        }
    }
    const QVariantMap &configuration = profile->protocol->providerConfiguration;
    const QVariant content = configuration.value(QStringLiteral("configContent"));
    if (content.isValid() && content.typeId() != QMetaType::QString)
        return invalid + QStringLiteral("configContent не строка");
    const QVariant bypass = configuration.value(QStringLiteral("bypassIPs"));
    if (bypass.isValid()) {
        const QVariantList list = bypass.toList();
        if (bypass.typeId() != QMetaType::QVariantList && bypass.typeId() != QMetaType::QStringList)
            return invalid + QStringLiteral("bypassIPs не список");
        if (list.size() > maxBypassAddresses
            || std::any_of(list.begin(), list.end(), [](const QVariant &v) { return v.typeId() != QMetaType::QString; }))
            return invalid + QStringLiteral("неверный список bypassIPs");
    }
    const QVariant policy = configuration.value(QStringLiteral("policy"));
    if (policy.isValid() && policy.typeId() != QMetaType::QVariantMap)
        return invalid + QStringLiteral("policy не словарь");
    return std::move(*profile);
}

} // namespace qor::service::request_validation
