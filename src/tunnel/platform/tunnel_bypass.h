#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace qor {

// How a connection that must not use a tunnel reaches its destination.
struct PathDecision {
    enum Kind {
        Unrestricted,  // no tunnel is up (or the destination is this host): connect as usual
        BindToDevice,  // bind the socket to `device`, a physical interface
        NoPhysicalPath // a tunnel is up and no physical interface carries a default route
    };
    Kind kind = Unrestricted;
    QString device;
    bool operator==(const PathDecision &) const = default;
};

// Keeps connections off virtual (tunnel) interfaces. Thread-safe.
class TunnelBypass {
public:
    virtual ~TunnelBypass() = default;
    virtual PathDecision decide(const QHostAddress &destination) const = 0;
};

// Linux: while an interface of a tunnel kind is up (tun, WireGuard, PPP, IP-in-IP,
// GRE and similar, recognised from the kernel's interface information, not from
// its name), sockets are bound to the physical interface that carries the main
// table's default route for the destination's family.
class LinuxTunnelBypass final : public TunnelBypass {
public:
    PathDecision decide(const QHostAddress &destination) const override;

    static bool isTunnelInterface(const QString &name);
    static QStringList tunnelInterfacesUp();
    static std::optional<QString> physicalDefaultInterface(QAbstractSocket::NetworkLayerProtocol family);

    static std::shared_ptr<const TunnelBypass> shared();
};

} // namespace qor
