#pragma once

#include "shell/app_root.h"

#include <QString>

#include <functional>
#include <memory>

namespace qor::demo {
class DemoBackend;
class DemoEnvironment;
} // namespace qor::demo

namespace qor {

// What --demo does to a front end, in two steps: first the process is pointed at
// the demo folders (before anything reads a directory), then the demo backend is
// started and the root's options are pointed at it.
class DemoSetup {
public:
    DemoSetup();
    ~DemoSetup();

    DemoSetup(const DemoSetup &) = delete;
    DemoSetup &operator=(const DemoSetup &) = delete;

    // Creates the demo folders and redirects the XDG and trace folders to them;
    // false (with the reason in *error) when a folder cannot be created.
    bool applyEnvironment(QString *error);

    // Starts the backend once; `announce` receives what it tells the user (the
    // e-mail code). False (with the reason in *error) when it cannot listen.
    bool startBackend(std::function<void(const QString &)> announce, QString *error);

    // `base` pointed at the started backend: its addresses, its loopback Tavrin
    // entries and node timing, and a file-only secret store.
    AppRoot::Options rootOptions(AppRoot::Options base) const;

    demo::DemoBackend *backend() const { return m_backend.get(); }
    QString root() const;

private:
    std::unique_ptr<demo::DemoEnvironment> m_environment;
    std::unique_ptr<demo::DemoBackend> m_backend;
    bool m_applied = false;
};

} // namespace qor
