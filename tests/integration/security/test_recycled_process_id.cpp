// The tunnel provider is only ever signalled while its process id still names the process
// that was started: here a process id is really given to a new process (in a private
// process-id namespace, see the wrapper), and the process handle and terminateProcess
// check it. The profile service makes the same check of a state document naming an id
// with another start time (test_linux_platform stateIsBelievedOnlyWhenTrustworthy).

#include "tunnel/platform/process_handle.h"
#include "tunnel/platform/provider_state.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <unistd.h>

using namespace qor;

namespace {

constexpr int processLimitMs = 10000;

// A process of ours that would end at once on SIGTERM, with its start time.
std::pair<std::unique_ptr<QProcess>, quint64> startSleeper()
{
    auto process = std::make_unique<QProcess>();
    process->start("sleep", {"60"});
    process->waitForStarted(processLimitMs);
    const quint64 start = process_identity::startTime(process->processId()).value_or(0);
    return {std::move(process), start};
}

// Still running, not merely a zombie that was signalled.
bool survives(QProcess &process)
{
    return !process.waitForFinished(300) && process_identity::startTime(process.processId()).has_value();
}

// Clock ticks since boot, the unit of start times.
quint64 ticks()
{
    QFile uptime("/proc/uptime");
    return uptime.open(QIODevice::ReadOnly) ? quint64(uptime.readAll().split(' ').value(0).toDouble() * double(::sysconf(_SC_CLK_TCK))) : 0;
}

} // namespace

class TestRecycledProcessId : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A wrong start time reaches nothing; the true one does, once. Then the id and start
    // time of the ended process, and a handle held on it, reach nothing: neither while
    // the id is free nor once a new process has it.
    void onlyTheProcessThatStartedIsSignalled()
    {
        const auto [first, start] = startSleeper();
        const qint64 pid = first->processId();
        QVERIFY(start > 0);
        QVERIFY(!ProcessHandle::open(pid, start + 1).isValid());
        QVERIFY(!terminateProcess(pid, start + 1));
        QVERIFY(survives(*first));
        const ProcessHandle handle = ProcessHandle::open(pid, start);
        QVERIFY(handle.isValid());
        QTRY_VERIFY_WITH_TIMEOUT(ticks() > start + 1, processLimitMs); // so that a later process differs in its start time
        QVERIFY(terminateProcess(pid, start));
        QVERIFY(first->waitForFinished(processLimitMs));
        QCOMPARE(first->exitStatus(), QProcess::CrashExit);
        const auto reachesNothing = [&] { return !handle.terminate() && !terminateProcess(pid, start) && !ProcessHandle::open(pid, start).isValid(); };
        QVERIFY(reachesNothing());

        // The id goes to a new process where this process may choose it (the first process
        // of a private process-id namespace may).
        QFile lastPid("/proc/sys/kernel/ns_last_pid");
        if (!lastPid.open(QIODevice::WriteOnly) || lastPid.write(QByteArray::number(pid - 1)) <= 0 || !lastPid.flush())
            QSKIP("cannot choose process ids here (needs a private process-id namespace)");
        const auto [second, secondStart] = startSleeper();
        const auto end = qScopeGuard([&second = second] {
            second->kill();
            second->waitForFinished(processLimitMs);
        });
        if (second->processId() != pid)
            QSKIP("another process took the id first");
        QVERIFY(secondStart != start);
        QVERIFY(reachesNothing());
        QVERIFY(survives(*second));
    }
};

QTEST_GUILESS_MAIN(TestRecycledProcessId)
#include "test_recycled_process_id.moc"
