#pragma once

#include "vpn_profile.h"

#include <QCoroTask>
#include <QList>
#include <QObject>

namespace qor {

// The system's store of VPN profiles and their tunnels: what the tunnel managers
// are written against. Failing calls throw PlatformError. Everything runs on the
// main thread; statusChanged is delivered there too.
class ProfileService : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // All saved profiles of the application, each as a new handle, in a stable order.
    virtual QCoro::Task<QList<ProfileHandle>> loadAll() = 0;
    // Saves the profile, giving it an id when it has none.
    virtual QCoro::Task<> save(ProfileHandle profile) = 0;
    // Replaces the handle's content with the stored one.
    virtual QCoro::Task<> reload(ProfileHandle profile) = 0;

    // Asks for the tunnel of a saved profile to start. Success only means the
    // request was accepted; the outcome arrives through statusChanged. The profile
    // is read before the first suspension, so the caller's object need not outlive it.
    virtual QCoro::Task<> startTunnel(const VpnProfile &profile) = 0;
    // Asks for the tunnel to stop; returns at once and never fails.
    virtual void stopTunnel(const VpnProfile &profile) = 0;

    // The current status of the profile's connection: invalid for a profile that
    // was never saved (or no longer is), disconnected when no tunnel runs.
    virtual VpnStatus status(const VpnProfile &profile) const = 0;

Q_SIGNALS:
    // The connection of the profile with this id may have changed its status.
    void statusChanged(const QString &profileId);
};

} // namespace qor
