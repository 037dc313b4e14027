#include "secret_store_keychain.h"

#include "secret_store_file.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcKeychain, "com.qorvpn.connect.account")

// When the Secret Service item QtKeychain keeps for the account was last written, in
// seconds since the epoch; nothing from a keyring that does not tell (KWallet's own
// interface). Asked only right after the keyring has answered a read.
std::optional<qint64> keyringModified(const QString &service, const QString &account)
{
    static const QMetaType registered = qDBusRegisterMetaType<QMap<QString, QString>>();
    Q_UNUSED(registered)
    constexpr int callLimitMs = 2000;
    const QString secrets = QStringLiteral("org.freedesktop.secrets");
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage search = QDBusMessage::createMethodCall(secrets, QStringLiteral("/org/freedesktop/secrets"),
                                                         QStringLiteral("org.freedesktop.Secret.Service"),
                                                         QStringLiteral("SearchItems"));
    search.setAutoStartService(false); // never start a keyring QtKeychain is not using
    // QtKeychain's attributes: the service as "server", the account as "user".
    search << QVariant::fromValue(QMap<QString, QString>{{QStringLiteral("server"), service}, {QStringLiteral("user"), account}});
    const QDBusMessage found = bus.call(search, QDBus::Block, callLimitMs);
    if (found.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    std::optional<qint64> newest;
    for (const QVariant &items : found.arguments()) { // unlocked, then locked
        for (const QDBusObjectPath &item : qdbus_cast<QList<QDBusObjectPath>>(items)) {
            QDBusMessage get = QDBusMessage::createMethodCall(secrets, item.path(), QStringLiteral("org.freedesktop.DBus.Properties"),
                                                              QStringLiteral("Get"));
            get << QStringLiteral("org.freedesktop.Secret.Item") << QStringLiteral("Modified");
            const QDBusMessage reply = bus.call(get, QDBus::Block, callLimitMs);
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                continue;
            const qint64 modified = reply.arguments().constFirst().value<QDBusVariant>().variant().toLongLong();
            newest = std::max(newest.value_or(modified), modified);
        }
    }
    return newest;
}
} // namespace

KeychainSecretStore::KeychainSecretStore(QString service, std::chrono::milliseconds readLimit, QObject *parent)
    : QObject(parent)
    , m_service(std::move(service))
    , m_readLimit(readLimit)
{
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { flush(kQuitFlushLimit); });
}

KeychainSecretStore::~KeychainSecretStore()
{
    if (!isIdle() && !flush(kQuitFlushLimit))
        qCWarning(lcKeychain) << "keychain writes still pending at exit:" << m_queue.size() + (m_running ? 1 : 0);
}

QString KeychainSecretStore::service() const
{
    return m_service;
}

bool KeychainSecretStore::isIdle() const
{
    return !m_running && m_queue.empty();
}

std::optional<QByteArray> KeychainSecretStore::read(const QString &account)
{
    if (const auto it = m_written.constFind(account); it != m_written.constEnd())
        return *it;
    if (!QCoreApplication::instance())
        return std::nullopt;

    const std::shared_ptr<Read> pending = startRead(account);
    // A keyring that let one whole limit pass for this account is not waited for again.
    if (!pending->answered && !pending->gaveUp) {
        QEventLoop loop;
        connect(this, &KeychainSecretStore::readAnswered, &loop, [&](const QString &answered) {
            if (answered == account)
                loop.quit();
        });
        QTimer::singleShot(m_readLimit, &loop, &QEventLoop::quit);
        ++pending->waiters;
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        --pending->waiters;
        if (!pending->answered)
            qCInfo(lcKeychain) << "keychain read of" << account << "gave no answer within" << m_readLimit.count() << "ms";
    }
    if (!pending->answered) {
        pending->gaveUp = true;
        return std::nullopt;
    }
    if (const auto it = m_reads.find(account); it != m_reads.end() && it->second == pending)
        m_reads.erase(it);
    return pending->data;
}

bool KeychainSecretStore::answerPending(const QString &account) const
{
    const auto it = m_reads.find(account);
    return it != m_reads.end() && it->second->gaveUp && !m_written.contains(account);
}

std::shared_ptr<KeychainSecretStore::Read> KeychainSecretStore::startRead(const QString &account)
{
    if (const auto it = m_reads.find(account); it != m_reads.end())
        return it->second;
    auto pending = std::make_shared<Read>();
    m_reads.emplace(account, pending);
    // The job deletes itself when it finishes, even after we have stopped waiting:
    // QtKeychain's back ends call into it until then.
    auto *job = new QKeychain::ReadPasswordJob(m_service);
    job->setKey(account);
    connect(job, &QKeychain::Job::finished, this, [this, account](QKeychain::Job *finished) { readFinished(account, finished); });
    job->start();
    return pending;
}

void KeychainSecretStore::readFinished(const QString &account, QKeychain::Job *job)
{
    const auto it = m_reads.find(account);
    if (it == m_reads.end())
        return;
    const std::shared_ptr<Read> pending = it->second;
    // A write or delete made since the read began is newer than anything it can bring.
    const bool superseded = m_written.contains(account);
    pending->data = superseded ? m_written.value(account) : reconcile(account, job);
    pending->answered = true;
    if (pending->waiters > 0) {
        Q_EMIT readAnswered(account); // the waiting read takes the answer
        return;
    }
    m_reads.erase(it);
    if (pending->gaveUp && !superseded && onLateAnswer)
        onLateAnswer(account, pending->data);
}

std::optional<QByteArray> KeychainSecretStore::reconcile(const QString &account, QKeychain::Job *job)
{
    const QKeychain::Error error = job->error();
    std::optional<QByteArray> stored;
    if (error == QKeychain::NoError)
        stored = static_cast<QKeychain::ReadPasswordJob *>(job)->binaryData();
    else if (error != QKeychain::EntryNotFound)
        qCInfo(lcKeychain) << "keychain read of" << account << "failed:" << job->errorString();
    const std::optional<QByteArray> leftover = m_leftover ? m_leftover->read(account) : std::nullopt;
    if (!leftover)
        return stored;
    // A keyring that refuses (locked, its prompt dismissed) leaves the file's copy in use.
    if (error != QKeychain::NoError && error != QKeychain::EntryNotFound)
        return leftover;
    if (stored && (stored == leftover || keyringIsNewer(account))) {
        dropLeftover(account);
        return stored;
    }
    enqueue(account, *leftover); // the file's entry goes once the keyring has it
    return leftover;
}

bool KeychainSecretStore::keyringIsNewer(const QString &account) const
{
    const std::optional<QDateTime> fileTime = m_leftover->savedAt(account);
    const std::optional<qint64> keyringTime = keyringModified(m_service, account);
    // Without both times (entries of earlier versions, keyrings that do not tell) nothing
    // says which is newer, and the keyring's item is kept: it is the store in use. Equal
    // whole seconds tell nothing either.
    return !fileTime || !keyringTime || *keyringTime >= fileTime->toSecsSinceEpoch();
}

void KeychainSecretStore::dropLeftover(const QString &account)
{
    if (!m_leftover || !m_leftover->read(account))
        return;
    m_leftover->remove(account);
    if (m_leftover->removeFileIfEmpty())
        m_leftover.reset();
}

void KeychainSecretStore::takeOver(std::unique_ptr<FileSecretStore> leftover)
{
    m_leftover = std::move(leftover);
    const QStringList accounts = m_leftover->accounts();
    if (accounts.isEmpty()) {
        m_leftover->removeFileIfEmpty();
        m_leftover.reset();
        return;
    }
    qCInfo(lcKeychain) << "moving" << accounts.size() << "secrets from" << m_leftover->filePath() << "into the keychain";
    for (const QString &account : accounts)
        startRead(account);
}

void KeychainSecretStore::write(const QString &account, const QByteArray &data)
{
    enqueue(account, data);
}

void KeychainSecretStore::remove(const QString &account)
{
    enqueue(account, std::nullopt);
}

void KeychainSecretStore::enqueue(const QString &account, std::optional<QByteArray> data)
{
    m_written.insert(account, data);
    // Every operation starts by deleting the account's item, so steps for the same
    // account that have not started yet are superseded.
    std::erase_if(m_queue, [&](const Step &s) { return s.account == account; });
    // Delete, then add: items that differ in an attribute we do not set (QtKeychain
    // marks text and binary items differently) would otherwise be kept side by side.
    m_queue.push_back({false, account, {}, !data});
    if (data)
        m_queue.push_back({true, account, *data, true});
    runNext();
}

void KeychainSecretStore::runNext()
{
    if (m_running)
        return;
    if (m_queue.empty()) {
        Q_EMIT drained();
        return;
    }
    const Step step = m_queue.front();
    m_queue.pop_front();
    QKeychain::Job *job;
    if (step.isWrite) {
        auto *write = new QKeychain::WritePasswordJob(m_service);
        write->setBinaryData(step.data);
        job = write;
    } else {
        job = new QKeychain::DeletePasswordJob(m_service);
    }
    job->setKey(step.account);
    connect(job, &QKeychain::Job::finished, this, [this, step](QKeychain::Job *finished) { stepFinished(finished, step); });
    m_running = true;
    job->start(); // starts on the next turn of the event loop
}

void KeychainSecretStore::stepFinished(QKeychain::Job *job, const Step &step)
{
    const bool ok = job->error() == QKeychain::NoError
        || (!step.isWrite && job->error() == QKeychain::EntryNotFound);
    if (!ok)
        qCWarning(lcKeychain) << (step.isWrite ? "keychain write of" : "keychain delete of") << step.account
                              << "failed:" << job->errorString();
    // What the keyring now holds for the account is newer than the file's copy.
    if (ok && step.last)
        dropLeftover(step.account);
    m_running = false;
    ++m_finishedSteps;
    m_unanswered = false;
    runNext();
}

bool KeychainSecretStore::flush(std::chrono::milliseconds limit)
{
    // The quit path flushes more than once (quitting, the composition root, the
    // destructor): a keyring that let one whole limit pass without finishing a step
    // is not waited for again, so the limits do not add up.
    if (isIdle() || !QCoreApplication::instance() || m_unanswered)
        return isIdle();
    QEventLoop loop;
    connect(this, &KeychainSecretStore::drained, &loop, &QEventLoop::quit);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    const int finishedBefore = m_finishedSteps;
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    m_unanswered = !isIdle() && m_finishedSteps == finishedBefore;
    return isIdle();
}

} // namespace qor
