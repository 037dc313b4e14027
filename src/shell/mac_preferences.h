#pragma once

#include "autostart_entry.h"

#include <QObject>

namespace qor {

class DefaultsStore;

// The two desktop preferences: minimize to the status bar instead of quitting when
// the last window closes (kept in the standard store under "qor.minimizeToMenuBar"),
// and launch at login, which is not stored but mirrors the autostart entry. Beside
// them, whether a status bar is there now: without one the first cannot be chosen.
class MacPreferences : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool minimizeToMenuBar READ minimizeToMenuBar WRITE setMinimizeToMenuBar NOTIFY minimizeToMenuBarChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(bool statusBarAvailable READ statusBarAvailable NOTIFY statusBarAvailableChanged)
public:
    static constexpr auto minimizeToMenuBarKey = "qor.minimizeToMenuBar";

    MacPreferences(DefaultsStore &standard, AutostartEntry autostart = AutostartEntry(), QObject *parent = nullptr);

    bool minimizeToMenuBar() const { return m_minimizeToMenuBar; }
    void setMinimizeToMenuBar(bool value);

    bool launchAtLogin() const { return m_launchAtLogin; }
    // Registers or unregisters the entry; when that fails the field falls back to
    // the real registration.
    void setLaunchAtLogin(bool value);

    // Kept by the desktop application's status-bar controller; false elsewhere.
    bool statusBarAvailable() const { return m_statusBarAvailable; }
    void setStatusBarAvailable(bool value);

Q_SIGNALS:
    void minimizeToMenuBarChanged();
    void launchAtLoginChanged();
    void statusBarAvailableChanged();

private:
    void applyLaunchAtLogin();

    DefaultsStore &m_standard;
    AutostartEntry m_autostart;
    bool m_minimizeToMenuBar = false;
    bool m_launchAtLogin = false;
    bool m_statusBarAvailable = false;
};

} // namespace qor
