#pragma once

#include "runtime/cancel_token.h"
#include "tunnel/platform/extension_activator.h"
#include "tunnel/platform/platform_error.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>

#include <memory>

namespace qor {

// Turns the system's answered-later extension requests into awaitable operations
// and explains a failed activation with what the bundle actually holds.
class SystemExtensionManager final : public QObject {
    Q_OBJECT
public:
    enum class ActivationResult { Activated, NeedsUserApproval };

    // ActivationError.failed: the system refused; carries its error. The
    // description names the bundle's extension folder and every extension in it.
    class ActivationError : public Error {
    public:
        static ActivationError failed(const PlatformError &error) { return ActivationError(error); }
        const PlatformError &error() const { return m_error; }

    private:
        explicit ActivationError(const PlatformError &error);
        PlatformError m_error;
    };

    explicit SystemExtensionManager(ExtensionActivator &activator, QObject *parent = nullptr);
    ~SystemExtensionManager() override;

    // The main and the reserve provider's identifiers.
    static QString mainExtensionIdentifier();
    static QString reserveExtensionIdentifier();

    // Resolves with the first outcome the system reports for the identifier.
    // Throws ActivationError. A second request for an identifier that is still
    // waiting shares the first outcome with it, so no caller is left waiting.
    QCoro::Task<ActivationResult> activate(QString identifier);

    // Withdraws a pending request; resumes on any outcome and never fails.
    QCoro::Task<> withdrawPendingRequest(QString identifier);

    // True when "<identifier>.systemextension" exists in the bundle's extension folder.
    bool bundleContainsExtension(const QString &identifier) const;

    // Where the user approves a pending extension (empty: the next activation asks).
    QUrl approvalSettingsUrl() const { return m_activator.approvalSettingsUrl(); }

    // The description of a failed activation whose system error reads localizedDescription.
    static QString failureDescription(const QString &localizedDescription);

private:
    struct Continuation;
    void resolve(const QString &identifier, int outcome, const std::optional<PlatformError> &error);
    QCoro::Task<int> submit(QString identifier, bool activation, std::shared_ptr<Continuation> &out);

    ExtensionActivator &m_activator;
    QHash<QString, QList<std::shared_ptr<Continuation>>> m_continuations;
};

} // namespace qor
