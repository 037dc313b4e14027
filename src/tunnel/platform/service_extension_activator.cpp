#include "service_extension_activator.h"

#include "tunnel_service_bus.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace qor {

namespace bus = tunnel_service_bus;

ServiceExtensionActivator::ServiceExtensionActivator(QDBusConnection connection, QObject *parent)
    : ExtensionActivator(parent), m_bus(std::move(connection))
{
}

void ServiceExtensionActivator::submitActivation(const QString &identifier)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(bus::serviceName, bus::objectPath, bus::interfaceName, QStringLiteral("Activate"));
    message.setArguments({identifier});
    // Allowing interaction lets polkit ask the user through their authentication agent.
    message.setInteractiveAuthorizationAllowed(true);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, activationTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, identifier] {
        watcher->deleteLater();
        QDBusPendingReply<QString> reply = *watcher;
        if (reply.isError()) {
            const QDBusError error = reply.error();
            QString text = error.message();
            if (!error.name().startsWith(QLatin1String("com.qorvpn.connect.")))
                text = QStringLiteral("служба туннелей qor-connectd не отвечает — установите пакет qor-connect и "
                                      "проверьте «systemctl status qor-connectd» (")
                    + error.name() + QLatin1Char(')');
            Q_EMIT failed(identifier, error.name(), int(error.type()), text);
            return;
        }
        if (reply.value() == bus::needsApproval)
            Q_EMIT needsUserApproval(identifier);
        else
            Q_EMIT finished(identifier);
    });
}

void ServiceExtensionActivator::submitDeactivation(const QString &identifier)
{
    // Nothing stays pending on the service's side: an unanswered authentication ends
    // with its call.
    QMetaObject::invokeMethod(this, [this, identifier] { Q_EMIT finished(identifier); }, Qt::QueuedConnection);
}

} // namespace qor
