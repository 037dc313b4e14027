#include "wake_watcher.h"

#include "core/app_state.h"

#include <QDBusObjectPath>

namespace qor {

namespace {
const QString networkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString networkManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
constexpr uint connectedGlobal = 70; // NM_STATE_CONNECTED_GLOBAL
} // namespace

WakeWatcher::WakeWatcher(AppState &state, QDBusConnection bus, QObject *parent) : QObject(parent), m_state(state)
{
    if (!bus.isConnected())
        return;
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    bus.connect(networkManager, networkManagerPath, networkManager, QStringLiteral("StateChanged"), this,
                SLOT(networkStateChanged(uint)));
    bus.connect(networkManager, networkManagerPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"), {networkManager}, QString(), this,
                SLOT(networkPropertiesChanged(QString, QVariantMap, QStringList)));
}

bool WakeWatcher::networkDown() const
{
    return m_networkState && *m_networkState != connectedGlobal;
}

void WakeWatcher::prepareForSleep(bool sleeping)
{
    // While NetworkManager is still bringing the network back, its "connected" checks instead.
    if (!sleeping && !networkDown())
        m_state.checkChannelNow();
}

void WakeWatcher::networkStateChanged(uint state)
{
    m_networkState = state;
    if (state == connectedGlobal)
        m_state.checkChannelNow();
}

void WakeWatcher::networkPropertiesChanged(const QString &, const QVariantMap &changed, const QStringList &)
{
    const auto primary = changed.find(QStringLiteral("PrimaryConnection"));
    if (primary != changed.end() && primary->value<QDBusObjectPath>().path() != QStringLiteral("/") && !networkDown())
        m_state.checkChannelNow();
}

} // namespace qor
