#pragma once

#include "tunnel/platform/vpn_profile.h"

#include <QList>
#include <QString>

#include <optional>
#include <vector>

namespace qor::service {

// Every user's VPN profiles, kept by the service: one JSON document per profile in
// "<state>/profiles/<uid>/<id>.json", owned by root with mode 0600 in 0700 folders,
// since the profiles hold the tunnels' keys. A user only ever reaches their own.
class ProfileStore {
public:
    explicit ProfileStore(QString stateDirectory);

    // The user's profiles, oldest first.
    QList<VpnProfile> list(uint uid) const;
    std::optional<VpnProfile> get(uint uid, const QString &id) const;
    // Stores the profile, giving it a new id when it has none; returns the id.
    // Throws PlatformError when the disk refuses or the user has too many profiles.
    QString save(uint uid, VpnProfile profile);

private:
    struct Entry {
        qint64 created;
        VpnProfile profile;
    };
    // The user's profiles with their creation times, oldest first.
    std::vector<Entry> entries(uint uid) const;
    QString userDirectory(uint uid) const;
    std::optional<VpnProfile> read(const QString &path, qint64 *created) const;

    QString m_root;
};

} // namespace qor::service
