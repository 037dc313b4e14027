#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

namespace qor {

// The system's activation of packet-tunnel extensions: requests go in, and each
// request is answered later, on the main thread, by one of the outcome signals.
class ExtensionActivator : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void submitActivation(const QString &identifier) = 0;
    // Withdraws a request (a deactivation request for the same extension).
    virtual void submitDeactivation(const QString &identifier) = 0;

    // Where the user gives a pending approval; empty when the approval is asked for
    // by the next activation itself (the system's authentication dialog).
    virtual QUrl approvalSettingsUrl() const { return {}; }

Q_SIGNALS:
    void finished(const QString &identifier);
    void failed(const QString &identifier, const QString &errorDomain, int errorCode, const QString &errorDescription);
    void needsUserApproval(const QString &identifier);
};

} // namespace qor
