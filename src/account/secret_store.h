#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace qor {

// Secure storage of small secrets, one item per account name (the Linux form of a
// keychain generic-password item). Failures are never reported: a failed read is an
// absent value, a failed write or delete is dropped (and logged without the data).
class SecretStore {
public:
    virtual ~SecretStore() = default;

    virtual std::optional<QByteArray> read(const QString &account) = 0; // absent on any failure or no item
    virtual void write(const QString &account, const QByteArray &data) = 0; // replaces: exactly one item per account
    virtual void remove(const QString &account) = 0;

    // Completes writes and deletes still in flight, waiting at most `limit`; true when
    // none is left. For the application's quit path; stores that write at once have
    // nothing to wait for.
    virtual bool flush(std::chrono::milliseconds limit) { return true; }

    // A read that ran out its time limit still gets the store's answer: true while it is
    // on its way. It then reaches onLateAnswer (absent on failure or no item), unless a
    // write or delete of the account came first.
    virtual bool answerPending(const QString &account) const { return false; }
    std::function<void(const QString &account, const std::optional<QByteArray> &data)> onLateAnswer;
};

// The service name under which the secrets of this program are kept.
QString secretServiceName(); // "com.qorvpn.connect.secure"

// True when a Secret Service (or KWallet) answers on the session bus, or can be
// started there on demand.
bool secretServiceReachable();

// The keychain when a Secret Service is reachable on the session bus, otherwise the
// private file store in the data directory. The keychain takes over what an earlier run
// left in that file.
std::unique_ptr<SecretStore> openSecretStore();

} // namespace qor
