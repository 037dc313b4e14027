#include "child_process.h"

#include "platform_error.h"

#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace qor {

namespace {

// How long a child asked to end may take before it is killed.
constexpr int terminationGraceMs = 5000;

class QtChildProcess final : public ChildProcess {
public:
    explicit QtChildProcess(QProcess *process)
        : m_process(process) {}

    ~QtChildProcess() override
    {
        // A process that was never asked to end is asked now; the QProcess object
        // outlives this handle until the child has gone.
        release();
    }

    void terminate() override { release(); }

    qint64 processId() const override { return m_pid; }

    void setPid(qint64 pid) { m_pid = pid; }

private:
    void release()
    {
        if (!m_process)
            return;
        QProcess *process = m_process;
        m_process = nullptr;
        if (process->state() == QProcess::NotRunning) {
            process->deleteLater();
            return;
        }
        // Destroying a running QProcess would kill it and block until it ends;
        // instead it is left to end politely and deletes itself afterwards.
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        process->terminate();
        QTimer::singleShot(terminationGraceMs, process, [process] {
            if (process->state() != QProcess::NotRunning)
                process->kill();
        });
    }

    QProcess *m_process;
    qint64 m_pid = 0;
};

} // namespace

std::unique_ptr<ChildProcess> QProcessLauncher::launch(const QString &program, const QStringList &arguments)
{
    auto *process = new QProcess;
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have died between fork() and prctl().
        if (::getppid() != parent)
            ::_exit(0);
    });
    process->start(QIODevice::NotOpen);
    if (!process->waitForStarted(-1)) {
        const PlatformError error(childProcessErrorDomain, int(process->error()), process->errorString());
        delete process;
        throw error;
    }
    auto child = std::make_unique<QtChildProcess>(process);
    child->setPid(process->processId());
    return child;
}

QProcessLauncher &QProcessLauncher::shared()
{
    static QProcessLauncher launcher;
    return launcher;
}

} // namespace qor
