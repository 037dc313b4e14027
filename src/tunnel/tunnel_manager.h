#pragma once

#include "tunnel_profile_controller.h"

#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace qor {

// Owns the main channel's VPN profile and is the only code that starts and stops
// its tunnel. The provider configuration it writes is what the packet-tunnel
// provider runs; the document is passed through unchanged.
class TunnelManager final : public TunnelProfileController {
    Q_OBJECT
public:
    TunnelManager(ProfileService &profiles, Clock &clock, QObject *parent = nullptr);

    // mainProviderIdentifier(): the application identifier + ".tunnel".
    static QString providerIdentifier();

    // The document every freshly written profile carries until start replaces it:
    // a sing-box configuration that passes traffic straight out (320 bytes).
    static QString placeholderConfiguration();

    // Finds or creates the profile and (re)writes its settings with the placeholder,
    // saves and reloads it. Throws TunnelError.
    QCoro::Task<ProfileHandle> loadOrCreate();

    // Writes the provider configuration ("configContent", and "bypassIPs", "policy",
    // "tavrinKey" when given), switches on-demand on and asks the tunnel to start.
    // Throws TunnelError, or the platform's error when the second save fails.
    QCoro::Task<> start(std::optional<QString> configContent, QStringList bypassIPs = {},
                        std::optional<QString> tavrinKey = std::nullopt,
                        std::optional<QVariantMap> policy = std::nullopt);
};

} // namespace qor
