#include "../../unit/tunnel/task_outcome.h"
#include "manual_clock.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/platform/process_handle.h"
#include "tunnel/platform/provider_state.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <unistd.h>

using namespace qor;

namespace {

constexpr int processLimitMs = 10000;

// A process of ours that would end at once on SIGTERM.
std::unique_ptr<QProcess> startSleeper()
{
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("sleep"), {QStringLiteral("60")});
    if (!process->waitForStarted(processLimitMs))
        return nullptr;
    return process;
}

// Clock ticks since boot, the unit of a process's start time.
quint64 uptimeTicks()
{
    QFile file(QStringLiteral("/proc/uptime"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const double seconds = file.readAll().split(' ').value(0).toDouble();
    return quint64(seconds * double(::sysconf(_SC_CLK_TCK)));
}

// Still running, not merely a zombie that was signalled.
bool survives(QProcess &process)
{
    return !process.waitForFinished(300) && process_identity::startTime(process.processId()).has_value();
}

void end(QProcess &process)
{
    process.kill();
    process.waitForFinished(processLimitMs);
}

// The next process started gets this id, when this process may choose it (the first
// process of a private process-id namespace may).
bool chooseNextProcessId(qint64 pid)
{
    QFile file(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(pid - 1)) > 0 && file.flush();
}

} // namespace

// The tunnel provider is only ever signalled while its process id still names the
// process that was started. test_profile_service covers state documents whose start
// time does not match a live process; here a process id is really given to a new
// process (in a private process-id namespace, see the wrapper), and the checks are
// made at every level: the process handle, terminateProcess and the profile service.
class TestRecycledProcessId : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void wrongStartTimeSignalsNothing()
    {
        auto sleeper = startSleeper();
        QVERIFY(sleeper);
        const auto start = process_identity::startTime(sleeper->processId());
        QVERIFY(start);
        QVERIFY(!ProcessHandle::open(sleeper->processId(), *start + 1).isValid());
        QVERIFY(!terminateProcess(sleeper->processId(), *start + 1));
        QVERIFY(survives(*sleeper));
        // The positive control: the true start time reaches it.
        QVERIFY(terminateProcess(sleeper->processId(), *start));
        QVERIFY(sleeper->waitForFinished(processLimitMs));
        QCOMPARE(sleeper->exitStatus(), QProcess::CrashExit);
    }

    void handleOfAnEndedProcessSignalsNothing()
    {
        auto sleeper = startSleeper();
        QVERIFY(sleeper);
        const qint64 pid = sleeper->processId();
        const auto start = process_identity::startTime(pid);
        QVERIFY(start);
        const ProcessHandle handle = ProcessHandle::open(pid, *start);
        QVERIFY(handle.isValid());
        end(*sleeper); // ended and reaped: its id is free for the next process
        QVERIFY(!handle.terminate());
        QVERIFY(!terminateProcess(pid, *start));
        QVERIFY(!ProcessHandle::open(pid, *start).isValid());
    }

    void recycledIdSignalsNothing()
    {
        // The first process: a provider that was recorded, then ended.
        auto first = startSleeper();
        QVERIFY(first);
        const qint64 pid = first->processId();
        const auto firstStart = process_identity::startTime(pid);
        QVERIFY(firstStart);
        const ProcessHandle heldHandle = ProcessHandle::open(pid, *firstStart);
        QVERIFY(heldHandle.isValid());
        // Start times count clock ticks; let one pass so the two processes differ in it.
        QTRY_VERIFY_WITH_TIMEOUT(uptimeTicks() > *firstStart + 1, processLimitMs);
        end(*first);

        // The second process gets the same id.
        if (!chooseNextProcessId(pid))
            QSKIP("cannot choose process ids here (needs a private process-id namespace)");
        auto second = startSleeper();
        QVERIFY(second);
        if (second->processId() != pid) {
            end(*second);
            QSKIP("another process took the id first");
        }
        QVERIFY(process_identity::startTime(pid) != firstStart);

        QVERIFY(!heldHandle.terminate());
        QVERIFY(!ProcessHandle::open(pid, *firstStart).isValid());
        QVERIFY(!terminateProcess(pid, *firstStart));

        // The state document the ended provider left behind still names the id as a
        // running tunnel: the profile service neither believes it nor signals the id.
        LinuxProfileService service;
        auto profile = std::make_shared<VpnProfile>();
        profile->localizedDescription = QStringLiteral("Qor Connect");
        profile->enabled = true;
        profile->protocol = TunnelProviderProtocol{QStringLiteral("com.qorvpn.connect.mac.tunnel"), QStringLiteral("Qor Network"), {}};
        auto saved = track(service.save(profile));
        ManualClock::drainEvents();
        QVERIFY(saved->done && !saved->failed());
        ProviderState left;
        left.profileId = profile->id;
        left.providerIdentifier = profile->protocol->providerBundleIdentifier;
        left.pid = pid;
        left.startTime = *firstStart;
        left.status = VpnStatus::Connected;
        writePrivateFile(service.statePath(profile->id), left.toJson());
        QCOMPARE(service.status(*profile), VpnStatus::Disconnected);
        service.stopTunnel(*profile);

        QVERIFY(survives(*second));
        end(*second);
        QDir(tunnel_paths::profilesDirectory()).removeRecursively();
        QDir(tunnel_paths::stateDirectory()).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestRecycledProcessId)
#include "test_recycled_process_id.moc"
