#pragma once

#include "tunnel/platform/extension_activator.h"

#include <QStringList>

namespace qor {

// Records requests; answers when the test says so (answer* emit at once) or with a preset outcome.
class FakeExtensionActivator final : public ExtensionActivator {
    Q_OBJECT
public:
    enum class Outcome { None, Finish, Fail, NeedApproval };

    using ExtensionActivator::ExtensionActivator;

    void submitActivation(const QString &identifier) override;
    void submitDeactivation(const QString &identifier) override;
    QUrl approvalSettingsUrl() const override { return QUrl(QStringLiteral("file:///approval-settings")); }

    // Outcome given automatically (through the event loop) to later requests.
    void setAutomaticActivationOutcome(Outcome outcome) { m_activationOutcome = outcome; }
    void setAutomaticDeactivationOutcome(Outcome outcome) { m_deactivationOutcome = outcome; }

    void answerFinished(const QString &identifier) { Q_EMIT finished(identifier); }
    void answerFailed(const QString &identifier, const QString &domain, int code, const QString &description)
    {
        Q_EMIT failed(identifier, domain, code, description);
    }
    void answerNeedsApproval(const QString &identifier) { Q_EMIT needsUserApproval(identifier); }

    // "activate <id>" and "deactivate <id>", in order.
    QStringList requests() const { return m_requests; }

private:
    void answerLater(const QString &identifier, Outcome outcome);

    Outcome m_activationOutcome = Outcome::None;
    Outcome m_deactivationOutcome = Outcome::None;
    QStringList m_requests;
};

} // namespace qor
