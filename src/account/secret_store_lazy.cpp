#include "secret_store_lazy.h"

namespace qor {

LazySecretStore::LazySecretStore(std::function<std::unique_ptr<SecretStore>()> open)
    : m_open(std::move(open))
{
}

SecretStore &LazySecretStore::store()
{
    if (!m_store) {
        m_store = m_open();
        // Late answers go to whoever listens now, not to whoever listened at opening.
        m_store->onLateAnswer = [this](const QString &account, const std::optional<QByteArray> &data) {
            if (onLateAnswer)
                onLateAnswer(account, data);
        };
    }
    return *m_store;
}

std::optional<QByteArray> LazySecretStore::read(const QString &account)
{
    return store().read(account);
}

void LazySecretStore::write(const QString &account, const QByteArray &data)
{
    store().write(account, data);
}

void LazySecretStore::remove(const QString &account)
{
    store().remove(account);
}

bool LazySecretStore::flush(std::chrono::milliseconds limit)
{
    return m_store ? m_store->flush(limit) : true;
}

bool LazySecretStore::answerPending(const QString &account) const
{
    return m_store && m_store->answerPending(account);
}

} // namespace qor
