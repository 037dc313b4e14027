// Two guards of what is the user's alone, in a private process-id namespace (see the wrapper).
// Every file holding the session token, the Tavrin key or the company policy is 0600 in a 0700
// folder, whatever the umask and even in folders left open: checked on disk while a corporate
// account is connected through the cascade (the real stores, profile service and provider, the
// Tavrin helper's key file). And the tunnel provider is signalled only while its id still names
// the process that was started: an id is really given to a new process here (the profile
// service's own check: test_linux_platform stateIsBelievedOnlyWhenTrustworthy).

#include "app_fixture.h"

#include "account/secret_store_file.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/platform/process_handle.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {

const QByteArray secrets[] = {"sessTOKEN-on-disk-4e1d", "tavrinKEY-on-disk-93ab", "blocked-by-policy.example"}; // token, key, policy

QString mode(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? "0" + QString::number(st.st_mode & 07777, 8) : "absent";
}

// The bytes of a file and, for a JSON document, the base64 decoding of each of its
// texts: the secret file store keeps its entries in base64.
QByteArray readable(const QString &path)
{
    QFile file(path);
    QByteArray all = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const std::function<void(const QJsonValue &)> decode = [&](const QJsonValue &value) {
        const auto bytes = QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (value.isString() && bytes)
            all += '\n' + *bytes;
        for (const QJsonValue &member : value.toObject())
            decode(member);
        for (const QJsonValue &element : value.toArray())
            decode(element);
    };
    decode(QJsonDocument::fromJson(all).object());
    return all;
}

// The folders of this program under the user's XDG folders.
const QStringList programFolders{qEnvironmentVariable("XDG_CONFIG_HOME") + "/qor-connect", qEnvironmentVariable("XDG_DATA_HOME") + "/qor-connect",
                                 qEnvironmentVariable("XDG_DATA_HOME") + "/QorConnect", qEnvironmentVariable("XDG_RUNTIME_DIR") + "/qor-connect"};

// Files and folders under the XDG folders that are open to others: every file of ours or
// holding a secret, the folder of each secret, and, when `allFolders`, every folder of ours.
QStringList openToOthers(bool allFolders)
{
    QStringList problems;
    for (const char *root : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
        QDirIterator it(qEnvironmentVariable(root), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const bool ours = std::any_of(programFolders.cbegin(), programFolders.cend(),
                                          [&](const QString &folder) { return path == folder || path.startsWith(folder + '/'); });
            if (it.fileInfo().isDir() && !it.fileInfo().isSymLink()) {
                if (ours && allFolders && mode(path) != "0700")
                    problems << path + ": folder " + mode(path);
                continue;
            }
            const QByteArray content = readable(path);
            const bool secret = std::any_of(std::begin(secrets), std::end(secrets), [&](const QByteArray &s) { return content.contains(s); });
            if ((ours || secret) && mode(path) != "0600")
                problems << path + ": file " + mode(path);
            if (secret && mode(it.fileInfo().absolutePath()) != "0700")
                problems << path + ": folder of a secret " + mode(it.fileInfo().absolutePath());
        }
    }
    return problems;
}

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

} // namespace

class TestSecretFilesPrivate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + "/bundle").toUtf8());
        qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.05");
    }

    void cleanup()
    {
        for (const QString &folder : programFolders)
            QDir(folder).removeRecursively();
    }

    // Umask 000 is the most open; a stricter one may narrow nothing itself (folders left open).
    void secretsOnDiskArePrivate_data()
    {
        QTest::addColumn<int>("mask");
        QTest::newRow("umask 000") << 0;
        QTest::newRow("umask 022, folders left open") << 022;
    }

    void secretsOnDiskArePrivate()
    {
        QFETCH(int, mask);
        cleanup();
        const bool foldersLeftOpen = mask != 0;
        for (const QString &folder : foldersLeftOpen ? programFolders : QStringList())
            QVERIFY(QDir().mkpath(folder) && QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                                         | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        const mode_t previousMask = ::umask(mode_t(mask));
        const auto restoreMask = qScopeGuard([previousMask] { ::umask(previousMask); });

        AppFixture f;
        DefaultsStores stores(DefaultsStores::defaultDirectory());
        FileSecretStore secretFile;
        Session session{stores.shared(), secretFile, f.clock};
        LinuxProfileService profiles;
        TunnelManager tunnel{profiles, f.clock};
        ReserveTunnelManager reserve{profiles, f.clock};
        const AppServices base = f.services();
        const AppServices services{f.clock, stores.shared(), stores.standard(), session, *f.trace, *f.login, tunnel, reserve, *f.traffic,
                                   *f.extensions, *f.tavrinResolver, *f.tavrinHelper, base.openAddress,
                                   []() -> QCoro::Task<bool> { co_return true; }, base.measureLatency, base.latencyConcurrency};
        const QJsonObject policy{{"block_domains", QJsonArray{QString(secrets[2])}}, {"block_torrent", true}};
        f.server.setDefault("poll/", ScriptedAnswer::json(okAnswer({{"session_token", QString(secrets[0])}, {"tavrin_key", QString(secrets[1])},
                                                                    {"qor", QJsonObject{{"company", "ACME"}, {"policy", policy}}}})));

        auto app = std::make_unique<AppState>(services);
        QVERIFY(f.waitFor([&] { return app->isStartupFinished(); }));
        app->startTelegramLogin();
        QVERIFY(f.settle([&] { return app->authStage() == AuthStage::LoggedIn; }));
        // A real provider moves in real time, the connect operation's pauses in virtual time.
        const auto drive = [&](const std::function<bool()> &done) {
            QElapsedTimer real;
            for (real.start(); !done() && real.elapsed() < 30000; QTest::qWait(5))
                f.clock.advance(20ms);
            return done();
        };
        app->selectMode(ConnectMode::Tavrin);
        app->tapGlobe();
        QVERIFY(drive([&] { return app->connectionState() == ConnectionState::Connected; }));
        stores.shared().sync();
        stores.standard().sync();
        QVERIFY(secretFile.flush(1s));
        QStringList problems = openToOthers(!foldersLeftOpen);
        // Each kind of secret is where it is kept, so the sweep did look at them (checked once the tunnel is down).
        const std::pair<QString, QByteArray> kept[] = {{qEnvironmentVariable("XDG_CONFIG_HOME") + "/qor-connect/" + DefaultsStores::groupFileName(), secrets[0]},
                                                       {TavrinHelper::keyFileLocation(), secrets[1]},
                                                       {secretFile.filePath(), secrets[2]},
                                                       {profiles.profilePath(tunnel.profile()->id), secrets[2]}};
        for (const auto &[path, secret] : kept)
            problems << (readable(path).contains(secret) ? QString() : path + " does not hold " + secret);
        problems.removeAll(QString());
        app->tapGlobe();
        QVERIFY(drive([&] { return app->connectionState() == ConnectionState::Disconnected; }));
        // The state says disconnected at once; the provider process ends a moment later.
        QVERIFY(drive([&] { return tunnel.connectionStatus() == 1; }));
        app.reset();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

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
        const auto ticks = [] { // since boot, the unit of start times; one passes, so that a later process differs in its start time
            QFile uptime("/proc/uptime");
            return uptime.open(QIODevice::ReadOnly) ? quint64(uptime.readAll().split(' ').value(0).toDouble() * double(::sysconf(_SC_CLK_TCK))) : 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(ticks() > start + 1, processLimitMs);
        QVERIFY(terminateProcess(pid, start));
        QVERIFY(first->waitForFinished(processLimitMs));
        QCOMPARE(first->exitStatus(), QProcess::CrashExit);
        const auto reachesNothing = [&] { return !handle.terminate() && !terminateProcess(pid, start) && !ProcessHandle::open(pid, start).isValid(); };
        QVERIFY(reachesNothing());

        // The id goes to a new process, where this process may choose it (in a process-id namespace of its own).
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

QTEST_GUILESS_MAIN(TestSecretFilesPrivate)
#include "test_secret_files_private.moc"
