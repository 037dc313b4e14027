#pragma once

#include "extension_activator.h"

#include <QDBusConnection>

namespace qor {

// Activation on Linux: the tunnel service stands for the packet-tunnel extensions.
// An extension is active when the service answers and the engine of its channel is
// installed; when polkit wants an authentication the user has not given (yet), the
// request needs the user's approval; a missing service or engine fails with the
// service's diagnostic text.
class ServiceExtensionActivator final : public ExtensionActivator {
    Q_OBJECT
public:
    explicit ServiceExtensionActivator(QDBusConnection bus = QDBusConnection::systemBus(), QObject *parent = nullptr);

    void submitActivation(const QString &identifier) override;
    void submitDeactivation(const QString &identifier) override;

    // A user's authentication can take a while: the polkit agent's dialog is open.
    static constexpr int activationTimeoutMs = 180000;

private:
    QDBusConnection m_bus;
};

} // namespace qor
