#pragma once

#include "account/secret_store.h"

#include <QMap>

namespace qor {

// In-memory secrets. setAvailable(false) makes it behave like a locked or
// missing keyring: reads are absent and writes and deletes are dropped.
class MemorySecretStore final : public SecretStore {
public:
    std::optional<QByteArray> read(const QString &account) override;
    void write(const QString &account, const QByteArray &data) override;
    void remove(const QString &account) override;

    int itemCount() const;
    void setAvailable(bool available);

private:
    QMap<QString, QByteArray> m_items;
    bool m_available = true;
};

} // namespace qor
