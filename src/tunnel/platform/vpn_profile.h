#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace qor {

// The six states of a tunnel connection, with the platform's numbering.
enum class VpnStatus : int {
    Invalid = 0,
    Disconnected = 1,
    Connecting = 2,
    Connected = 3,
    Reasserting = 4,
    Disconnecting = 5,
};

inline bool isValidVpnStatus(int value) { return value >= 0 && value <= 5; }

// An on-demand rule that brings the tunnel up on networks of the given kind.
struct OnDemandRule {
    QString action = QStringLiteral("connect");
    QString interfaceTypeMatch = QStringLiteral("any");
    bool operator==(const OnDemandRule &) const = default;
};

// The protocol of a profile served by a packet-tunnel provider.
struct TunnelProviderProtocol {
    QString providerBundleIdentifier;
    QString serverAddress;
    QVariantMap providerConfiguration;
    bool operator==(const TunnelProviderProtocol &) const = default;
};

// One saved VPN profile. Profiles are reference objects: the managers hold a
// handle, edit it in place and save it; reloading refreshes it from storage.
struct VpnProfile {
    QString id; // assigned by the profile service on the first save
    QString localizedDescription;
    bool enabled = false;
    // Absent when the profile uses a protocol of another kind; protocolKind names it.
    std::optional<TunnelProviderProtocol> protocol;
    QString protocolKind;
    bool onDemandEnabled = false;
    QList<OnDemandRule> onDemandRules;

    bool operator==(const VpnProfile &) const = default;

    // An id as the profile services give them: a lower-case UUID without braces, so
    // it is safe as a file name.
    static bool isWellFormedId(const QString &id);

    // The stored form. fromJson rejects anything malformed (absent result).
    QJsonObject toJson() const;
    static std::optional<VpnProfile> fromJson(const QJsonObject &object);
};

using ProfileHandle = std::shared_ptr<VpnProfile>;

} // namespace qor
