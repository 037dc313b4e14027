#include "tunnel_profile_controller.h"

#include "runtime/error.h"

#include <QLoggingCategory>
#include <QPointer>

using namespace std::chrono_literals;

Q_LOGGING_CATEGORY(lcTunnel, "com.qorvpn.connect.tunnel", QtInfoMsg)

namespace qor {

namespace {

QCoro::Task<> disableAndStopWith(QPointer<ProfileService> service, ProfileHandle profile)
{
    if (!service)
        co_return;
    service->stopTunnel(*profile);
    profile->onDemandEnabled = false;
    profile->onDemandRules.clear();
    try {
        co_await service->save(profile);
    } catch (const Error &error) {
        qCInfo(lcTunnel) << "dropping failed save while stopping:" << error.description();
    }
    if (service)
        service->stopTunnel(*profile);
}

} // namespace

// Not a lambda: a coroutine's captures would die with the lambda at its first suspension.
QCoro::Task<> TunnelProfileController::adoptAndStop(QPointer<TunnelProfileController> self)
{
    if (!self)
        co_return;
    co_await self->loadExisting();
    if (!self || !self->m_manager)
        co_return;
    co_await disableAndStopWith(&self->m_profiles, self->m_manager);
}

TunnelProfileController::TunnelProfileController(ProfileService &profiles, Clock &clock, QString providerIdentifier,
                                                 QObject *parent)
    : QObject(parent), m_profiles(profiles), m_clock(clock), m_providerIdentifier(std::move(providerIdentifier))
{
}

bool TunnelProfileController::belongsHere(const VpnProfile &profile) const
{
    return profile.protocol && profile.protocol->providerBundleIdentifier == m_providerIdentifier;
}

void TunnelProfileController::enableOnDemand(VpnProfile &profile)
{
    profile.onDemandRules = {OnDemandRule{QStringLiteral("connect"), QStringLiteral("any")}};
    profile.onDemandEnabled = true;
}

QCoro::Task<> TunnelProfileController::loadExisting()
{
    if (m_manager)
        co_return;
    QPointer<TunnelProfileController> self(this);
    QList<ProfileHandle> all;
    try {
        all = co_await m_profiles.loadAll();
    } catch (const Error &error) {
        qCInfo(lcTunnel) << "no profiles loaded:" << error.description();
        co_return;
    }
    if (!self || m_manager)
        co_return;
    for (const ProfileHandle &candidate : std::as_const(all)) {
        if (!belongsHere(*candidate))
            continue;
        m_manager = candidate;
        observeStatus(candidate);
        if (onStatusChange)
            onStatusChange(int(m_profiles.status(*candidate)));
        co_return;
    }
}

void TunnelProfileController::stop()
{
    QPointer<ProfileService> service(&m_profiles);
    if (m_manager) {
        // The background work holds the profile, not the manager.
        QMetaObject::invokeMethod(&m_profiles, [service, profile = m_manager] { disableAndStopWith(service, profile); },
                                  Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(this, [self = QPointer<TunnelProfileController>(this)] { adoptAndStop(self); },
                              Qt::QueuedConnection);
}

QCoro::Task<> TunnelProfileController::disableAndStop(ProfileHandle profile)
{
    return disableAndStopWith(&m_profiles, std::move(profile));
}

QCoro::Task<> TunnelProfileController::stopAndWait(double seconds)
{
    QPointer<TunnelProfileController> self(this);
    if (!m_manager) {
        co_await loadExisting();
        if (!self || !m_manager)
            co_return;
    }
    const ProfileHandle profile = m_manager;
    QPointer<ProfileService> service(&m_profiles);
    co_await disableAndStopWith(service, profile);
    if (!self || !service)
        co_return;
    const auto deadline = m_clock.elapsed() + std::chrono::milliseconds(qint64(seconds * 1000.0));
    for (;;) {
        const VpnStatus status = m_profiles.status(*profile);
        if (status == VpnStatus::Disconnected || status == VpnStatus::Invalid)
            co_return;
        if (!(m_clock.elapsed() < deadline))
            co_return;
        co_await m_clock.sleep(150ms);
        if (!self || !service)
            co_return;
    }
}

void TunnelProfileController::observeStatus(ProfileHandle profile)
{
    if (m_statusObserver)
        disconnect(m_statusObserver);
    m_statusObserver = connect(&m_profiles, &ProfileService::statusChanged, this, [this, profile](const QString &id) {
        if (id.isEmpty() || id != profile->id || !onStatusChange)
            return;
        onStatusChange(int(m_profiles.status(*profile)));
    });
}

std::optional<int> TunnelProfileController::connectionStatus() const
{
    if (!m_manager)
        return std::nullopt;
    return int(m_profiles.status(*m_manager));
}

} // namespace qor
