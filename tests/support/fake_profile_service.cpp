#include "fake_profile_service.h"

#include <QUuid>

namespace qor {

void FakeProfileService::maybeFail(Call call)
{
    auto it = m_failures.find(int(call));
    if (it == m_failures.end())
        return;
    if (it->skip > 0) {
        --it->skip;
        return;
    }
    const PlatformError error = it->error;
    if (it->remaining > 0 && --it->remaining == 0)
        m_failures.erase(it);
    throw error;
}

int FakeProfileService::indexOf(const QString &id) const
{
    for (int i = 0; i < m_stored.size(); ++i) {
        if (m_stored[i].id == id)
            return i;
    }
    return -1;
}

QCoro::Task<QList<ProfileHandle>> FakeProfileService::loadAll()
{
    m_calls.append(QStringLiteral("loadAll"));
    maybeFail(Call::LoadAll);
    QList<ProfileHandle> result;
    for (const VpnProfile &p : std::as_const(m_stored))
        result.append(std::make_shared<VpnProfile>(p));
    co_return result;
}

QCoro::Task<> FakeProfileService::save(ProfileHandle profile)
{
    m_calls.append(QStringLiteral("save ") + (profile->id.isEmpty() ? QStringLiteral("new") : profile->id));
    maybeFail(Call::Save);
    if (profile->id.isEmpty())
        profile->id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const int index = indexOf(profile->id);
    if (index < 0)
        m_stored.append(*profile);
    else
        m_stored[index] = *profile;
    m_saveHistory.append(*profile);
    co_return;
}

QCoro::Task<> FakeProfileService::reload(ProfileHandle profile)
{
    m_calls.append(QStringLiteral("reload ") + profile->id);
    maybeFail(Call::Reload);
    const int index = indexOf(profile->id);
    if (index < 0)
        throw profile_errors::make(profile_errors::ConfigurationStale);
    *profile = m_stored[index];
    co_return;
}

QCoro::Task<> FakeProfileService::startTunnel(const VpnProfile &profile)
{
    if (onStartRequest)
        onStartRequest();
    m_calls.append(QStringLiteral("start ") + profile.id);
    maybeFail(Call::Start);
    if (indexOf(profile.id) < 0)
        throw profile_errors::make(profile_errors::ConfigurationInvalid);
    if (m_onStart)
        setStatus(profile.id, *m_onStart);
    co_return;
}

void FakeProfileService::stopTunnel(const VpnProfile &profile)
{
    m_calls.append(QStringLiteral("stop ") + profile.id);
    if (m_onStop && indexOf(profile.id) >= 0)
        setStatus(profile.id, *m_onStop);
}

VpnStatus FakeProfileService::status(const VpnProfile &profile) const
{
    ++m_statusReads;
    if (profile.id.isEmpty() || indexOf(profile.id) < 0)
        return VpnStatus::Invalid;
    return m_status.value(profile.id, VpnStatus::Disconnected);
}

void FakeProfileService::failOn(Call call, const PlatformError &error, int times, int skip)
{
    m_failures.insert(int(call), Failure{error, times, skip});
}

QString FakeProfileService::addStored(VpnProfile profile)
{
    if (profile.id.isEmpty())
        profile.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_stored.append(profile);
    return profile.id;
}

void FakeProfileService::setStatus(const QString &id, VpnStatus status)
{
    m_status.insert(id, status);
    // Like the platform, announced later through the event loop, never inside the causing call.
    QMetaObject::invokeMethod(this, [this, id] { Q_EMIT statusChanged(id); }, Qt::QueuedConnection);
}

} // namespace qor
