#pragma once

#include "tunnel/platform/platform_error.h"

#include <memory>

namespace qor {

// A refused profile call of a tunnel manager: the stage names the call
// ("loadAllFromPreferences", "saveToPreferences", "loadFromPreferences",
// "startVPNTunnel") and the underlying platform error says why.
class ProfileCallError : public Error {
public:
    const QString &stage() const { return m_stage; }
    const PlatformError &underlying() const { return *m_underlying; }

protected:
    ProfileCallError(QString domain, QString stage, const Error &underlying, bool reportNested);

private:
    QString m_stage;
    std::shared_ptr<const PlatformError> m_underlying;
};

// TunnelManager.TunnelError.vpnPermissionDenied: the description reports one
// nested error after " | underlying: ".
class TunnelError : public ProfileCallError {
public:
    static TunnelError vpnPermissionDenied(const QString &stage, const Error &underlying)
    {
        return TunnelError(stage, underlying);
    }

private:
    TunnelError(const QString &stage, const Error &underlying);
};

// ReserveTunnelManager.ReserveTunnelError.vpnPermissionDenied: the description
// never reports a nested error.
class ReserveTunnelError : public ProfileCallError {
public:
    static ReserveTunnelError vpnPermissionDenied(const QString &stage, const Error &underlying)
    {
        return ReserveTunnelError(stage, underlying);
    }

private:
    ReserveTunnelError(const QString &stage, const Error &underlying);
};

} // namespace qor
