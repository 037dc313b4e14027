#include "system_extension_manager.h"

#include "tunnel/platform/bundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

namespace qor {

namespace {

Q_LOGGING_CATEGORY(lcExtensions, "com.qorvpn.connect.tunnel", QtInfoMsg)

QString extensionFolder(const QString &extensionsDirectory, const QString &identifier)
{
    return extensionsDirectory + QLatin1Char('/') + identifier + QStringLiteral(".systemextension");
}

} // namespace

SystemExtensionManager::SystemExtensionManager(QString bundleRoot, QObject *parent)
    : QObject(parent), m_bundleRoot(std::move(bundleRoot))
{
}

QString SystemExtensionManager::extensionsDirectory() const
{
    const QString root = m_bundleRoot.isEmpty() ? bundle::rootDirectory() : m_bundleRoot;
    return root + QStringLiteral("/Contents/Library/SystemExtensions");
}

QCoro::Task<SystemExtensionManager::ActivationResult> SystemExtensionManager::activate(QString identifier)
{
    const QString directory = extensionsDirectory();
    const QString folder = extensionFolder(directory, identifier);
    if (!QFileInfo(folder).isDir()) {
        qCWarning(lcExtensions) << "extension" << identifier << "is not in the bundle";
        const Error missing(extension_errors::domain, extension_errors::ExtensionNotFound,
                            QStringLiteral("расширение %1 не найдено в сборке").arg(identifier));
        throw ActivationError(missing, directory);
    }
    if (QFileInfo::exists(folder + QLatin1Char('/') + approvalMarkerName())) {
        qCInfo(lcExtensions) << "extension" << identifier << "awaits the user's approval";
        co_return ActivationResult::NeedsUserApproval;
    }
    qCInfo(lcExtensions) << "extension" << identifier << "activated";
    co_return ActivationResult::Activated;
}

QCoro::Task<> SystemExtensionManager::withdrawPendingRequest(QString identifier)
{
    // A request is answered as it is made, so nothing is ever left pending.
    qCInfo(lcExtensions) << "withdrawing the request for" << identifier;
    co_return;
}

bool SystemExtensionManager::bundleContainsExtension(const QString &identifier) const
{
    return QFileInfo::exists(extensionFolder(extensionsDirectory(), identifier));
}

bool SystemExtensionManager::setAwaitingApproval(const QString &identifier, bool awaiting) const
{
    const QString marker = extensionFolder(extensionsDirectory(), identifier) + QLatin1Char('/') + approvalMarkerName();
    if (!awaiting)
        return !QFileInfo::exists(marker) || QFile::remove(marker);
    QFile file(marker);
    return file.open(QIODevice::WriteOnly);
}

ActivationError::ActivationError(const Error &carried, const QString &extensionsDirectory)
    : Error(domain, Failed, describe(carried, extensionsDirectory)), m_carried(std::make_shared<Error>(carried))
{
}

QString ActivationError::describe(const Error &carried, const QString &extensionsDirectory)
{
    QStringList found;
    const QStringList names = QDir(extensionsDirectory)
                                  .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                             QDir::Unsorted);
    for (const QString &name : names) {
        const auto identifier = bundle::plistString(
            extensionsDirectory + QLatin1Char('/') + name + QStringLiteral("/Contents/Info.plist"),
            QStringLiteral("CFBundleIdentifier"));
        found.append(name + QStringLiteral(" → ") + identifier.value_or(QStringLiteral("нет CFBundleIdentifier")));
    }
    return QStringLiteral("Не удалось активировать системное расширение: ") + carried.description()
        + QStringLiteral("\nbundle: ") + extensionsDirectory + QStringLiteral("\nнайдено: ")
        + (found.isEmpty() ? QStringLiteral("ничего") : found.join(QStringLiteral("; ")));
}

} // namespace qor
