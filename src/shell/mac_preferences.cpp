#include "mac_preferences.h"

#include "account/defaults_store.h"

namespace qor {

MacPreferences::MacPreferences(DefaultsStore &standard, AutostartEntry autostart, QObject *parent)
    : QObject(parent), m_standard(standard), m_autostart(std::move(autostart))
{
    m_minimizeToMenuBar = m_standard.boolValue(QString::fromLatin1(minimizeToMenuBarKey)).value_or(false);
    m_launchAtLogin = m_autostart.isRegistered();
}

void MacPreferences::setMinimizeToMenuBar(bool value)
{
    m_minimizeToMenuBar = value;
    Q_EMIT minimizeToMenuBarChanged();
    m_standard.setBool(QString::fromLatin1(minimizeToMenuBarKey), value);
}

void MacPreferences::setLaunchAtLogin(bool value)
{
    m_launchAtLogin = value;
    Q_EMIT launchAtLoginChanged();
    applyLaunchAtLogin();
}

void MacPreferences::setStatusBarAvailable(bool value)
{
    if (m_statusBarAvailable == value)
        return;
    m_statusBarAvailable = value;
    Q_EMIT statusBarAvailableChanged();
}

void MacPreferences::applyLaunchAtLogin()
{
    const bool registered = m_autostart.isRegistered();
    if (m_launchAtLogin == registered)
        return;
    const bool done = m_launchAtLogin ? m_autostart.registerEntry() : m_autostart.unregisterEntry();
    if (!done) {
        // The error itself is not shown: the switch just follows the real state.
        m_launchAtLogin = m_autostart.isRegistered();
        Q_EMIT launchAtLoginChanged();
    }
}

} // namespace qor
