#include "process_launcher.h"

#include "platform_error.h"

#include <QProcess>
#include <QTimer>

namespace qor {

namespace {

class QtChildProcess final : public ChildProcess {
public:
    explicit QtChildProcess(QProcess *process) : m_process(process) {}

    ~QtChildProcess() override
    {
        if (m_process->state() == QProcess::NotRunning) {
            delete m_process;
            return;
        }
        // Still running: the QProcess object stays until the process ends, so the
        // caller never waits and the child is reaped. One that ignores SIGTERM is
        // killed after a grace period.
        QObject::connect(m_process, &QProcess::finished, m_process, &QObject::deleteLater);
        QTimer::singleShot(5000, m_process, [process = m_process] { process->kill(); });
    }

    qint64 processId() const override { return m_process->processId(); }

    void terminate() override
    {
        if (m_process->state() != QProcess::NotRunning)
            m_process->terminate();
    }

private:
    QProcess *m_process;
};

} // namespace

std::unique_ptr<ChildProcess> QtProcessLauncher::launch(const QString &program, const QStringList &arguments)
{
    auto *process = new QProcess;
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start();
    if (!process->waitForStarted(-1)) {
        const PlatformError error(QStringLiteral("QProcess"), int(process->error()), process->errorString());
        delete process;
        throw error;
    }
    return std::make_unique<QtChildProcess>(process);
}

QtProcessLauncher &QtProcessLauncher::shared()
{
    static QtProcessLauncher launcher;
    return launcher;
}

} // namespace qor
