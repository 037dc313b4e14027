#pragma once

#include <QString>

namespace qor {

// The launch-at-login registration on Linux: an XDG autostart desktop entry,
// "$XDG_CONFIG_HOME/autostart/qor-connect.desktop". The application counts as
// registered while the entry exists and is not switched off by "Hidden=true".
class AutostartEntry {
public:
    // path empty: defaultPath().
    explicit AutostartEntry(QString path = {});

    static QString defaultPath();

    bool isRegistered() const;
    // Writes the entry (atomically); false when that failed.
    bool registerEntry() const;
    // Removes the entry; false when it is still there afterwards.
    bool unregisterEntry() const;

    QString path() const { return m_path; }

    // What the entry starts: the desktop application beside the running program
    // when it is there, else "qor-connect" from the search path.
    static QString program();

private:
    QString m_path;
};

} // namespace qor
