#pragma once

#include <QDBusConnection>
#include <QObject>

#include <optional>

namespace qor {

class AppState;

// Asks a connected session to check its channel at once when the machine wakes up
// (logind's PrepareForSleep(false)) and when NetworkManager reports the network up
// again or a new primary connection (the default route moved under the tunnel).
class WakeWatcher : public QObject {
    Q_OBJECT
public:
    explicit WakeWatcher(AppState &state, QDBusConnection bus = QDBusConnection::systemBus(), QObject *parent = nullptr);

private Q_SLOTS:
    void prepareForSleep(bool sleeping);
    void networkStateChanged(uint state);
    void networkPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);

private:
    bool networkDown() const;

    AppState &m_state;
    std::optional<uint> m_networkState; // NetworkManager's last announced state; unknown without one
};

} // namespace qor
