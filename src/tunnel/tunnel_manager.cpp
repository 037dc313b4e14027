#include "tunnel_manager.h"

#include "provider_identifiers.h"
#include "tunnel_error.h"

#include <QPointer>

namespace qor {

TunnelManager::TunnelManager(ProfileService &profiles, Clock &clock, QObject *parent)
    : TunnelProfileController(profiles, clock, providerIdentifier(), parent)
{
}

QString TunnelManager::providerIdentifier()
{
    return mainProviderIdentifier();
}

QString TunnelManager::placeholderConfiguration()
{
    // Written by hand: the layout (one-line objects, brackets on their key's line) is
    // part of what the provider receives and is pinned by a test.
    return QStringLiteral(
        "{\n"
        "  \"log\": { \"level\": \"info\" },\n"
        "  \"inbounds\": [\n"
        "    {\n"
        "      \"type\": \"tun\",\n"
        "      \"interface_name\": \"utun-qor\",\n"
        "      \"address\": [\"172.19.0.1/30\"],\n"
        "      \"mtu\": 9000,\n"
        "      \"auto_route\": true,\n"
        "      \"strict_route\": false,\n"
        "      \"stack\": \"system\"\n"
        "    }\n"
        "  ],\n"
        "  \"outbounds\": [\n"
        "    { \"type\": \"direct\", \"tag\": \"direct\" }\n"
        "  ]\n"
        "}");
}

QCoro::Task<ProfileHandle> TunnelManager::loadOrCreate()
{
    QPointer<TunnelManager> self(this);
    ProfileService &profiles = m_profiles;
    QList<ProfileHandle> all;
    try {
        all = co_await profiles.loadAll();
    } catch (const Error &error) {
        throw TunnelError::vpnPermissionDenied(QStringLiteral("loadAllFromPreferences"), error);
    }
    if (!self)
        co_return ProfileHandle{};

    ProfileHandle profile;
    for (const ProfileHandle &candidate : std::as_const(all)) {
        if (belongsHere(*candidate)) {
            profile = candidate;
            break;
        }
    }
    if (!profile)
        profile = std::make_shared<VpnProfile>();

    profile->protocol = TunnelProviderProtocol{
        providerIdentifier(), QStringLiteral("Qor Network"),
        QVariantMap{{QStringLiteral("configContent"), placeholderConfiguration()}}};
    profile->protocolKind.clear();
    profile->localizedDescription = QStringLiteral("Qor Connect");
    profile->enabled = true;

    try {
        co_await profiles.save(profile);
    } catch (const Error &error) {
        throw TunnelError::vpnPermissionDenied(QStringLiteral("saveToPreferences"), error);
    }
    if (!self)
        co_return ProfileHandle{};
    try {
        co_await profiles.reload(profile);
    } catch (const Error &error) {
        throw TunnelError::vpnPermissionDenied(QStringLiteral("loadFromPreferences"), error);
    }
    if (!self)
        co_return ProfileHandle{};

    m_manager = profile;
    observeStatus(profile);
    co_return profile;
}

QCoro::Task<> TunnelManager::start(std::optional<QString> configContent, QStringList bypassIPs,
                                   std::optional<QString> tavrinKey, std::optional<QVariantMap> policy)
{
    QPointer<TunnelManager> self(this);
    const ProfileHandle profile = co_await loadOrCreate();
    if (!self || !profile)
        co_return;

    if (configContent && profile->protocol) {
        QVariantMap configuration{{QStringLiteral("configContent"), *configContent}};
        if (!bypassIPs.isEmpty())
            configuration.insert(QStringLiteral("bypassIPs"), bypassIPs);
        if (policy)
            configuration.insert(QStringLiteral("policy"), *policy);
        if (tavrinKey && !tavrinKey->isEmpty())
            configuration.insert(QStringLiteral("tavrinKey"), *tavrinKey);
        profile->protocol->providerConfiguration = configuration;
    }
    enableOnDemand(*profile);

    // A refused save here reaches the caller as the platform's own error.
    co_await m_profiles.save(profile);
    if (!self)
        co_return;

    try {
        co_await m_profiles.startTunnel(*profile);
    } catch (const Error &error) {
        throw TunnelError::vpnPermissionDenied(QStringLiteral("startVPNTunnel"), error);
    }
}

} // namespace qor
