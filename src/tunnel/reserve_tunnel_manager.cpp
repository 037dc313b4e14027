#include "reserve_tunnel_manager.h"

#include "provider_identifiers.h"
#include "tunnel_error.h"

#include <QLoggingCategory>
#include <QPointer>

Q_DECLARE_LOGGING_CATEGORY(lcTunnel)

namespace qor {

ReserveTunnelManager::ReserveTunnelManager(ProfileService &profiles, Clock &clock, QObject *parent)
    : TunnelProfileController(profiles, clock, providerIdentifier(), parent)
{
}

QString ReserveTunnelManager::providerIdentifier()
{
    return reserveProviderIdentifier();
}

QCoro::Task<ProfileHandle> ReserveTunnelManager::loadOrCreate(QStringList configs)
{
    QPointer<ReserveTunnelManager> self(this);
    ProfileService &profiles = m_profiles;
    QList<ProfileHandle> all;
    try {
        all = co_await profiles.loadAll();
    } catch (const Error &error) {
        throw ReserveTunnelError::vpnPermissionDenied(QStringLiteral("loadAllFromPreferences"), error);
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

    profile->protocol = TunnelProviderProtocol{providerIdentifier(), QStringLiteral("Qor Reserve"),
                                               QVariantMap{{QStringLiteral("wgQuickConfigs"), configs}}};
    profile->protocolKind.clear();
    profile->localizedDescription = QStringLiteral("Qor Connect Reserve");
    profile->enabled = true;

    try {
        co_await profiles.save(profile);
    } catch (const Error &error) {
        throw ReserveTunnelError::vpnPermissionDenied(QStringLiteral("saveToPreferences"), error);
    }
    if (!self)
        co_return ProfileHandle{};
    try {
        co_await profiles.reload(profile);
    } catch (const Error &error) {
        throw ReserveTunnelError::vpnPermissionDenied(QStringLiteral("loadFromPreferences"), error);
    }
    if (!self)
        co_return ProfileHandle{};

    m_manager = profile;
    observeStatus(profile);
    co_return profile;
}

QCoro::Task<> ReserveTunnelManager::start(QStringList configs)
{
    QPointer<ReserveTunnelManager> self(this);
    const ProfileHandle profile = co_await loadOrCreate(std::move(configs));
    if (!self || !profile)
        co_return;

    enableOnDemand(*profile);
    try {
        co_await m_profiles.save(profile);
    } catch (const Error &error) {
        // The tunnel may then run without on-demand; the start goes ahead.
        qCInfo(lcTunnel) << "reserve: on-demand not saved:" << error.description();
    }
    if (!self)
        co_return;

    try {
        co_await m_profiles.startTunnel(*profile);
    } catch (const Error &error) {
        throw ReserveTunnelError::vpnPermissionDenied(QStringLiteral("startVPNTunnel"), error);
    }
}

} // namespace qor
