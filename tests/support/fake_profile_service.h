#pragma once

#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/profile_service.h"

#include <QHash>
#include <QStringList>

#include <functional>
#include <optional>

namespace qor {

// In-memory profiles in save order; reports any status it is told, records calls, fails on request.
class FakeProfileService final : public ProfileService {
    Q_OBJECT
public:
    enum class Call { LoadAll, Save, Reload, Start };

    using ProfileService::ProfileService;

    QCoro::Task<QList<ProfileHandle>> loadAll() override;
    QCoro::Task<> save(ProfileHandle profile) override;
    QCoro::Task<> reload(ProfileHandle profile) override;
    QCoro::Task<> startTunnel(const VpnProfile &profile) override;
    void stopTunnel(const VpnProfile &profile) override;
    VpnStatus status(const VpnProfile &profile) const override;

    // After `skip` more successful calls the call fails `times` times (-1: always).
    void failOn(Call call, const PlatformError &error, int times = -1, int skip = 0);

    // In save order; addStored() seeds one (id made up when empty) and returns its id.
    QList<VpnProfile> stored() const { return m_stored; }
    QString addStored(VpnProfile profile);
    // Every profile content passed to a successful save, in order.
    QList<VpnProfile> saveHistory() const { return m_saveHistory; }

    // Sets the reported status at once and announces it through the event loop.
    void setStatus(const QString &id, VpnStatus status);
    // Set by startTunnel (default none: unchanged) and stopTunnel (default disconnected; none: never stops).
    void setStatusOnStart(std::optional<VpnStatus> status) { m_onStart = status; }
    void setStatusOnStop(std::optional<VpnStatus> status) { m_onStop = status; }

    // "loadAll", "save <id or new>", "reload <id>", "start <id>", "stop <id>".
    QStringList calls() const { return m_calls; }
    // How often a status was read: one per poll of a waiting caller.
    int statusReads() const { return m_statusReads; }
    void clearCalls() { m_calls.clear(); }
    // Called as a start request arrives, before it is handled.
    std::function<void()> onStartRequest;

private:
    void maybeFail(Call call);
    int indexOf(const QString &id) const;

    QList<VpnProfile> m_stored;
    QList<VpnProfile> m_saveHistory;
    QHash<QString, VpnStatus> m_status;
    struct Failure {
        PlatformError error;
        int remaining;
        int skip;
    };
    QHash<int, Failure> m_failures;
    std::optional<VpnStatus> m_onStart;
    std::optional<VpnStatus> m_onStop = VpnStatus::Disconnected;
    QStringList m_calls;
    mutable int m_statusReads = 0;
};

} // namespace qor
