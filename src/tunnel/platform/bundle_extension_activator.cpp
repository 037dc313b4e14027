#include "bundle_extension_activator.h"

#include "bundle.h"
#include "private_file.h"
#include "provider_state.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace qor {

BundleExtensionActivator::BundleExtensionActivator(QObject *parent)
    : ExtensionActivator(parent)
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &BundleExtensionActivator::markersChanged);
}

QString BundleExtensionActivator::approvalMarkerDirectory()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + QStringLiteral("/qor-connect/extensions");
}

QString BundleExtensionActivator::approvalMarkerPath(const QString &identifier)
{
    return approvalMarkerDirectory() + QLatin1Char('/') + identifier + QStringLiteral(".awaiting-approval");
}

void BundleExtensionActivator::setAwaitingApproval(const QString &identifier, bool awaiting)
{
    if (awaiting)
        writePrivateFile(approvalMarkerPath(identifier), QByteArray());
    else
        QFile::remove(approvalMarkerPath(identifier));
}

void BundleExtensionActivator::submitActivation(const QString &identifier)
{
    // Answered later, like the system's requests, never inside the call.
    QMetaObject::invokeMethod(this, [this, identifier] {
        if (QFileInfo::exists(approvalMarkerPath(identifier))) {
            m_pendingApproval.insert(identifier);
            const QString dir = approvalMarkerDirectory();
            if (!m_watcher.directories().contains(dir))
                m_watcher.addPath(dir);
            Q_EMIT needsUserApproval(identifier);
            return;
        }
        if (QFileInfo::exists(bundle::extensionBundlePath(identifier))) {
            Q_EMIT finished(identifier);
            return;
        }
        Q_EMIT failed(identifier, errorDomain, ExtensionNotFound, QStringLiteral("Системное расширение не найдено в сборке"));
    }, Qt::QueuedConnection);
}

void BundleExtensionActivator::submitDeactivation(const QString &identifier)
{
    QMetaObject::invokeMethod(this, [this, identifier] {
        m_pendingApproval.remove(identifier);
        Q_EMIT finished(identifier);
    }, Qt::QueuedConnection);
}

void BundleExtensionActivator::markersChanged()
{
    const QSet<QString> pending = m_pendingApproval;
    for (const QString &identifier : pending) {
        if (QFileInfo::exists(approvalMarkerPath(identifier)))
            continue;
        m_pendingApproval.remove(identifier);
        Q_EMIT finished(identifier); // approved while the request was pending
    }
}

} // namespace qor
