#pragma once

#include "secret_store.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <deque>
#include <map>
#include <memory>

namespace QKeychain {
class Job;
}

namespace qor {

class FileSecretStore;

// Secrets in the desktop's Secret Service (GNOME Keyring, KWallet) through QtKeychain:
// one item per account name under the service "com.qorvpn.connect.secure".
//
// QtKeychain works asynchronously. A read waits for its answer on a local event loop,
// at most the read limit; a locked, missing or silent keyring gives an absent value, and
// an answer that comes after the limit reaches onLateAnswer (a later read of that account
// does not wait again while it is on its way).
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
    bool answerPending(const QString &account) const override;

    // Takes over what the file kept while no keyring answered: each secret moves into
    // the keyring when the keyring answers for that account, unless the keyring's own
    // item is newer. The file's entry goes only once the keyring holds the secret (any
    // later write or delete of the account that succeeds also supersedes it), the file
    // once it is empty. Until then reads give the newer of the two.
    void takeOver(std::unique_ptr<FileSecretStore> leftover);

    QString service() const;
    bool isIdle() const; // no write or delete queued or running

Q_SIGNALS:
    void drained(); // the last queued write or delete has finished
    void readAnswered(const QString &account);

private:
    struct Step {
        bool isWrite;
        QString account;
        QByteArray data;
        bool last; // completes the write or delete
    };
    struct Read {
        bool answered = false;
        bool gaveUp = false; // a reader waited out the limit
        int waiters = 0;
        std::optional<QByteArray> data;
    };

    void enqueue(const QString &account, std::optional<QByteArray> data);
    void runNext();
    void stepFinished(QKeychain::Job *job, const Step &step);
    std::shared_ptr<Read> startRead(const QString &account);
    void readFinished(const QString &account, QKeychain::Job *job);
    std::optional<QByteArray> reconcile(const QString &account, QKeychain::Job *job);
    bool keyringIsNewer(const QString &account) const;
    void dropLeftover(const QString &account);

    QString m_service;
    std::chrono::milliseconds m_readLimit;
    std::deque<Step> m_queue;
    bool m_running = false;
    int m_finishedSteps = 0;
    bool m_unanswered = false; // the last flush ran out its limit with no step finished
    QHash<QString, std::optional<QByteArray>> m_written; // this run's last write or delete per account
    std::map<QString, std::shared_ptr<Read>> m_reads;    // reads whose answer has not been taken
    std::unique_ptr<FileSecretStore> m_leftover;
};

} // namespace qor
