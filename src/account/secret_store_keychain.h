#pragma once

#include "secret_store.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <deque>

namespace QKeychain {
class Job;
}

namespace qor {

// Secrets in the desktop's Secret Service (GNOME Keyring, KWallet) through QtKeychain:
// one item per account name under the service "com.qorvpn.connect.secure".
//
// QtKeychain works asynchronously. A read waits for its answer on a local event loop,
// at most the read limit; a locked, missing or silent keyring gives an absent value.
// Writes and deletes never wait inside the caller: they are queued and run in order,
// and what this run wrote is kept in memory, so a read right after a write sees it.
// Pending writes are completed, within a bounded time, when the application is about
// to quit and when the store is destroyed; a keyring that answered nothing during one
// such wait is not waited for again.
class KeychainSecretStore final : public QObject, public SecretStore {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultReadLimit{3000};
    static constexpr std::chrono::milliseconds kQuitFlushLimit{5000};

    explicit KeychainSecretStore(QString service = secretServiceName(),
                                 std::chrono::milliseconds readLimit = kDefaultReadLimit,
                                 QObject *parent = nullptr);
    ~KeychainSecretStore() override; // flushes, at most kQuitFlushLimit

    std::optional<QByteArray> read(const QString &account) override;
    void write(const QString &account, const QByteArray &data) override;
    void remove(const QString &account) override;
    bool flush(std::chrono::milliseconds limit) override;

    QString service() const;
    bool isIdle() const; // no write or delete queued or running

Q_SIGNALS:
    void drained(); // the last queued write or delete has finished

private:
    struct Step {
        bool isWrite;
        QString account;
        QByteArray data;
    };

    void enqueue(const QString &account, std::optional<QByteArray> data);
    void runNext();
    void stepFinished(QKeychain::Job *job, const Step &step);

    QString m_service;
    std::chrono::milliseconds m_readLimit;
    std::deque<Step> m_queue;
    bool m_running = false;
    int m_finishedSteps = 0;
    bool m_unanswered = false; // the last flush ran out its limit with no step finished
    QHash<QString, std::optional<QByteArray>> m_written; // this run's last write or delete per account
};

} // namespace qor
