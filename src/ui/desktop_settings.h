#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;
class QDBusVariant;

namespace qor {

// The desktop's colour-scheme and animation preferences, read from the XDG desktop
// portal's Settings interface and followed as they change. Without a session bus or
// a portal the preferences stay at their defaults (light, animations on), quietly:
// the portal is a convenience of the desktop, not something the program needs.
class DesktopSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool prefersDark READ prefersDark NOTIFY prefersDarkChanged)
    Q_PROPERTY(bool reduceMotion READ reduceMotion NOTIFY reduceMotionChanged)

public:
    explicit DesktopSettings(QObject *parent = nullptr);
    DesktopSettings(const QDBusConnection &bus, QObject *parent = nullptr);

    bool prefersDark() const { return m_prefersDark; }
    bool reduceMotion() const { return m_reduceMotion; }
    // Reads sent to the portal and not answered yet.
    int pendingReads() const { return m_pendingReads; }

    static constexpr auto portalService = "org.freedesktop.portal.Desktop";
    static constexpr auto portalPath = "/org/freedesktop/portal/desktop";
    static constexpr auto settingsInterface = "org.freedesktop.portal.Settings";

Q_SIGNALS:
    void prefersDarkChanged();
    void reduceMotionChanged();

private Q_SLOTS:
    void onSettingChanged(const QString &ns, const QString &key, const QDBusVariant &value);

private:
    void read(const QString &ns, const QString &key);
    void apply(const QString &ns, const QString &key, const QVariant &value);
    void setPrefersDark(bool value);
    void setReduceMotion(bool value);

    QDBusConnection m_bus;
    bool m_prefersDark = false;
    bool m_reduceMotion = false;
    bool m_gnomeAnimationsOff = false;
    bool m_kdeAnimationsOff = false;
    int m_pendingReads = 0;
};

} // namespace qor
