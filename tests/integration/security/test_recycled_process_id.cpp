// The tunnel provider is only ever signalled while its process id still names the process
// that was started: a process id is really given to a new process here (in a private
// process-id namespace, see the wrapper), and the checks are made at every level: the
// process handle, terminateProcess and the profile service.

#include "../../unit/tunnel/task_outcome.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/platform/process_handle.h"

#include <QDir>
#include <QProcess>
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

void end(QProcess &process)
{
    process.kill();
    process.waitForFinished(processLimitMs);
}

} // namespace

class TestRecycledProcessId : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A wrong start time reaches nothing; the true one does, once; a handle held on the
    // process, its id and its start time reach nothing once it has ended and been reaped.
    void onlyTheProcessThatStartedIsSignalled()
    {
        const auto [sleeper, start] = startSleeper();
        const qint64 pid = sleeper->processId();
        QVERIFY(start > 0);
        QVERIFY(!ProcessHandle::open(pid, start + 1).isValid());
        QVERIFY(!terminateProcess(pid, start + 1));
        QVERIFY(survives(*sleeper));
        const ProcessHandle handle = ProcessHandle::open(pid, start);
        QVERIFY(handle.isValid());
        QVERIFY(terminateProcess(pid, start));
        QVERIFY(sleeper->waitForFinished(processLimitMs));
        QCOMPARE(sleeper->exitStatus(), QProcess::CrashExit);
        QVERIFY(!handle.terminate());
        QVERIFY(!terminateProcess(pid, start));
        QVERIFY(!ProcessHandle::open(pid, start).isValid());
    }

    void recycledIdSignalsNothing()
    {
        // The first process: a provider that was recorded, then ended.
        const auto [first, firstStart] = startSleeper();
        const qint64 pid = first->processId();
        const ProcessHandle heldHandle = ProcessHandle::open(pid, firstStart);
        QVERIFY(heldHandle.isValid());
        // Start times count clock ticks since boot; let one pass so the two processes differ in it.
        const auto ticks = [] {
            QFile uptime("/proc/uptime");
            return uptime.open(QIODevice::ReadOnly) ? quint64(uptime.readAll().split(' ').value(0).toDouble() * double(::sysconf(_SC_CLK_TCK))) : 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(ticks() > firstStart + 1, processLimitMs);
        end(*first);

        // The second process gets the same id, where this process may choose it (the first
        // process of a private process-id namespace may).
        QFile lastPid("/proc/sys/kernel/ns_last_pid");
        if (!lastPid.open(QIODevice::WriteOnly) || lastPid.write(QByteArray::number(pid - 1)) <= 0 || !lastPid.flush())
            QSKIP("cannot choose process ids here (needs a private process-id namespace)");
        const auto [second, secondStart] = startSleeper();
        if (second->processId() != pid) {
            end(*second);
            QSKIP("another process took the id first");
        }
        QVERIFY(secondStart != firstStart);
        QVERIFY(!heldHandle.terminate());
        QVERIFY(!ProcessHandle::open(pid, firstStart).isValid());
        QVERIFY(!terminateProcess(pid, firstStart));

        // The state document the ended provider left behind still names the id as a
        // running tunnel: the profile service neither believes it nor signals the id.
        LinuxProfileService service;
        auto profile = std::make_shared<VpnProfile>();
        profile->enabled = true;
        profile->protocol = TunnelProviderProtocol{"com.qorvpn.connect.mac.tunnel", "Qor Network", {}};
        QVERIFY(!settled(service.save(profile))->failed());
        ProviderState left;
        left.profileId = profile->id;
        left.providerIdentifier = profile->protocol->providerBundleIdentifier;
        left.pid = pid;
        left.startTime = firstStart;
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
