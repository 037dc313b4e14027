#include "demo_environment.h"

#include "tunnel/platform/bundle.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace qor::demo {

namespace {
bool makePrivateFolder(const QString &path)
{
    if (!QDir().mkpath(path))
        return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
} // namespace

DemoEnvironment::DemoEnvironment()
{
    const QString explicitRoot = qEnvironmentVariable("QOR_DEMO_DIR");
    if (!explicitRoot.isEmpty()) {
        m_root = QDir(explicitRoot).absolutePath();
        m_runtime = m_root + QStringLiteral("/runtime");
        return;
    }
    m_root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/qor-connect-demo");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    m_runtime = runtime.isEmpty() ? m_root + QStringLiteral("/runtime") : runtime + QStringLiteral("/qor-connect-demo");
}

QString DemoEnvironment::configHome() const
{
    return m_root + QStringLiteral("/config");
}

QString DemoEnvironment::dataHome() const
{
    return m_root + QStringLiteral("/data");
}

QString DemoEnvironment::traceDirectory() const
{
    return m_root + QStringLiteral("/trace");
}

QString DemoEnvironment::backendDirectory() const
{
    return m_root + QStringLiteral("/backend");
}

bool DemoEnvironment::apply() const
{
    for (const QString &folder : {m_root, configHome(), dataHome(), m_runtime, backendDirectory()}) {
        if (!makePrivateFolder(folder))
            return false;
    }
    // The trace folder is created by the trace itself, with the permissions it wants.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime));
    qputenv("QOR_TRACE_DIR", QFile::encodeName(traceDirectory()));
    // An installed copy keeps the simulated providers apart from the real bundle.
    if (qEnvironmentVariableIsEmpty("QOR_BUNDLE_DIR")) {
        if (const QString demoBundle = bundle::installedDemoDirectory(); !demoBundle.isEmpty())
            qputenv("QOR_BUNDLE_DIR", QFile::encodeName(demoBundle));
    }
    return true;
}

} // namespace qor::demo
