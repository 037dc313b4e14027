#pragma once

#include "runtime/clock.h"
#include "tunnel/platform/profile_service.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

namespace qor {

// What the main and the reserve tunnel managers share: finding and adopting their
// profile, following its status, and stopping its tunnel. Each manager owns one
// profile, recognised by the provider bundle identifier its protocol names.
class TunnelProfileController : public QObject {
    Q_OBJECT
public:
    // Installed once by the application state; receives every status change
    // (the six values 0..5) of the adopted profile's connection, on the main thread.
    std::function<void(int status)> onStatusChange;

    // Adopts the first saved profile of this channel and pushes its current status
    // once to onStatusChange. Never fails; does nothing when a profile is held.
    QCoro::Task<> loadExisting();

    // Stops the tunnel in the background; returns before anything is done.
    void stop();

    // Stops the tunnel, then polls every 150 ms until it is disconnected or invalid
    // or the timeout (seconds) has passed. Never fails.
    QCoro::Task<> stopAndWait(double seconds);

    // Stops the tunnel, switches on-demand off (saving the profile; a failed save is
    // dropped) and asks it to stop once more. Never fails.
    QCoro::Task<> disableAndStop(ProfileHandle profile);

    // Follows the status of this profile's connection, replacing any earlier registration.
    void observeStatus(ProfileHandle profile);

    // The adopted profile's connection status, absent while no profile is adopted.
    std::optional<int> connectionStatus() const;

    ProfileHandle profile() const { return m_manager; }
    QString providerBundleIdentifier() const { return m_providerIdentifier; }

protected:
    TunnelProfileController(ProfileService &profiles, Clock &clock, QString providerIdentifier, QObject *parent);

    bool belongsHere(const VpnProfile &profile) const;
    // Sets the one on-demand rule that keeps the tunnel up on any network.
    static void enableOnDemand(VpnProfile &profile);

    ProfileService &m_profiles;
    Clock &m_clock;
    ProfileHandle m_manager;

private:
    static QCoro::Task<> adoptAndStop(QPointer<TunnelProfileController> self);

    const QString m_providerIdentifier;
    QMetaObject::Connection m_statusObserver;
};

} // namespace qor
