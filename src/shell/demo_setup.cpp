#include "demo_setup.h"

#include "demo/demo_backend.h"
#include "demo/demo_environment.h"

namespace qor {

DemoSetup::DemoSetup()
    : m_environment(std::make_unique<demo::DemoEnvironment>())
{
}

DemoSetup::~DemoSetup() = default;

QString DemoSetup::root() const
{
    return m_environment->root();
}

bool DemoSetup::applyEnvironment(QString *error)
{
    if (m_applied)
        return true;
    if (!m_environment->apply()) {
        *error = QStringLiteral("Не удалось создать папку демо-режима: ") + m_environment->root();
        return false;
    }
    m_applied = true;
    return true;
}

bool DemoSetup::startBackend(std::function<void(const QString &)> announce, QString *error)
{
    if (m_backend)
        return true;
    if (!applyEnvironment(error))
        return false;
    demo::DemoBackend::Options options;
    options.directory = m_environment->backendDirectory();
    options.announce = std::move(announce);
    auto backend = std::make_unique<demo::DemoBackend>(options);
    if (!backend->start()) {
        *error = QStringLiteral("Не удалось запустить демо-сервер на 127.0.0.1");
        return false;
    }
    m_backend = std::move(backend);
    return true;
}

AppRoot::Options DemoSetup::rootOptions(AppRoot::Options base) const
{
    base.tunnelPlatform = TunnelPlatform::Kind::DemoFiles;
    if (!m_backend)
        return base;
    base.apiBase = m_backend->apiBase();
    base.deepLinkBase = m_backend->deepLinkBase();
    base.probeUrls = m_backend->probeUrls();
    // The demo's corporate record must never replace the real one in the keychain.
    base.fileSecretStore = true;
    base.tavrinEntries = m_backend->tavrinEntries();
    base.tavrinPort = m_backend->tavrinPort();
    base.latencyAttempt = demo::DemoNetwork::latencyAttempt();
    return base;
}

} // namespace qor
