#pragma once

#include "tunnel_profile_controller.h"

#include <QStringList>

namespace qor {

// Owns the reserve channel's VPN profile (the AmneziaWG provider): the twin of
// TunnelManager with its own identifier, texts and a single configuration entry,
// "wgQuickConfigs".
class ReserveTunnelManager final : public TunnelProfileController {
    Q_OBJECT
public:
    ReserveTunnelManager(ProfileService &profiles, Clock &clock, QObject *parent = nullptr);

    // reserveProviderIdentifier(): the application identifier + ".reserve".
    static QString providerIdentifier();

    // Finds or creates the profile, writes it with {"wgQuickConfigs": configs},
    // saves and reloads it. Throws ReserveTunnelError.
    QCoro::Task<ProfileHandle> loadOrCreate(QStringList configs);

    // Writes the profile, switches on-demand on (a failed save of that is dropped)
    // and asks the tunnel to start. Throws ReserveTunnelError.
    QCoro::Task<> start(QStringList configs);
};

} // namespace qor
