#pragma once

#include "shell/app_root.h"
#include "shell/demo_setup.h"
#include "shell/instance_lock.h"

#include <QCoroTask>
#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace qor::cli {

class SignalWatcher;

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

// What a command works with: the output streams, the composition root (built on
// first use, after the demo backend when --demo is given), the instance lock and
// waiting on AppState's published fields.
class Context : public QObject {
    Q_OBJECT
public:
    Context(bool demo, SignalWatcher &signalWatcher, QObject *parent = nullptr);
    ~Context() override;

    bool isDemo() const { return m_demo; }

    // One line to standard output or standard error, flushed at once.
    void out(const QString &line = {});
    void err(const QString &line);
    void outRaw(const QByteArray &bytes);

    // Points the process at the demo folders (with --demo). Must run before anything
    // reads a directory; false after printing why it failed.
    bool prepareEnvironment();

    // The root, built once; null after printing why the demo backend could not start.
    AppRoot *root();

    // The state once its start-up task (adopting a running tunnel, the first refresh)
    // has ended, or after startupLimit; null when the root could not be built.
    QCoro::Task<AppState *> startedState();

    // Takes the per-user instance lock for a state-changing command; prints the
    // refusal and returns false when another front end holds it.
    bool claimInstance();
    // claimInstance(), then startedState(); null when either failed.
    QCoro::Task<AppState *> claimedState();

    // Waits, up to tunnelStopWaitSeconds each, until both tunnels are down.
    QCoro::Task<> waitForTunnelsDown();
    static constexpr double tunnelStopWaitSeconds = 10.0;

    enum class Wait { Done, TimedOut, Interrupted };
    // Waits until done() holds, testing it again on every change AppState announces
    // and on each wake(). Ends early with Interrupted on SIGINT/SIGTERM while the
    // command handles interruptions itself.
    QCoro::Task<Wait> waitFor(std::function<bool()> done, std::chrono::milliseconds limit);
    // Makes waiters test their condition again.
    void wake();

    // By default SIGINT/SIGTERM end the program at once with 128 + the signal; a
    // command that wants to finish on its own (connect --stay, a code being read)
    // takes them over, for as long as it says.
    void handleInterruptsInCommand(bool handles = true) { m_commandHandlesInterrupts = handles; }
    bool interrupted() const { return m_interruptSignal != 0; }
    int interruptSignal() const { return m_interruptSignal; }

    static constexpr std::chrono::seconds startupLimit{20};

Q_SIGNALS:
    void changed();

private:
    void onInterrupt(int signalNumber);

    bool m_demo;
    SignalWatcher &m_signals;
    std::unique_ptr<DemoSetup> m_demoSetup;
    std::unique_ptr<AppRoot> m_root;
    std::unique_ptr<InstanceLock> m_lock;
    bool m_commandHandlesInterrupts = false;
    int m_interruptSignal = 0;
};

} // namespace qor::cli
