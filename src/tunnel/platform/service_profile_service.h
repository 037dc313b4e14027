#pragma once

#include "interface_counters.h"
#include "profile_service.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QHash>

namespace qor {

// The VPN profiles of this user as the tunnel service qor-connectd keeps them: a
// D-Bus client on the system bus. Every call is asynchronous; the status of each
// profile is kept from the service's answers and its StatusChanged signals, which
// arrive in order, so every transition is announced (none merged). When the service
// goes away, every tunnel it ran reads as disconnected.
//
// It also reports the running tunnels' byte counters (since each came up), refreshed
// in the background: a read returns the latest answer and asks for the next.
class ServiceProfileService final : public ProfileService, public InterfaceCounterSource {
    Q_OBJECT
public:
    explicit ServiceProfileService(QDBusConnection bus = QDBusConnection::systemBus(), QObject *parent = nullptr);

    QCoro::Task<QList<ProfileHandle>> loadAll() override;
    QCoro::Task<> save(ProfileHandle profile) override;
    QCoro::Task<> reload(ProfileHandle profile) override;
    QCoro::Task<> startTunnel(const VpnProfile &profile) override;
    void stopTunnel(const VpnProfile &profile) override;
    VpnStatus status(const VpnProfile &profile) const override;

    // Counters of this user's running tunnels, by profile id.
    CounterSnapshot read() const override;

    QDBusConnection bus() const { return m_bus; }

private Q_SLOTS:
    void onStatusChanged(const QString &id, int status);

private:
    void setStatus(const QString &id, VpnStatus status);
    void refreshCounters() const;
    void forgetRunningTunnels();

    QDBusConnection m_bus;
    QDBusServiceWatcher m_watcher;
    QHash<QString, VpnStatus> m_status;
    mutable CounterSnapshot m_counters;
    mutable bool m_countersPending = false;
};

} // namespace qor
