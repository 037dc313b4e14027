#pragma once

#include "authorizer.h"
#include "profile_store.h"
#include "tunnel_supervisor.h"

#include <QDBusContext>
#include <QObject>

namespace qor::service {

// The service's face on the system bus (com.qorvpn.connect.Tunnels1). Every caller
// is known by the uid the bus vouches for and reaches only their own profiles and
// tunnels; bringing a tunnel up needs the polkit authorisation. Every argument is
// checked before it is used.
class TunnelService final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.qorvpn.connect.Tunnels1")
public:
    TunnelService(ProfileStore &store, TunnelSupervisor &supervisor, Authorizer authorizer, QObject *parent = nullptr);

public Q_SLOTS:
    // The caller's profiles (stored form), oldest first, with each one's status and
    // byte counters since its tunnel came up.
    QStringList ListProfiles(QList<int> &statuses, QList<qulonglong> &received, QList<qulonglong> &sent);
    QString GetProfile(const QString &id);
    // Stores a profile (a new one gets an id) and returns its id.
    QString SaveProfile(const QString &document);
    void StartTunnel(const QString &id);
    void StopTunnel(const QString &id);
    // "activated" or "needs-approval" for one of the two providers.
    QString Activate(const QString &identifier);
    // The caller's running tunnels' counters since each came up.
    QStringList Counters(QList<qulonglong> &received, QList<qulonglong> &sent);

Q_SIGNALS:
    void StatusChanged(const QString &id, int status);

private:
    std::optional<uint> callerUid();
    void refuse(const QString &errorName, const QString &message);
    QCoro::Task<> startAuthorized(QDBusMessage request, uint uid, VpnProfile profile);
    QCoro::Task<> activateAuthorized(QDBusMessage request, uint uid, QString identifier);

    ProfileStore &m_store;
    TunnelSupervisor &m_supervisor;
    Authorizer m_authorizer;
};

} // namespace qor::service
