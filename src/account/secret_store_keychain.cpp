#include "secret_store_keychain.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcKeychain, "com.qorvpn.connect.account")
}

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

    // The job deletes itself when it finishes, even after we have stopped waiting:
    // QtKeychain's back ends call into it until then.
    auto *job = new QKeychain::ReadPasswordJob(m_service);
    job->setKey(account);
    QEventLoop loop;
    std::optional<QByteArray> result;
    bool answered = false;
    connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job *) {
        answered = true;
        if (job->error() == QKeychain::NoError)
            result = job->binaryData();
        else if (job->error() != QKeychain::EntryNotFound)
            qCInfo(lcKeychain) << "keychain read of" << account << "failed:" << job->errorString();
        loop.quit();
    });
    QTimer::singleShot(m_readLimit, &loop, &QEventLoop::quit);
    job->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!answered)
        qCInfo(lcKeychain) << "keychain read of" << account << "gave no answer within" << m_readLimit.count() << "ms";
    return result;
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
    m_queue.push_back({false, account, {}});
    if (data)
        m_queue.push_back({true, account, *data});
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
