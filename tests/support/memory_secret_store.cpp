#include "memory_secret_store.h"

namespace qor {

std::optional<QByteArray> MemorySecretStore::read(const QString &account)
{
    if (!m_available || !m_items.contains(account))
        return std::nullopt;
    return m_items.value(account);
}

void MemorySecretStore::write(const QString &account, const QByteArray &data)
{
    if (m_available)
        m_items.insert(account, data);
}

void MemorySecretStore::remove(const QString &account)
{
    if (m_available)
        m_items.remove(account);
}

int MemorySecretStore::itemCount() const
{
    return int(m_items.size());
}

void MemorySecretStore::setAvailable(bool available)
{
    m_available = available;
}

} // namespace qor
