#pragma once

#include "core/runtime/error.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <memory>

namespace qor {

// Activation of the packet-tunnel providers shipped in the bundle's
// "Contents/Library/SystemExtensions" folder.
//
// On Linux there is no system service that installs extensions; this stands in
// for it with the same three outcomes: an extension whose folder is in the bundle
// is activated; one whose folder holds the marker file "awaiting-approval" needs
// the user's approval (the demo and the tests set it); one that is missing fails
// with the diagnostic description of ActivationError. Every call is answered at
// once, so no caller is ever left waiting.
class SystemExtensionManager : public QObject {
    Q_OBJECT
public:
    enum class ActivationResult {
        Activated,
        NeedsUserApproval,
    };
    Q_ENUM(ActivationResult)

    // bundleRoot: the bundle to look in; empty for the running application's
    // bundle (looked up at every call).
    explicit SystemExtensionManager(QString bundleRoot = {}, QObject *parent = nullptr);

    // Throws ActivationError.
    QCoro::Task<ActivationResult> activate(QString identifier);
    // Withdraws a request that awaits approval; never fails.
    QCoro::Task<> withdrawPendingRequest(QString identifier);
    // True when "<identifier>.systemextension" exists in the extensions folder.
    bool bundleContainsExtension(const QString &identifier) const;

    // Sets or clears the awaiting-approval marker of an extension in the bundle.
    // Returns false when the marker could not be changed.
    bool setAwaitingApproval(const QString &identifier, bool awaiting) const;

    // "<bundle>/Contents/Library/SystemExtensions".
    QString extensionsDirectory() const;

    static QString approvalMarkerName() { return QStringLiteral("awaiting-approval"); }

private:
    QString m_bundleRoot;
};

// The activation failed; the description names the bundle's extensions folder and
// every extension found there with its CFBundleIdentifier.
class ActivationError : public Error {
public:
    ActivationError(const Error &carried, const QString &extensionsDirectory);

    // The error the activation reported.
    const Error &carried() const { return *m_carried; }

    // "Не удалось активировать системное расширение: <carried>\nbundle: <folder>\nнайдено: <entries>".
    static QString describe(const Error &carried, const QString &extensionsDirectory);

    static inline const QString domain = QStringLiteral("SystemExtensionManager.ActivationError");
    enum Code { Failed = 1 };

private:
    std::shared_ptr<const Error> m_carried;
};

// Errors the Linux activation reports, carried by ActivationError.
namespace extension_errors {
inline const QString domain = QStringLiteral("com.qorvpn.connect.systemextensions");
enum Code {
    ExtensionNotFound = 4,
};
} // namespace extension_errors

} // namespace qor
