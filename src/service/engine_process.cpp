#include "engine_process.h"

#include <csignal>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace qor::service {

namespace {
constexpr qsizetype maxOutput = 4096;
}

EngineProcess::EngineProcess(QObject *parent) : QObject(parent) {}

EngineProcess::~EngineProcess()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        disconnect(m_process.get(), nullptr, this, nullptr);
        m_process->terminate();
        if (!m_process->waitForFinished(2000)) {
            m_process->kill();
            m_process->waitForFinished(1000);
        }
    }
}

bool EngineProcess::start(const Launch &launch)
{
    m_process = std::make_unique<QProcess>();
    QProcess *process = m_process.get();
    QProcessEnvironment environment = launch.environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    process->setProcessEnvironment(environment);
    process->setProgram(launch.program);
    process->setArguments(launch.arguments);
    process->setProcessChannelMode(QProcess::MergedChannels);
    if (launch.input.isEmpty())
        process->setStandardInputFile(QProcess::nullDevice());
    const std::optional<uint> group = launch.groupId;
    process->setChildProcessModifier([group] {
        if (group && (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(*group)) != 0))
            ::_exit(126); // never run outside the group its traffic is told apart by
        // After the group change, which would clear it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    connect(process, &QProcess::readyRead, this, [this, process] {
        m_output += process->readAll();
        if (m_output.size() > maxOutput)
            m_output = m_output.right(maxOutput);
    });
    connect(process, &QProcess::finished, this, [this] { Q_EMIT exited(); });
    process->start();
    if (!process->waitForStarted(5000)) {
        m_failure = process->errorString();
        return false;
    }
    if (!launch.input.isEmpty()) {
        process->write(launch.input);
        process->closeWriteChannel();
    }
    return true;
}

bool EngineProcess::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

qint64 EngineProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

int EngineProcess::exitCode() const
{
    return m_process ? m_process->exitCode() : -1;
}

QString EngineProcess::failureDetail() const
{
    if (!m_failure.isEmpty())
        return m_failure;
    const QList<QByteArray> lines = m_output.trimmed().split('\n');
    return QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last()).trimmed();
}

} // namespace qor::service
