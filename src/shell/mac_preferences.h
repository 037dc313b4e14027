#pragma once

#include "autostart_entry.h"

#include <QObject>

namespace qor {

class DefaultsStore;

// The two desktop preferences: minimize to the status bar instead of quitting when
// the last window closes (kept in the standard store under "qor.minimizeToMenuBar"),
// and launch at login, which is not stored but mirrors the autostart entry.
class MacPreferences : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool minimizeToMenuBar READ minimizeToMenuBar WRITE setMinimizeToMenuBar NOTIFY minimizeToMenuBarChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
public:
    static constexpr auto minimizeToMenuBarKey = "qor.minimizeToMenuBar";

    MacPreferences(DefaultsStore &standard, AutostartEntry autostart = AutostartEntry(), QObject *parent = nullptr);

    bool minimizeToMenuBar() const { return m_minimizeToMenuBar; }
    void setMinimizeToMenuBar(bool value);

    bool launchAtLogin() const { return m_launchAtLogin; }
    // Registers or unregisters the entry; when that fails the field falls back to
    // the real registration.
    void setLaunchAtLogin(bool value);

Q_SIGNALS:
    void minimizeToMenuBarChanged();
    void launchAtLoginChanged();

private:
    void applyLaunchAtLogin();

    DefaultsStore &m_standard;
    AutostartEntry m_autostart;
    bool m_minimizeToMenuBar = false;
    bool m_launchAtLogin = false;
};

} // namespace qor
