#pragma once

#include "process_handle.h"
#include "profile_service.h"
#include "provider_state.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QTimer>

#include <memory>

class QSocketNotifier;

namespace qor {

// The VPN profiles of this user on Linux, kept by the application itself.
//
// Profiles are JSON documents (mode 0600, replaced atomically) in
// "$XDG_CONFIG_HOME/qor-connect/profiles". Starting a profile launches the
// executable of the provider its protocol names, found in the bundle's extension
// folder, as a detached process that outlives the application. The provider
// publishes its status in "$XDG_RUNTIME_DIR/qor-connect/tunnels/<id>.state"; the
// service watches that folder and the provider process and announces changes on
// the main thread. Stopping leaves a stop request beside the state and signals the
// provider, after making sure the process is still that provider.
//
// Any number of service instances (an application restart) see the same tunnels.
class LinuxProfileService final : public ProfileService {
    Q_OBJECT
public:
    struct Paths {
        QString profiles = tunnel_paths::profilesDirectory();
        QString state = tunnel_paths::stateDirectory();
    };

    explicit LinuxProfileService(QObject *parent = nullptr);
    explicit LinuxProfileService(Paths paths, QObject *parent = nullptr);
    ~LinuxProfileService() override;

    QCoro::Task<QList<ProfileHandle>> loadAll() override;
    QCoro::Task<> save(ProfileHandle profile) override;
    QCoro::Task<> reload(ProfileHandle profile) override;
    QCoro::Task<> startTunnel(const VpnProfile &profile) override;
    // startTunnel's work, done at once: throws PlatformError.
    void startProvider(const VpnProfile &profile);
    void stopTunnel(const VpnProfile &profile) override;
    VpnStatus status(const VpnProfile &profile) const override;

    // The status of the profile with this id (see status()).
    VpnStatus statusOf(const QString &profileId) const;
    // The validated state its provider published, if any.
    std::optional<ProviderState> providerState(const QString &profileId) const;

    // The process id of the provider this instance last launched for the profile.
    std::optional<qint64> lastLaunchedProcess(const QString &profileId) const;

    QString profilePath(const QString &id) const;
    QString statePath(const QString &id) const;
    QString stopRequestPath(const QString &id) const;

private:
    struct Launch {
        qint64 pid = 0;
        quint64 startTime = 0;
    };
    std::optional<VpnProfile> readProfile(const QString &id, qint64 *created = nullptr) const;
    QStringList storedIds() const;
    // The process that serves the profile's tunnel now, if one is alive.
    std::optional<Launch> liveProvider(const QString &id) const;
    void refresh();
    void watchExit(const QString &id, const Launch &process);

    Paths m_paths;
    QFileSystemWatcher m_watcher;
    QTimer m_refreshTimer; // coalesces looks at the state, always after the current call
    QTimer m_fallbackPoll;
    QHash<QString, Launch> m_launches;
    QHash<QString, qint64> m_lastLaunched;
    QHash<QString, VpnStatus> m_reported;
    struct ExitWatch {
        qint64 pid = 0;
        ProcessHandle handle;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    QHash<QString, std::shared_ptr<ExitWatch>> m_exitWatches;
};

} // namespace qor
