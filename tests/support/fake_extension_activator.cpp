#include "fake_extension_activator.h"

namespace qor {

void FakeExtensionActivator::submitActivation(const QString &identifier)
{
    m_requests.append(QStringLiteral("activate ") + identifier);
    answerLater(identifier, m_activationOutcome);
}

void FakeExtensionActivator::submitDeactivation(const QString &identifier)
{
    m_requests.append(QStringLiteral("deactivate ") + identifier);
    answerLater(identifier, m_deactivationOutcome);
}

void FakeExtensionActivator::answerLater(const QString &identifier, Outcome outcome)
{
    if (outcome == Outcome::None)
        return;
    QMetaObject::invokeMethod(this, [this, identifier, outcome] {
        switch (outcome) {
        case Outcome::Finish:
            Q_EMIT finished(identifier);
            break;
        case Outcome::Fail:
            Q_EMIT failed(identifier, QStringLiteral("OSSystemExtensionErrorDomain"), 1, QStringLiteral("отказано"));
            break;
        case Outcome::NeedApproval:
            Q_EMIT needsUserApproval(identifier);
            break;
        case Outcome::None:
            break;
        }
    }, Qt::QueuedConnection);
}

} // namespace qor
