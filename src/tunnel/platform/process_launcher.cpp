#include "process_launcher.h"

#include "platform_error.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

namespace qor {

namespace {

constexpr int gracePeriodMs = 5000;

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
        QTimer::singleShot(gracePeriodMs, m_process, [process = m_process] { process->kill(); });
        // When the application ends first (a quit right after a stop), the grace period
        // is waited out as it ends, so no child outlives it and nothing is left behind.
        if (auto *app = QCoreApplication::instance()) {
            m_process->setParent(app);
            QObject::connect(app, &QObject::destroyed, m_process, [process = m_process] {
                if (!process->waitForFinished(gracePeriodMs)) {
                    process->kill();
                    process->waitForFinished(gracePeriodMs);
                }
            });
        }
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
