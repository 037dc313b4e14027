#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace qor {

// A child process started by the application (the Tavrin client).
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    // Asks the process to end (SIGTERM) and returns at once; never fails.
    virtual void terminate() = 0;
    virtual qint64 processId() const = 0;
};

// Starts child processes; tests hand in a recording double.
class ChildProcessLauncher {
public:
    virtual ~ChildProcessLauncher() = default;
    // Starts program with exactly these arguments, its output going nowhere the
    // application reads. Returns once the program runs; throws PlatformError when
    // it cannot be started.
    virtual std::unique_ptr<ChildProcess> launch(const QString &program, const QStringList &arguments) = 0;
};

// QProcess-based launcher. A child is also told to end when the application dies
// without stopping it (PR_SET_PDEATHSIG), so a crash leaves no client running.
class QProcessLauncher final : public ChildProcessLauncher {
public:
    std::unique_ptr<ChildProcess> launch(const QString &program, const QStringList &arguments) override;

    // The process-wide instance, for the composition roots.
    static QProcessLauncher &shared();
};

// Domain of the errors of a failed launch; the code is QProcess::ProcessError.
inline const QString childProcessErrorDomain = QStringLiteral("QProcess");

} // namespace qor
