#pragma once

#include "extension_activator.h"

#include <QFileSystemWatcher>
#include <QSet>

namespace qor {

// Activation on Linux, where there is no system extension framework: an extension
// is active when the bundle carries it, missing ones fail, and an extension marked
// as awaiting approval asks for the user's approval until the mark is removed
// (then the pending request finishes, as the system does after approval).
//
// The mark is a file "<identifier>.awaiting-approval" in
// "$XDG_RUNTIME_DIR/qor-connect/extensions", set by the demo and the tests.
class BundleExtensionActivator final : public ExtensionActivator {
    Q_OBJECT
public:
    explicit BundleExtensionActivator(QObject *parent = nullptr);

    void submitActivation(const QString &identifier) override;
    void submitDeactivation(const QString &identifier) override;
    QUrl approvalSettingsUrl() const override { return QUrl::fromLocalFile(approvalMarkerDirectory()); }

    static QString approvalMarkerDirectory();
    static QString approvalMarkerPath(const QString &identifier);
    // Sets or clears the mark.
    static void setAwaitingApproval(const QString &identifier, bool awaiting);

    inline static const QString errorDomain = QStringLiteral("com.qorvpn.connect.extensions");
    enum ErrorCode { ExtensionNotFound = 4 };

private:
    void markersChanged();

    QFileSystemWatcher m_watcher;
    QSet<QString> m_pendingApproval;
};

} // namespace qor
