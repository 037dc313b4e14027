#include "state_trace.h"

#include "runtime/clock.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QThread>

namespace qor {

namespace {

Q_LOGGING_CATEGORY(lcState, "com.qorvpn.connect.state", QtInfoMsg)

const QString kTraceFile = QStringLiteral("state-trace.txt");
// Past this size the file is cut back to its tail, so it never grows much beyond it.
constexpr qint64 kMaxTraceBytes = 131072;
constexpr qsizetype kKeptCharacters = 65536;

} // namespace

StateTrace::StateTrace(QString directory, Clock &clock)
    : m_clock(clock)
    , m_directory(std::move(directory))
    , m_thread(new QThread)
    , m_worker(new QObject)
{
    m_thread->setObjectName(QStringLiteral("com.qorvpn.connect.trace"));
    m_worker->moveToThread(m_thread);
    m_thread->start();
}

StateTrace::~StateTrace()
{
    // Queued behind every pending write, so quitting loses no line.
    QThread *thread = m_thread;
    QMetaObject::invokeMethod(m_worker, [thread] { thread->quit(); }, Qt::QueuedConnection);
    m_thread->wait();
    delete m_worker;
    delete m_thread;
}

void StateTrace::trace(const QString &message)
{
    qCInfo(lcState, "%s", qUtf8Printable(message));
    // The time is taken here, when the event happens; the worker only formats it.
    const qint64 when = m_clock.now().toMSecsSinceEpoch();
    const TraceDirectory *directory = &m_directory; // outlives the worker, see the destructor
    QMetaObject::invokeMethod(
        m_worker,
        [directory, when, message] {
            const QString stamp = QDateTime::fromMSecsSinceEpoch(when, Qt::UTC).toString(Qt::ISODate);
            const QByteArray line = (stamp + QLatin1Char(' ') + message + QLatin1Char('\n')).toUtf8();
            directory->appendBounded(kTraceFile, line, kMaxTraceBytes, kKeptCharacters);
        },
        Qt::QueuedConnection);
}

std::optional<QString> StateTrace::takeSignalFile(const QString &name)
{
    return m_directory.take(name);
}

void StateTrace::waitForWrites()
{
    QMetaObject::invokeMethod(m_worker, [] {}, Qt::BlockingQueuedConnection);
}

QString StateTrace::directory() const
{
    return m_directory.path();
}

} // namespace qor
