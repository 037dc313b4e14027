#pragma once

#include <QString>

namespace qor {

// The launch-at-login registration on Linux: an XDG autostart desktop entry,
// "$XDG_CONFIG_HOME/autostart/qor-connect.desktop". The application counts as
// registered while the entry exists and is switched off neither by "Hidden=true"
// nor by "X-GNOME-Autostart-enabled=false". The entry starts the program with
// `loginOption`, so a login start can stay in the status bar.
class AutostartEntry {
public:
    // The option the entry starts the program with ("--autostart").
    static constexpr auto loginOption = "autostart";

    // path empty: defaultPath(); program empty: defaultProgram().
    explicit AutostartEntry(QString path = {}, QString program = {});

    static QString defaultPath();

    bool isRegistered() const;
    // Writes the entry (atomically); false when that failed.
    bool registerEntry() const;
    // Removes the entry; false when it is still there afterwards.
    bool unregisterEntry() const;

    QString path() const { return m_path; }

    // What the entry starts: the desktop application beside the running program
    // when it is there, else "qor-connect" from the search path.
    static QString defaultProgram();

private:
    QString m_path;
    QString m_program;
};

} // namespace qor
