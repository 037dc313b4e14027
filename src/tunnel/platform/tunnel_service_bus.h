#pragma once

#include <QString>

// Where the tunnel service qor-connectd is found on the system bus, and the errors
// it answers with. Shared by the service and its clients.
namespace qor::tunnel_service_bus {

inline const QString serviceName = QStringLiteral("com.qorvpn.connect.Tunnels");
inline const QString objectPath = QStringLiteral("/com/qorvpn/connect/Tunnels");
inline const QString interfaceName = QStringLiteral("com.qorvpn.connect.Tunnels1");

// The polkit action that allows bringing a tunnel up.
inline const QString polkitAction = QStringLiteral("com.qorvpn.connect.manage-tunnels");

// D-Bus error names; their messages are Russian texts fit to be shown.
inline const QString errorInvalidArguments = QStringLiteral("com.qorvpn.connect.Tunnels.Error.InvalidArguments");
inline const QString errorNotAuthorized = QStringLiteral("com.qorvpn.connect.Tunnels.Error.NotAuthorized");
inline const QString errorUnknownProfile = QStringLiteral("com.qorvpn.connect.Tunnels.Error.UnknownProfile");
inline const QString errorProfileDisabled = QStringLiteral("com.qorvpn.connect.Tunnels.Error.ProfileDisabled");
inline const QString errorEngineMissing = QStringLiteral("com.qorvpn.connect.Tunnels.Error.EngineMissing");
inline const QString errorBusy = QStringLiteral("com.qorvpn.connect.Tunnels.Error.Busy");
inline const QString errorStorage = QStringLiteral("com.qorvpn.connect.Tunnels.Error.Storage");

// Answers of Activate.
inline const QString activated = QStringLiteral("activated");
inline const QString needsApproval = QStringLiteral("needs-approval");

// Limits the service holds every caller to.
inline constexpr int maxProfileBytes = 1024 * 1024;
inline constexpr int maxProfilesPerUser = 16;

} // namespace qor::tunnel_service_bus
