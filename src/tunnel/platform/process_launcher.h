#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace qor {

// A child process started by the application.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    virtual qint64 processId() const = 0;
    // Asks the process to end (SIGTERM) without waiting for it. Dropping the object
    // afterwards does not wait either.
    virtual void terminate() = 0;
};

class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Starts program with arguments; its output goes nowhere. Throws PlatformError.
    virtual std::unique_ptr<ChildProcess> launch(const QString &program, const QStringList &arguments) = 0;
};

// QProcess-based launcher.
class QtProcessLauncher final : public ProcessLauncher {
public:
    std::unique_ptr<ChildProcess> launch(const QString &program, const QStringList &arguments) override;
    static QtProcessLauncher &shared();
};

} // namespace qor
