// Trace and store faults (full, read-only, special files, no Secret Service), set up by the wrapper.

#include "../cli/cli_process.h"

#include "account/secret_store_file.h"
#include "account/secret_store_keychain.h"
#include "app_fixture.h"
#include "shell/autostart_entry.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

#define REQUIRE_MOUNTS()                                                                                                       \
    if (qEnvironmentVariableIsEmpty("QOR_FAULT_FULL"))                                                                         \
    QSKIP("needs the wrapper's mount namespace (root, or unprivileged user namespaces)")

namespace {

const QString corporateA = R"({"company":"Acme","session":{"until":"2030-01-01T00:00:00Z"}})";
const QString corporateB = R"({"company":"Бета","session":{"until":"2030-01-01T00:00:00Z"}})";

QString fault(const char *variable, const QString &sub = {})
{
    return qEnvironmentVariable(variable) + sub;
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

// Takes every free page of the file system holding `dir`, leaving `keep` bytes.
struct DiskFiller {
    explicit DiskFiller(const QString &dir, off_t keep = 0)
        : path(QFile::encodeName(dir + "/filler"))
    {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const QByteArray page(4096, 'f');
        while (::write(fd, page.constData(), size_t(page.size())) == page.size()) {
        }
        const off_t size = ::lseek(fd, 0, SEEK_END);
        if (keep > 0)
            (void)::ftruncate(fd, size > keep ? size - keep : 0);
        ::close(fd);
    }
    ~DiskFiller() { release(); }
    void release() { ::unlink(path.constData()); }
    const QByteArray path;
};

// The lines of the state log category; earlier handlers still see them.
QStringList logLines;
QtMessageHandler previousHandler = nullptr;
void captureLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, "com.qorvpn.connect.state") == 0)
        logLines.append(message);
    if (previousHandler)
        previousHandler(type, context, message);
}

// The first line that is not "stamp, blank, one of `messages`", or "no end" if cut; empty if all are whole.
QString brokenLine(const QByteArray &content, const QStringList &messages)
{
    static const QRegularExpression line(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (.*)$)");
    for (const QString &text : QString::fromUtf8(content).split('\n', Qt::SkipEmptyParts)) {
        if (!messages.contains(line.match(text).captured(1)))
            return text.left(80);
    }
    return content.isEmpty() || content.endsWith('\n') ? QString() : "no end";
}

Session::Saved savedSession(const QString &token, const QString &corporate)
{
    Session::Saved saved;
    saved.username = "user";
    saved.subscriptionURL = "https://sub.example.com/" + token;
    saved.sessionToken = token;
    saved.corporateJSON = corporate;
    return saved;
}

// The token and the company record of a stored session, or "none".
QString tokenAndRecord(const std::optional<Session::Saved> &saved)
{
    return saved ? saved->sessionToken.value_or("-") + " " + saved->corporateJSON.value_or("-") : "none";
}

ScriptedAnswer corporateAnswer()
{
    return ScriptedAnswer::json(okAnswer({{"session_token", "tok-1"}, {"qor", QJsonDocument::fromJson(corporateA.toUtf8()).object()}}));
}

// qorctl on this server and bus, signed in as a corporate user (later refreshes fail); empty on failure.
std::unique_ptr<CliProcess> signedInCli(AccountServer &server, const QString &name)
{
    auto cli = std::make_unique<CliProcess>(name);
    cli->setEnv("QOR_API_BASE", server.baseUrl().toString());
    cli->setEnv("DBUS_SESSION_BUS_ADDRESS", qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
    server.enqueue("email/request", ScriptedAnswer::json({{"status", "sent"}}));
    server.enqueue("email/verify", corporateAnswer());
    server.setDefault("refresh/", ScriptedAnswer::raw("unavailable", 503));
    const CliResult login = cli->run({"login", "email", "user@example.com", "--code", "1234"});
    if (login.exitCode == 0)
        return cli;
    qWarning("%s", login.describe().constData());
    return nullptr;
}

} // namespace

class TestStorageFaults : public QObject {
    Q_OBJECT

    ManualClock m_clock;
    const QString m_full = fault("QOR_FAULT_FULL");

    QString scratch(const QString &name) const { return fault("QOR_TEST_SCRATCH", "/" + name); }

    // A session "tok-A" stored by an earlier run, and whatever else it wrote.
    void seed(const QString &config, const QString &secretsPath, const std::function<void(DefaultsStores &)> &more)
    {
        DefaultsStores stores(config);
        FileSecretStore secrets(secretsPath);
        Session(stores.shared(), secrets, m_clock).save(savedSession("tok-A", corporateA));
        more(stores);
        ManualClock::drainEvents();
    }

    std::optional<Session::Saved> storedSession(const QString &config, const QString &secretsPath)
    {
        DefaultsStores stores(config);
        FileSecretStore secrets(secretsPath);
        return Session(stores.shared(), secrets, m_clock).load();
    }

private Q_SLOTS:
    void initTestCase() { previousHandler = qInstallMessageHandler(captureLog); }
    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }

    void init()
    {
        logLines.clear();
        for (const QString &name : m_full.isEmpty() ? QStringList() : entries(m_full)) {
            const QString path = m_full + "/" + name;
            QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
        }
    }

    // Unwritable trace folder: the log gets every line, calls return, undeletable signal files are re-read.
    void traceFolderCannotBeWritten_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("read-only mount") << true;
        QTest::newRow("parent is a file") << false;
    }

    void traceFolderCannotBeWritten()
    {
        QFETCH(bool, readOnly);
        QString dir = scratch("blocker/trace");
        const std::optional<QString> lastError = "Провайдер остановлен";
        if (readOnly) {
            REQUIRE_MOUNTS();
            QDir(fault("QOR_FAULT_READONLY_SOURCE", "/trace")).removeRecursively();
            writeBytes(fault("QOR_FAULT_READONLY_SOURCE", "/trace/state-trace.txt"), "2026-01-31T11:00:00Z earlier\n");
            writeBytes(fault("QOR_FAULT_READONLY_SOURCE", "/trace/tunnel-last-error.txt"), lastError->toUtf8());
            dir = fault("QOR_FAULT_READONLY", "/trace");
        } else {
            writeBytes(scratch("blocker"), "a file");
        }
        StateTrace trace(dir, m_clock);
        for (int i = 0; i < 40; ++i)
            trace.trace(QStringLiteral("status 1 from main #%1").arg(i));
        trace.waitForWrites();
        QCOMPARE(logLines.size(), 40);
        QCOMPARE(logLines.last(), "status 1 from main #39");
        QCOMPARE(trace.takeSignalFile("tunnel-last-error.txt"), readOnly ? lastError : std::nullopt);
        if (readOnly) {
            QCOMPARE(readBytes(dir + "/state-trace.txt"), "2026-01-31T11:00:00Z earlier\n");
            QCOMPARE(trace.takeSignalFile("tunnel-last-error.txt"), lastError);
            QCOMPARE(trace.takeSignalFile("tunnel-checkpoint.txt"), std::nullopt);
        } else {
            QVERIFY(QFileInfo(scratch("blocker")).isFile());
        }
    }

    // Full disk: lines that do not fit are dropped whole, signal files still taken, the trace resumes.
    void traceOnFullDisk()
    {
        REQUIRE_MOUNTS();
        const QString dir = m_full + "/trace", file = dir + "/state-trace.txt", longLine = "status 3 " + QString(6000, 'x');
        QStringList messages{"before", longLine, "after"};
        StateTrace trace(dir, m_clock);
        trace.trace("before");
        trace.waitForWrites();
        writeBytes(dir + "/tunnel-last-error.txt", "Нет связи с сервером");

        DiskFiller filler(m_full);
        trace.trace(longLine); // larger than what is left of the file's last page
        for (int i = 0; i < 20; ++i)
            trace.trace(messages.emplaceBack(QStringLiteral("full %1").arg(i)));
        trace.waitForWrites();
        QCOMPARE(logLines.size(), 22);
        QCOMPARE(brokenLine(readBytes(file), messages), QString());
        QCOMPARE(trace.takeSignalFile("tunnel-last-error.txt"), "Нет связи с сервером");
        QVERIFY(!QFileInfo::exists(dir + "/tunnel-last-error.txt"));

        filler.release();
        trace.trace(longLine);
        trace.trace("after");
        trace.waitForWrites();
        QCOMPARE(brokenLine(readBytes(file), messages), QString());
        QVERIFY(readBytes(file).endsWith(longLine.toUtf8() + "\n2026-01-31T12:00:00Z after\n"));
    }

    // The cut back needs room for a copy of the tail: the file stays whole until space returns.
    void traceCutBackWaitsForSpace()
    {
        REQUIRE_MOUNTS();
        const QString dir = m_full + "/trace", file = dir + "/state-trace.txt";
        writeBytes(file, (QByteArray("2026-01-31T11:00:00Z ") + QByteArray(99, 'y') + '\n').repeated(1083)); // 131 043 bytes: one line below the limit
        StateTrace trace(dir, m_clock);
        DiskFiller filler(m_full, 4096); // room for one more page only
        trace.trace("over the limit");
        trace.waitForWrites();
        QVERIFY(QFileInfo(file).size() > 131072);
        QCOMPARE(brokenLine(readBytes(file), {QString(99, 'y'), "over the limit"}), QString());
        QCOMPARE(entries(dir), QStringList{"state-trace.txt"}); // no temporary file left

        filler.release();
        trace.trace("space again");
        trace.waitForWrites();
        const QByteArray content = readBytes(file);
        QVERIFY(content.size() <= 131072 && QString::fromUtf8(content).size() <= 65536);
        QVERIFY(content.endsWith("Z over the limit\n2026-01-31T12:00:00Z space again\n"));
        QCOMPARE(entries(dir), QStringList{"state-trace.txt"});
    }

    // Sign-in and the launch-at-login entry on a full disk: held in memory or refused, files and a restart keep the
    // old state until space returns.
    void storesOnFullDisk()
    {
        REQUIRE_MOUNTS();
        const AutostartEntry entry(m_full + "/config/autostart/qor-connect.desktop");
        QVERIFY(entry.registerEntry());
        const QByteArray entryBefore = readBytes(entry.path());
        const QString config = m_full + "/config/qor-connect", secretsPath = m_full + "/data/qor-connect/secrets.json";
        const QStringList files{config + "/" + DefaultsStores::groupFileName(), config + "/" + DefaultsStores::standardFileName(), secretsPath};
        seed(config, secretsPath, [](DefaultsStores &stores) { stores.standard().setBool("qor.minimizeToMenuBar", false); });
        QList<QByteArray> before;
        for (const QString &path : files)
            before << readBytes(path);
        QVERIFY(before.first().contains("tok-A"));

        auto stores = std::make_unique<DefaultsStores>(config);
        auto secrets = std::make_unique<FileSecretStore>(secretsPath);
        Session session(stores->shared(), *secrets, m_clock);
        DiskFiller filler(m_full);
        session.save(savedSession("tok-B", corporateB));
        stores->shared().setText("settings.appearance", "dark");
        stores->standard().setBool("qor.minimizeToMenuBar", true);
        ManualClock::drainEvents(); // the batched writes run, and fail
        QCOMPARE(tokenAndRecord(session.load()), "tok-B " + corporateB);
        QCOMPARE(stores->standard().boolValue("qor.minimizeToMenuBar"), true);
        for (int i = 0; i < files.size(); ++i)
            QVERIFY2(readBytes(files[i]) == before[i], qPrintable(files[i]));
        QVERIFY2(!secrets->flush(0ms), "a secret that did not reach the disk was reported as stored");
        QCOMPARE(entries(config), (QStringList{DefaultsStores::groupFileName(), DefaultsStores::standardFileName()}));
        QCOMPARE(entries(QFileInfo(secretsPath).path()), QStringList{"secrets.json"});
        QCOMPARE(tokenAndRecord(storedSession(config, secretsPath)), "tok-A " + corporateA);
        QVERIFY2(!entry.registerEntry(), "a rewrite the disk refused was reported as done");
        QVERIFY(readBytes(entry.path()) == entryBefore && entry.isRegistered());

        filler.release();
        QVERIFY(entry.registerEntry());
        stores->shared().setBool("settings.liquidGlass", true); // a later change writes it all
        ManualClock::drainEvents();
        QVERIFY(readBytes(files[0]).contains("tok-B"));
        QVERIFY(secrets->flush(0ms)); // the quit path writes the rest
        stores.reset();
        secrets.reset();
        QCOMPARE(tokenAndRecord(storedSession(config, secretsPath)), "tok-B " + corporateB);
        DefaultsStores restarted(config);
        QCOMPARE(restarted.shared().textValue("settings.appearance"), "dark");
        QCOMPARE(restarted.shared().boolValue("settings.liquidGlass"), true);
        QCOMPARE(restarted.standard().boolValue("qor.minimizeToMenuBar"), true);
    }

    // A FIFO or folder in place of a store file: no block at start, others keep values, it is left alone.
    void specialFileInPlaceOfAStore_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("fifo");
        for (const char *target : {"group", "standard", "secrets"}) {
            QTest::addRow("%s is a FIFO", target) << QString(target) << true;
            QTest::addRow("%s is a folder", target) << QString(target) << false;
        }
    }

    void specialFileInPlaceOfAStore()
    {
        QFETCH(QString, target);
        QFETCH(bool, fifo);
        QTemporaryDir home(scratch("special-XXXXXX"));
        const QString config = home.filePath("config"), secretsPath = home.filePath("data/secrets.json");
        const QString blocked = target == "secrets" ? secretsPath
                                                    : config + "/" + (target == "group" ? DefaultsStores::groupFileName() : DefaultsStores::standardFileName());
        seed(config, secretsPath, [](DefaultsStores &stores) { stores.standard().setBool("qor.minimizeToMenuBar", true); });
        QVERIFY(QFile::remove(blocked));
        QVERIFY(fifo ? ::mkfifo(QFile::encodeName(blocked).constData(), 0600) == 0 : QDir().mkdir(blocked));

        QElapsedTimer started;
        started.start();
        {
            DefaultsStores stores(config);
            FileSecretStore secrets(secretsPath);
            Session session(stores.shared(), secrets, m_clock);
            const QString loaded = tokenAndRecord(session.load());
            QVERIFY(started.elapsed() < 2000);
            QCOMPARE(loaded, target == "group" ? "none" : "tok-A " + (target == "secrets" ? "-" : corporateA));
            QCOMPARE(&stores.shared() == &stores.standard(), target == "group");
            // Written values stay for this run even where the file is unusable.
            session.save(savedSession("tok-B", corporateB));
            stores.standard().setText("session.selectedNodeEndpoint", "10.0.0.1:443");
            ManualClock::drainEvents();
            QCOMPARE(session.load()->corporateJSON, corporateB);
            QCOMPARE(secrets.flush(0ms), target != "secrets");
        }
        struct stat st {};
        QCOMPARE(::lstat(QFile::encodeName(blocked).constData(), &st), 0);
        QVERIFY(fifo ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode));
    }

    // Read-only config and data (remounted after an error): the session opens, changes stay in memory.
    void readOnlyStores()
    {
        REQUIRE_MOUNTS();
        const QString source = fault("QOR_FAULT_READONLY_SOURCE", "/stores"), view = fault("QOR_FAULT_READONLY", "/stores");
        QDir(source).removeRecursively();
        seed(source + "/config", source + "/data/secrets.json", [](DefaultsStores &stores) { stores.shared().setText("settings.connectMode", "tavrin"); });
        const QByteArray groupBefore = readBytes(source + "/config/" + DefaultsStores::groupFileName());

        DefaultsStores stores(view + "/config");
        FileSecretStore secrets(view + "/data/secrets.json");
        Session session(stores.shared(), secrets, m_clock);
        QCOMPARE(tokenAndRecord(session.load()), "tok-A " + corporateA); // found on a read-only file system
        QCOMPARE(stores.shared().textValue("settings.connectMode"), "tavrin");

        stores.shared().setText("settings.connectMode", "main");
        session.save(savedSession("tok-B", corporateB));
        ManualClock::drainEvents();
        QCOMPARE(stores.shared().textValue("settings.connectMode"), "main");
        QCOMPARE(session.load()->sessionToken, "tok-B");
        QVERIFY(!secrets.flush(0ms));
        QCOMPARE(readBytes(view + "/config/" + DefaultsStores::groupFileName()), groupBefore);
    }

    // No Secret Service: the corporate record goes to the private file; the next process is signed in. Then a keyring
    // that never answers (hung daemon, unseen prompt): read-limited start-up, no hang at quit.
    void noKeyringThenASilentOne()
    {
        QVERIFY(!secretServiceReachable()); // the wrapper's bus offers no keyring
        AccountServer server;
        QVERIFY(server.listen());
        const auto cli = signedInCli(server, "no-keyring");
        QVERIFY(cli);
        const QString secrets = cli->home() + "/data/qor-connect/secrets.json";
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(secrets).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QVERIFY(readBytes(secrets).contains("session.corporateJSON"));
        const CliResult status = cli->run({"status", "--json"});
        QVERIFY2(status.exitCode == 0, status.describe());
        QCOMPARE(status.json().value("authStage").toString(), "loggedIn");
        QCOMPARE(status.json().value("corporate").toObject().value("company").toString(), "Acme");
        QVERIFY(status.json().value("corporateFromStorage").toBool());

        const QString tool = QStandardPaths::findExecutable("dbus-test-tool");
        QVERIFY2(!tool.isEmpty(), "dbus-test-tool missing: run scripts/install-deps (package dbus-tests)");
        QProcess blackHole;
        blackHole.start(tool, {"black-hole", "--session", "--name=org.freedesktop.secrets"});
        QVERIFY(blackHole.waitForStarted());
        const auto stopBlackHole = qScopeGuard([&] {
            blackHole.kill();
            blackHole.waitForFinished(3000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(secretServiceReachable(), 5000);
        // What a process may spend on the keyring: one read at start, one wait at quit.
        const qint64 margin = 3000, readLimit = KeychainSecretStore::kDefaultReadLimit.count(), quitLimit = KeychainSecretStore::kQuitFlushLimit.count();

        QElapsedTimer timer;
        timer.start();
        const CliResult slowStatus = cli->run({"status", "--json"}, {}, 20000);
        const qint64 statusMs = timer.restart();
        QVERIFY2(slowStatus.finished && slowStatus.exitCode == 0, slowStatus.describe());
        QCOMPARE(slowStatus.json().value("authStage").toString(), "loggedIn");
        QVERIFY2(statusMs < readLimit + margin, qPrintable(QStringLiteral("status took %1 ms").arg(statusMs)));

        server.setDefault("refresh/", corporateAnswer());
        timer.restart();
        const CliResult refresh = cli->run({"refresh"}, {}, 30000);
        const qint64 refreshMs = timer.elapsed();
        QVERIFY2(refresh.finished && refresh.out.contains("Статус обновлён"), refresh.describe());
        QVERIFY2(refreshMs < readLimit + quitLimit + margin, qPrintable(QStringLiteral("refresh took %1 ms").arg(refreshMs)));
        qInfo("silent keyring: status %lld ms, refresh %lld ms", statusMs, refreshMs);
        // The session kept in the defaults store is whole.
        QCOMPARE(cli->run({"status", "--json"}).json().value("authStage").toString(), "loggedIn");
    }
};

QTEST_GUILESS_MAIN(TestStorageFaults)
#include "test_storage_faults.moc"
