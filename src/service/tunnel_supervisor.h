#pragma once

#include "engine_paths.h"
#include "profile_store.h"
#include "service_options.h"
#include "tunnel_provider.h"

#include "runtime/cancel_token.h"
#include "tunnel/platform/vpn_profile.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>

#include <memory>
#include <optional>

namespace qor::service {

// The tunnels the service runs: at most one per channel on the machine. Each
// profile's status goes through every transition in order (statusChanged), a
// provider that dies after it was up is brought back with growing delays while its
// profile keeps an on-demand rule and nobody stopped it, and a tunnel that failed
// leaves its reason in the application's last-error signal file.
class TunnelSupervisor final : public QObject {
    Q_OBJECT
public:
    struct Failure {
        QString errorName; // a tunnel_service_bus error
        QString message;   // Russian
    };

    TunnelSupervisor(ServiceOptions options, EnginePaths paths, ProfileStore &store, QObject *parent = nullptr);
    ~TunnelSupervisor() override;

    // Starts the profile's tunnel; nothing when it runs already.
    std::optional<Failure> start(uint uid, const VpnProfile &profile);
    // Stops it; nothing when it does not run.
    void stop(uint uid, const QString &id);

    VpnStatus status(uint uid, const QString &id) const;
    // Counters of the caller's tunnels that are up, by profile id.
    CounterSnapshot counters(uint uid) const;
    // Whether the engine of a channel is installed (the main channel's always reads as
    // present, so a missing core never blocks the reserve: its start says what is missing).
    bool engineInstalled(const QString &providerIdentifier, QString *missing) const;

    // Removes what a crashed run left on the machine.
    QCoro::Task<> cleanLeftovers();
    // Stops every tunnel and waits (at most a few seconds) until all are taken down.
    QCoro::Task<> shutdown();

Q_SIGNALS:
    void statusChanged(const QString &id, int status);

private:
    struct Tunnel {
        uint uid = 0;
        QString id;
        QString identifier;
        QVariantMap configuration; // the profile's provider configuration
        VpnStatus status = VpnStatus::Disconnected;
        std::unique_ptr<TunnelProvider> provider;
        bool stopRequested = false;
        int restarts = 0;
        CancelToken restartWait;
    };

    void launch(const std::shared_ptr<Tunnel> &tunnel);
    std::unique_ptr<TunnelProvider> makeProvider(const Tunnel &tunnel) const;
    void providerEnded(const std::shared_ptr<Tunnel> &tunnel, bool wasConnected, const QString &reason);
    QCoro::Task<> restartLater(std::shared_ptr<Tunnel> tunnel);
    void setStatus(Tunnel &tunnel, VpnStatus status);
    void finish(const std::shared_ptr<Tunnel> &tunnel, const QString &reason);
    bool keepsOnDemand(const Tunnel &tunnel) const;
    void writeLastError(const QString &text) const;

    ServiceOptions m_options;
    EnginePaths m_paths;
    ProfileStore &m_store;
    QHash<QString, std::shared_ptr<Tunnel>> m_tunnels; // by profile id
};

} // namespace qor::service
