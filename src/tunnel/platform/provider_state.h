#pragma once

#include "vpn_profile.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace qor {

// What a running provider publishes about its tunnel: one small JSON document per
// profile in the runtime folder, rewritten atomically on every change. The
// application trusts none of it blindly: the document is validated, and the
// process it names must still be that very process (same id, same start time,
// same user) for a running status to count.
struct ProviderState {
    QString profileId;
    QString providerIdentifier;
    qint64 pid = 0;
    quint64 startTime = 0; // kernel start time of the process, in clock ticks since boot
    VpnStatus status = VpnStatus::Disconnected;
    QString interfaceName; // the tunnel interface, empty when the provider runs without one

    QByteArray toJson() const;
    // Absent for anything malformed: wrong types, unknown status, bad process id.
    static std::optional<ProviderState> parse(const QByteArray &json);
};

// Where the profile service and its providers keep their files.
namespace tunnel_paths {
// "$XDG_CONFIG_HOME/qor-connect/profiles"
QString profilesDirectory();
// "$XDG_RUNTIME_DIR/qor-connect/tunnels"
QString stateDirectory();
} // namespace tunnel_paths

// Identity of a process of the current user, as the kernel reports it.
namespace process_identity {
// The start time of a live (not zombie) process owned by the current user.
std::optional<quint64> startTime(qint64 pid);
// True when pid is still the process that started at startTime.
bool isSame(qint64 pid, quint64 startTime);
} // namespace process_identity

} // namespace qor
