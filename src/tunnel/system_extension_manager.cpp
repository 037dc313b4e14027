#include "system_extension_manager.h"

#include "provider_identifiers.h"
#include "tunnel/platform/bundle.h"

#include <QCoroSignal>
#include <QDir>
#include <QFileInfo>

namespace qor {

namespace {
enum Outcome { Pending, Finished, Failed, NeedsApproval };
}

struct SystemExtensionManager::Continuation {
    Waker waker;
    int outcome = Pending;
    std::optional<PlatformError> error;
};

SystemExtensionManager::ActivationError::ActivationError(const PlatformError &error)
    : Error(QStringLiteral("SystemExtensionManager.ActivationError"), 0, failureDescription(error.description())),
      m_error(error)
{
}

SystemExtensionManager::SystemExtensionManager(ExtensionActivator &activator, QObject *parent)
    : QObject(parent), m_activator(activator)
{
    connect(&activator, &ExtensionActivator::finished, this,
            [this](const QString &identifier) { resolve(identifier, Finished, std::nullopt); });
    connect(&activator, &ExtensionActivator::needsUserApproval, this,
            [this](const QString &identifier) { resolve(identifier, NeedsApproval, std::nullopt); });
    connect(&activator, &ExtensionActivator::failed, this,
            [this](const QString &identifier, const QString &domain, int code, const QString &description) {
                resolve(identifier, Failed, PlatformError(domain, code, description));
            });
}

SystemExtensionManager::~SystemExtensionManager()
{
    // Nobody stays suspended on a manager that is gone.
    const auto all = std::exchange(m_continuations, {});
    for (const auto &waiting : all) {
        for (const auto &continuation : waiting) {
            continuation->outcome = Failed;
            continuation->error = PlatformError(QStringLiteral("SystemExtensionManager"), 1,
                                                QStringLiteral("запрос прерван"));
            continuation->waker.fire(true);
        }
    }
}

QString SystemExtensionManager::mainExtensionIdentifier()
{
    return mainProviderIdentifier();
}

QString SystemExtensionManager::reserveExtensionIdentifier()
{
    return reserveProviderIdentifier();
}

void SystemExtensionManager::resolve(const QString &identifier, int outcome, const std::optional<PlatformError> &error)
{
    // An outcome with no waiting caller (a late answer after approval) is ignored.
    const auto waiting = m_continuations.take(identifier);
    for (const auto &continuation : waiting) {
        continuation->outcome = outcome;
        continuation->error = error;
        continuation->waker.fire(true);
    }
}

QCoro::Task<int> SystemExtensionManager::submit(QString identifier, bool activation, std::shared_ptr<Continuation> &out)
{
    auto continuation = std::make_shared<Continuation>();
    out = continuation;
    m_continuations[identifier].append(continuation);
    if (activation)
        m_activator.submitActivation(identifier);
    else
        m_activator.submitDeactivation(identifier);
    if (continuation->outcome == Pending)
        co_await qCoro(&continuation->waker, &Waker::woken);
    co_return continuation->outcome;
}

QCoro::Task<SystemExtensionManager::ActivationResult> SystemExtensionManager::activate(QString identifier)
{
    std::shared_ptr<Continuation> continuation;
    const int outcome = co_await submit(identifier, true, continuation);
    switch (outcome) {
    case Finished:
        co_return ActivationResult::Activated;
    case NeedsApproval:
        co_return ActivationResult::NeedsUserApproval;
    default:
        throw ActivationError::failed(*continuation->error);
    }
}

QCoro::Task<> SystemExtensionManager::withdrawPendingRequest(QString identifier)
{
    std::shared_ptr<Continuation> continuation;
    co_await submit(identifier, false, continuation);
}

bool SystemExtensionManager::bundleContainsExtension(const QString &identifier) const
{
    return QFileInfo::exists(bundle::extensionBundlePath(identifier));
}

QString SystemExtensionManager::failureDescription(const QString &localizedDescription)
{
    const QString folder = bundle::systemExtensionsDirectory();
    QStringList found;
    const QStringList entries = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &name : entries) {
        const auto identifier = bundle::plistString(folder + QLatin1Char('/') + name + QStringLiteral("/Contents/Info.plist"),
                                                    QStringLiteral("CFBundleIdentifier"));
        found.append(name + QStringLiteral(" → ") + identifier.value_or(QStringLiteral("нет CFBundleIdentifier")));
    }
    return QStringLiteral("Не удалось активировать системное расширение: ") + localizedDescription + QLatin1Char('\n')
        + QStringLiteral("bundle: ") + folder + QStringLiteral("\nнайдено: ")
        + (found.isEmpty() ? QStringLiteral("ничего") : found.join(QStringLiteral("; ")));
}

} // namespace qor
