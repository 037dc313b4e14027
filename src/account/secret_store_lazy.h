#pragma once

#include "secret_store.h"

namespace qor {

// Opens the store it stands for at the first read, write or delete: a run that never
// touches a secret (no stored session, a read-only command) never asks the session
// bus for a keyring.
class LazySecretStore final : public SecretStore {
public:
    explicit LazySecretStore(std::function<std::unique_ptr<SecretStore>()> open);

    std::optional<QByteArray> read(const QString &account) override;
    void write(const QString &account, const QByteArray &data) override;
    void remove(const QString &account) override;
    bool flush(std::chrono::milliseconds limit) override;
    bool answerPending(const QString &account) const override;

private:
    SecretStore &store();

    std::function<std::unique_ptr<SecretStore>()> m_open;
    std::unique_ptr<SecretStore> m_store;
};

} // namespace qor
