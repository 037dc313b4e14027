#pragma once

#include <QString>

namespace qor::demo {

// Where a demo run keeps everything it writes, so that a real session on the same
// machine is never touched: stores and profiles, the key file and the secrets, the
// tunnel state, the trace, and the demo backend's own layout.
//
// The root is QOR_DEMO_DIR when set, else "<XDG data home>/qor-connect-demo". The
// runtime folder (tunnel state, the instance lock) is "$XDG_RUNTIME_DIR/qor-connect-demo"
// when a runtime directory is set and QOR_DEMO_DIR is not, else "<root>/runtime".
class DemoEnvironment {
public:
    DemoEnvironment();

    QString root() const { return m_root; }
    QString configHome() const;
    QString dataHome() const;
    QString runtimeHome() const { return m_runtime; }
    QString traceDirectory() const;
    QString backendDirectory() const; // the demo backend's layout file

    // Creates the folders (0700) and points XDG_CONFIG_HOME, XDG_DATA_HOME,
    // XDG_RUNTIME_DIR and QOR_TRACE_DIR of this process at them; processes it starts
    // (the tunnel providers) inherit them. Call before any service is built. False
    // when a folder cannot be created.
    bool apply() const;

private:
    QString m_root;
    QString m_runtime;
};

} // namespace qor::demo
