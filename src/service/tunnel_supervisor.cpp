#include "tunnel_supervisor.h"

#include "main_provider.h"
#include "reserve_provider.h"
#include "route_plan.h"
#include "service_log.h"

#include "runtime/deployment.h"
#include "runtime/qt_clock.h"
#include "core/trace_directory.h"
#include "tunnel/platform/tunnel_service_bus.h"
#include "tunnel/provider_identifiers.h"

#include <QPointer>

using namespace std::chrono_literals;

namespace qor::service {

namespace bus = tunnel_service_bus;

TunnelSupervisor::TunnelSupervisor(ServiceOptions options, EnginePaths paths, ProfileStore &store, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_paths(std::move(paths)), m_store(store)
{
}

TunnelSupervisor::~TunnelSupervisor()
{
    for (const auto &tunnel : std::as_const(m_tunnels))
        tunnel->restartWait.cancel();
}

bool TunnelSupervisor::engineInstalled(const QString &identifier, QString *missing) const
{
    if (identifier == reserveProviderIdentifier() && m_paths.wireguardGo.isEmpty()) {
        *missing = QStringLiteral("не установлен движок резервного канала wireguard-go (sudo apt install wireguard-go)");
        return false;
    }
    return true;
}

std::optional<TunnelSupervisor::Failure> TunnelSupervisor::start(uint uid, const VpnProfile &profile)
{
    const QString identifier = profile.protocol ? profile.protocol->providerBundleIdentifier : QString();
    if (const auto existing = m_tunnels.value(profile.id)) {
        if (existing->uid == uid && !existing->stopRequested)
            return std::nullopt; // runs already
        return Failure{bus::errorBusy, QStringLiteral("Предыдущий туннель ещё останавливается, попробуйте через несколько секунд")};
    }
    for (const auto &other : std::as_const(m_tunnels)) {
        if (other->identifier == identifier && other->id != profile.id)
            return Failure{bus::errorBusy, QStringLiteral("Этот канал уже занят другим туннелем на этом компьютере")};
    }
    if (identifier != reserveProviderIdentifier() && identifier != mainProviderIdentifier())
        return Failure{bus::errorUnknownProfile, QStringLiteral("Профиль не относится к Qor Connect")};
    QString missing;
    if (!engineInstalled(identifier, &missing))
        return Failure{bus::errorEngineMissing, missing};

    auto tunnel = std::make_shared<Tunnel>();
    tunnel->uid = uid;
    tunnel->id = profile.id;
    tunnel->identifier = identifier;
    tunnel->configuration = profile.protocol->providerConfiguration;
    m_tunnels.insert(profile.id, tunnel);
    setStatus(*tunnel, VpnStatus::Connecting);
    launch(tunnel);
    return std::nullopt;
}

std::unique_ptr<TunnelProvider> TunnelSupervisor::makeProvider(const Tunnel &tunnel) const
{
    if (tunnel.identifier == mainProviderIdentifier()) {
        MainProvider::Settings settings;
        settings.paths = m_paths;
        settings.configContent = tunnel.configuration.value(QStringLiteral("configContent")).toString();
        settings.bypass = tunnel.configuration.value(QStringLiteral("bypassIPs")).toStringList();
        settings.policy = tunnel.configuration.value(QStringLiteral("policy")).toMap();
        settings.startLimit = m_options.handshakeTimeout;
        return std::make_unique<MainProvider>(settings);
    }
    ReserveProvider::Settings settings;
    settings.paths = m_paths;
    settings.handshakeTimeout = m_options.handshakeTimeout;
    settings.link = route_plan::reserveLink;
    return std::make_unique<ReserveProvider>(tunnel.configuration.value(QStringLiteral("wgQuickConfigs")).toStringList(), settings);
}

void TunnelSupervisor::launch(const std::shared_ptr<Tunnel> &tunnel)
{
    tunnel->provider = makeProvider(*tunnel);
    std::weak_ptr<Tunnel> weak = tunnel;
    connect(tunnel->provider.get(), &TunnelProvider::connected, this, [this, weak] {
        if (const auto t = weak.lock()) {
            t->restarts = 0;
            setStatus(*t, VpnStatus::Connected);
        }
    });
    connect(tunnel->provider.get(), &TunnelProvider::ended, this, [this, weak](bool wasConnected, const QString &reason) {
        if (const auto t = weak.lock())
            providerEnded(t, wasConnected, reason);
    });
    tunnel->provider->start();
}

void TunnelSupervisor::stop(uint uid, const QString &id)
{
    const auto tunnel = m_tunnels.value(id);
    if (!tunnel || tunnel->uid != uid || tunnel->stopRequested)
        return;
    tunnel->stopRequested = true;
    setStatus(*tunnel, VpnStatus::Disconnecting);
    if (tunnel->provider) {
        tunnel->provider->stop();
    } else {
        tunnel->restartWait.cancel();
        finish(tunnel, QString());
    }
}

bool TunnelSupervisor::keepsOnDemand(const Tunnel &tunnel) const
{
    const auto profile = m_store.get(tunnel.uid, tunnel.id);
    return profile && profile->enabled && profile->onDemandEnabled && !profile->onDemandRules.isEmpty();
}

void TunnelSupervisor::providerEnded(const std::shared_ptr<Tunnel> &tunnel, bool wasConnected, const QString &reason)
{
    // The provider is done and cleaned up; it goes once this signal has returned.
    tunnel->provider.release()->deleteLater();
    const bool restarting = tunnel->restarts > 0;
    if (!tunnel->stopRequested && (wasConnected || restarting) && keepsOnDemand(*tunnel)) {
        qCInfo(lcService) << "tunnel" << tunnel->id << "ended:" << reason << "- restarting";
        setStatus(*tunnel, VpnStatus::Reasserting);
        restartLater(tunnel);
        return;
    }
    finish(tunnel, tunnel->stopRequested ? QString() : reason);
}

QCoro::Task<> TunnelSupervisor::restartLater(std::shared_ptr<Tunnel> tunnel)
{
    QPointer<TunnelSupervisor> self(this);
    const auto &delays = m_options.restartDelays;
    const auto delay = delays.isEmpty() ? 1000ms : delays.at(std::min<qsizetype>(tunnel->restarts, delays.size() - 1));
    ++tunnel->restarts;
    tunnel->restartWait = CancelToken::create();
    const bool waited = co_await QtClock::shared().sleep(delay, tunnel->restartWait);
    if (!self || !waited || tunnel->stopRequested || m_tunnels.value(tunnel->id) != tunnel)
        co_return;
    launch(tunnel);
}

void TunnelSupervisor::finish(const std::shared_ptr<Tunnel> &tunnel, const QString &reason)
{
    // The reason is in place before the status that makes the application read it.
    if (!reason.isEmpty())
        writeLastError(reason);
    if (m_tunnels.value(tunnel->id) == tunnel)
        m_tunnels.remove(tunnel->id);
    setStatus(*tunnel, VpnStatus::Disconnected);
}

void TunnelSupervisor::setStatus(Tunnel &tunnel, VpnStatus status)
{
    if (tunnel.status == status)
        return;
    tunnel.status = status;
    qCInfo(lcService) << "tunnel" << tunnel.id << "status" << int(status);
    Q_EMIT statusChanged(tunnel.id, int(status));
}

VpnStatus TunnelSupervisor::status(uint uid, const QString &id) const
{
    const auto tunnel = m_tunnels.value(id);
    return tunnel && tunnel->uid == uid ? tunnel->status : VpnStatus::Disconnected;
}

CounterSnapshot TunnelSupervisor::counters(uint uid) const
{
    CounterSnapshot snapshot;
    for (const auto &tunnel : std::as_const(m_tunnels)) {
        if (tunnel->uid != uid || !tunnel->provider)
            continue;
        if (const auto counters = tunnel->provider->counters())
            snapshot.insert(tunnel->id, *counters);
    }
    return snapshot;
}

void TunnelSupervisor::writeLastError(const QString &text) const
{
    const QString dir = m_options.traceDirectory.isEmpty() ? deployment::traceDirectory() : m_options.traceDirectory;
    if (!TraceDirectory(dir).replace(QStringLiteral("tunnel-last-error.txt"), text.toUtf8()))
        qCWarning(lcService) << "cannot leave the last error in" << dir;
}

QCoro::Task<> TunnelSupervisor::cleanLeftovers()
{
    QPointer<TunnelSupervisor> self(this);
    co_await ReserveProvider::cleanLeftovers(m_paths, route_plan::reserveLink);
    if (self)
        co_await MainProvider::cleanLeftovers(m_paths);
}

QCoro::Task<> TunnelSupervisor::shutdown()
{
    QPointer<TunnelSupervisor> self(this);
    const auto tunnels = m_tunnels.values();
    for (const auto &tunnel : tunnels)
        stop(tunnel->uid, tunnel->id);
    for (int waited = 0; waited < 100 && self && !m_tunnels.isEmpty(); ++waited)
        co_await QtClock::shared().sleep(50ms);
    if (self)
        co_await cleanLeftovers();
}

} // namespace qor::service
