// Storage faults a user can meet: a trace folder that cannot be written or is on a
// full disk, store files that are special files, on a read-only or full file system,
// and a session bus without a working Secret Service. The wrapper provides a tiny
// tmpfs (QOR_FAULT_FULL), a read-only bind mount of QOR_FAULT_READONLY_SOURCE
// (QOR_FAULT_READONLY) and a private bus without a keyring.

#include "../cli/cli_process.h"

#include "account/defaults_store.h"
#include "shell/autostart_entry.h"
#include "account/secret_store.h"
#include "account/secret_store_file.h"
#include "account/secret_store_keychain.h"
#include "account/session.h"
#include "app_fixture.h"
#include "manual_clock.h"
#include "core/state_trace.h"
#include "demo/account_server.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {

const QString kCorporateA = QStringLiteral(R"({"company":"Acme","session":{"until":"2030-01-01T00:00:00Z"}})");
const QString kCorporateB = QStringLiteral(R"({"company":"Бета","session":{"until":"2030-01-01T00:00:00Z"}})");

QString faultPath(const char *variable)
{
    return qEnvironmentVariable(variable);
}

#define REQUIRE_MOUNTS()                                                                                         \
    do {                                                                                                         \
        if (faultPath("QOR_FAULT_FULL").isEmpty())                                                               \
            QSKIP("needs the wrapper's mount namespace (root, or unprivileged user namespaces)");                 \
    } while (false)

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

// Takes every free page of the file system holding `dir`, leaving `keep` bytes.
class DiskFiller {
public:
    explicit DiskFiller(const QString &dir, off_t keep = 0)
        : m_path(QFile::encodeName(dir + QStringLiteral("/filler")))
    {
        const int fd = ::open(m_path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const QByteArray page(4096, 'f');
        while (::write(fd, page.constData(), size_t(page.size())) == page.size()) {
        }
        const off_t size = ::lseek(fd, 0, SEEK_END);
        if (keep > 0)
            (void)::ftruncate(fd, size > keep ? size - keep : 0);
        ::close(fd);
    }
    ~DiskFiller() { release(); }
    void release() { ::unlink(m_path.constData()); }

private:
    QByteArray m_path;
};

// Records the lines of the state log category; earlier handlers still see them.
QStringList *g_logLines = nullptr;
QtMessageHandler g_previousHandler = nullptr;
void captureLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (g_logLines && context.category && qstrcmp(context.category, "com.qorvpn.connect.state") == 0)
        g_logLines->append(message);
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// Every line of a trace file is whole: a time stamp, a blank and one of `messages`.
bool linesAreWhole(const QByteArray &content, const QStringList &messages, QString *bad)
{
    static const QRegularExpression line(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (.*)$)"));
    for (const QString &text : QString::fromUtf8(content).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch() || !messages.contains(match.captured(1))) {
            *bad = text.left(80);
            return false;
        }
    }
    return content.isEmpty() || content.endsWith('\n');
}

} // namespace

class TestStorageFaults : public QObject {
    Q_OBJECT

    ManualClock m_clock;
    QStringList m_log;
    QString m_full;

    QString scratch(const QString &name) const { return qEnvironmentVariable("QOR_TEST_SCRATCH") + QLatin1Char('/') + name; }

    Session::Saved savedSession(const QString &token, const QString &corporate) const
    {
        Session::Saved saved;
        saved.username = QStringLiteral("user");
        saved.subscriptionURL = QStringLiteral("https://sub.example.com/") + token;
        saved.sessionToken = token;
        saved.corporateJSON = corporate;
        return saved;
    }

    static ScriptedAnswer corporateAnswer()
    {
        return ScriptedAnswer::json(okAnswer({{QStringLiteral("session_token"), QStringLiteral("tok-1")},
                                              {QStringLiteral("qor"), QJsonDocument::fromJson(kCorporateA.toUtf8()).object()}}));
    }

    CliProcess cliFor(const AccountServer &server, const QString &name) const
    {
        CliProcess cli(name);
        cli.setEnv(QStringLiteral("QOR_API_BASE"), server.baseUrl().toString());
        cli.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
        return cli;
    }

    // Signs in by e-mail code as a corporate user; later refreshes fail.
    bool signIn(AccountServer &server, const CliProcess &cli) const
    {
        server.enqueue(QStringLiteral("email/request"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("sent")}}));
        server.enqueue(QStringLiteral("email/verify"), corporateAnswer());
        server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::raw("unavailable", 503));
        const CliResult login = cli.run({QStringLiteral("login"), QStringLiteral("email"), QStringLiteral("user@example.com"),
                                         QStringLiteral("--code"), QStringLiteral("1234")});
        if (login.exitCode != 0)
            qWarning("%s", login.describe().constData());
        return login.exitCode == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        g_logLines = &m_log;
        g_previousHandler = qInstallMessageHandler(captureLog);
        m_full = faultPath("QOR_FAULT_FULL");
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(g_previousHandler);
        g_logLines = nullptr;
    }

    void init()
    {
        m_log.clear();
        if (!m_full.isEmpty()) {
            for (const QString &name : entries(m_full))
                QVERIFY(QFileInfo(m_full + QLatin1Char('/') + name).isDir() ? QDir(m_full + QLatin1Char('/') + name).removeRecursively()
                                                                            : QFile::remove(m_full + QLatin1Char('/') + name));
        }
    }

    // A trace folder that cannot be written: every line still reaches the log, the
    // calls return, and signal files are still read (and read again when they cannot
    // be deleted, so the error is shown at the next disconnect too).
    void traceFolderCannotBeWritten_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("read-only mount") << QStringLiteral("readonly");
        QTest::newRow("parent is a file") << QStringLiteral("blocked");
    }

    void traceFolderCannotBeWritten()
    {
        QFETCH(QString, kind);
        QString dir;
        if (kind == QLatin1String("readonly")) {
            REQUIRE_MOUNTS();
            const QString source = faultPath("QOR_FAULT_READONLY_SOURCE") + QStringLiteral("/trace");
            QDir(source).removeRecursively();
            writeBytes(source + QStringLiteral("/state-trace.txt"), "2026-01-31T11:00:00Z earlier\n");
            writeBytes(source + QStringLiteral("/tunnel-last-error.txt"), "Провайдер остановлен");
            dir = faultPath("QOR_FAULT_READONLY") + QStringLiteral("/trace");
        } else {
            writeBytes(scratch(QStringLiteral("blocker")), "a file");
            dir = scratch(QStringLiteral("blocker/trace"));
        }

        StateTrace trace(dir, m_clock);
        for (int i = 0; i < 40; ++i)
            trace.trace(QStringLiteral("status 1 from main #%1").arg(i));
        trace.waitForWrites();
        QCOMPARE(m_log.size(), 40);
        QCOMPARE(m_log.last(), QStringLiteral("status 1 from main #39"));

        if (kind == QLatin1String("readonly")) {
            QCOMPARE(readBytes(dir + QStringLiteral("/state-trace.txt")), QByteArray("2026-01-31T11:00:00Z earlier\n"));
            QCOMPARE(trace.takeSignalFile(QStringLiteral("tunnel-last-error.txt")), std::optional<QString>(QStringLiteral("Провайдер остановлен")));
            QCOMPARE(trace.takeSignalFile(QStringLiteral("tunnel-last-error.txt")), std::optional<QString>(QStringLiteral("Провайдер остановлен")));
            QCOMPARE(trace.takeSignalFile(QStringLiteral("tunnel-checkpoint.txt")), std::optional<QString>());
        } else {
            QVERIFY(QFileInfo(scratch(QStringLiteral("blocker"))).isFile());
            QCOMPARE(trace.takeSignalFile(QStringLiteral("tunnel-last-error.txt")), std::optional<QString>());
        }
    }

    // A full disk: lines that do not fit are dropped whole (never half a line), the
    // signal files are still taken, and once space returns the trace goes on.
    void traceOnFullDisk()
    {
        REQUIRE_MOUNTS();
        const QString dir = m_full + QStringLiteral("/trace");
        const QString file = dir + QStringLiteral("/state-trace.txt");
        const QString longLine = QStringLiteral("status 3 ") + QString(6000, QLatin1Char('x'));
        QStringList messages{QStringLiteral("before"), longLine, QStringLiteral("after")};
        StateTrace trace(dir, m_clock);
        trace.trace(QStringLiteral("before"));
        trace.waitForWrites();
        writeBytes(dir + QStringLiteral("/tunnel-last-error.txt"), "Нет связи с сервером");

        DiskFiller filler(m_full);
        trace.trace(longLine); // larger than what is left of the file's last page
        for (int i = 0; i < 20; ++i) {
            messages << QStringLiteral("full %1").arg(i);
            trace.trace(messages.last());
        }
        trace.waitForWrites();
        QCOMPARE(m_log.size(), 22);
        QString bad;
        QVERIFY2(linesAreWhole(readBytes(file), messages, &bad), qPrintable(bad));
        QCOMPARE(trace.takeSignalFile(QStringLiteral("tunnel-last-error.txt")), std::optional<QString>(QStringLiteral("Нет связи с сервером")));
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/tunnel-last-error.txt")));

        filler.release();
        trace.trace(longLine);
        trace.trace(QStringLiteral("after"));
        trace.waitForWrites();
        const QByteArray content = readBytes(file);
        QVERIFY2(linesAreWhole(content, messages, &bad), qPrintable(bad));
        QVERIFY(content.endsWith(longLine.toUtf8() + '\n' + QByteArray("2026-01-31T12:00:00Z after\n")));
    }

    // The cut back needs room for a second copy of the tail; without it the file is
    // left whole, and the next line after space returns brings it back under the limit.
    void traceCutBackWaitsForSpace()
    {
        REQUIRE_MOUNTS();
        const QString dir = m_full + QStringLiteral("/trace");
        const QString file = dir + QStringLiteral("/state-trace.txt");
        const QByteArray filling = QByteArray("2026-01-31T11:00:00Z ") + QByteArray(99, 'y') + '\n'; // 121 bytes
        const QString fillMessage = QString(99, QLatin1Char('y'));
        writeBytes(file, filling.repeated(1083)); // 131 043 bytes: one step below the limit
        StateTrace trace(dir, m_clock);

        DiskFiller filler(m_full, 4096); // room for one more page only
        trace.trace(QStringLiteral("over the limit"));
        trace.waitForWrites();
        QString bad;
        QVERIFY(QFileInfo(file).size() > 131072);
        QVERIFY2(linesAreWhole(readBytes(file), {fillMessage, QStringLiteral("over the limit")}, &bad), qPrintable(bad));
        QCOMPARE(entries(dir), QStringList{QStringLiteral("state-trace.txt")}); // no temporary file left

        filler.release();
        trace.trace(QStringLiteral("space again"));
        trace.waitForWrites();
        const QByteArray content = readBytes(file);
        QVERIFY(content.size() <= 131072);
        QVERIFY(QString::fromUtf8(content).size() <= 65536);
        QVERIFY(content.endsWith("Z over the limit\n2026-01-31T12:00:00Z space again\n"));
        QCOMPARE(entries(dir), QStringList{QStringLiteral("state-trace.txt")});
    }

    // A sign-in written while the disk is full: the new session and settings live on in
    // memory, every file keeps its previous content, a restart meanwhile finds the
    // session stored earlier, and the writes go through once space returns.
    void storesOnFullDisk()
    {
        REQUIRE_MOUNTS();
        const QString config = m_full + QStringLiteral("/config/qor-connect");
        const QString secretsPath = m_full + QStringLiteral("/data/qor-connect/secrets.json");
        const QString group = config + QLatin1Char('/') + DefaultsStores::groupFileName();
        const QString standard = config + QLatin1Char('/') + DefaultsStores::standardFileName();
        {
            DefaultsStores stores(config);
            FileSecretStore secrets(secretsPath);
            Session(stores.shared(), secrets, m_clock).save(savedSession(QStringLiteral("tok-A"), kCorporateA));
            stores.standard().setBool(QStringLiteral("qor.minimizeToMenuBar"), false);
            ManualClock::drainEvents();
        }
        const QByteArray groupBefore = readBytes(group), standardBefore = readBytes(standard), secretsBefore = readBytes(secretsPath);
        QVERIFY(groupBefore.contains("tok-A"));

        auto stores = std::make_unique<DefaultsStores>(config);
        auto secrets = std::make_unique<FileSecretStore>(secretsPath);
        Session session(stores->shared(), *secrets, m_clock);
        DiskFiller filler(m_full);
        session.save(savedSession(QStringLiteral("tok-B"), kCorporateB));
        stores->shared().setText(QStringLiteral("settings.appearance"), QStringLiteral("dark"));
        stores->standard().setBool(QStringLiteral("qor.minimizeToMenuBar"), true);
        ManualClock::drainEvents(); // the batched writes run, and fail
        QCOMPARE(session.load()->sessionToken, std::optional<QString>(QStringLiteral("tok-B")));
        QCOMPARE(session.load()->corporateJSON, std::optional<QString>(kCorporateB));
        QCOMPARE(stores->standard().boolValue(QStringLiteral("qor.minimizeToMenuBar")), std::optional<bool>(true));
        QCOMPARE(readBytes(group), groupBefore);
        QCOMPARE(readBytes(standard), standardBefore);
        QCOMPARE(readBytes(secretsPath), secretsBefore);
        QVERIFY2(!secrets->flush(0ms), "a secret that did not reach the disk was reported as stored");
        QCOMPARE(entries(config), (QStringList{DefaultsStores::groupFileName(), DefaultsStores::standardFileName()}));
        QCOMPARE(entries(QFileInfo(secretsPath).path()), QStringList{QStringLiteral("secrets.json")});
        {
            DefaultsStores restarted(config);
            FileSecretStore restartedSecrets(secretsPath);
            const std::optional<Session::Saved> earlier = Session(restarted.shared(), restartedSecrets, m_clock).load();
            QVERIFY(earlier);
            QCOMPARE(earlier->sessionToken, std::optional<QString>(QStringLiteral("tok-A")));
            QCOMPARE(earlier->corporateJSON, std::optional<QString>(kCorporateA));
        }

        filler.release();
        stores->shared().setBool(QStringLiteral("settings.liquidGlass"), true); // a later change writes it all
        ManualClock::drainEvents();
        QVERIFY(readBytes(group).contains("tok-B"));
        QVERIFY(secrets->flush(0ms)); // the quit path writes the rest
        stores.reset();
        secrets.reset();

        DefaultsStores restarted(config);
        FileSecretStore restartedSecrets(secretsPath);
        const std::optional<Session::Saved> later = Session(restarted.shared(), restartedSecrets, m_clock).load();
        QVERIFY(later);
        QCOMPARE(later->sessionToken, std::optional<QString>(QStringLiteral("tok-B")));
        QCOMPARE(later->corporateJSON, std::optional<QString>(kCorporateB));
        QCOMPARE(restarted.shared().textValue(QStringLiteral("settings.appearance")), std::optional<QString>(QStringLiteral("dark")));
        QCOMPARE(restarted.shared().boolValue(QStringLiteral("settings.liquidGlass")), std::optional<bool>(true));
        QCOMPARE(restarted.standard().boolValue(QStringLiteral("qor.minimizeToMenuBar")), std::optional<bool>(true));
    }

    // The launch-at-login entry rewritten on a full disk: refused, and the entry that
    // was there stays whole.
    void autostartEntryOnFullDisk()
    {
        REQUIRE_MOUNTS();
        const AutostartEntry entry(m_full + QStringLiteral("/config/autostart/qor-connect.desktop"));
        QVERIFY(entry.registerEntry());
        const QByteArray before = readBytes(entry.path());
        DiskFiller filler(m_full);
        QVERIFY2(!entry.registerEntry(), "a rewrite the disk refused was reported as done");
        QCOMPARE(readBytes(entry.path()), before);
        QVERIFY(entry.isRegistered());
        filler.release();
        QVERIFY(entry.registerEntry());
    }

    // A FIFO or a folder where a store file should be: start-up does not block on it,
    // the other stores keep their values, the special file is left alone.
    void specialFileInPlaceOfAStore_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("fifo");
        for (const char *target : {"group", "standard", "secrets"}) {
            QTest::newRow(qPrintable(QStringLiteral("%1 is a FIFO").arg(QLatin1String(target)))) << QString::fromLatin1(target) << true;
            QTest::newRow(qPrintable(QStringLiteral("%1 is a folder").arg(QLatin1String(target)))) << QString::fromLatin1(target) << false;
        }
    }

    void specialFileInPlaceOfAStore()
    {
        QFETCH(QString, target);
        QFETCH(bool, fifo);
        QTemporaryDir home(scratch(QStringLiteral("special-XXXXXX")));
        const QString config = home.filePath(QStringLiteral("config"));
        const QString secretsPath = home.filePath(QStringLiteral("data/secrets.json"));
        const QString blocked = target == QLatin1String("group") ? config + QLatin1Char('/') + DefaultsStores::groupFileName()
            : target == QLatin1String("standard")                ? config + QLatin1Char('/') + DefaultsStores::standardFileName()
                                                                 : secretsPath;
        {
            DefaultsStores stores(config);
            FileSecretStore secrets(secretsPath);
            Session(stores.shared(), secrets, m_clock).save(savedSession(QStringLiteral("tok-A"), kCorporateA));
            stores.standard().setBool(QStringLiteral("qor.minimizeToMenuBar"), true);
        }
        QVERIFY(QFile::remove(blocked));
        QVERIFY(fifo ? ::mkfifo(QFile::encodeName(blocked).constData(), 0600) == 0 : QDir().mkdir(blocked));

        QElapsedTimer started;
        started.start();
        {
            DefaultsStores stores(config);
            FileSecretStore secrets(secretsPath);
            Session session(stores.shared(), secrets, m_clock);
            const std::optional<Session::Saved> loaded = session.load();
            QVERIFY(started.elapsed() < 2000);
            QCOMPARE(bool(loaded), target != QLatin1String("group"));
            if (loaded)
                QCOMPARE(loaded->corporateJSON, target == QLatin1String("secrets") ? std::optional<QString>() : std::optional<QString>(kCorporateA));
            QCOMPARE(&stores.shared() == &stores.standard(), target == QLatin1String("group"));
            // Written values stay for this run even where the file is unusable.
            session.save(savedSession(QStringLiteral("tok-B"), kCorporateB));
            stores.standard().setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("10.0.0.1:443"));
            ManualClock::drainEvents();
            QCOMPARE(session.load()->corporateJSON, std::optional<QString>(kCorporateB));
            QCOMPARE(secrets.flush(0ms), target != QLatin1String("secrets"));
        }
        struct stat st {};
        QCOMPARE(::lstat(QFile::encodeName(blocked).constData(), &st), 0);
        QVERIFY(fifo ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode));
    }

    // A read-only file system under the config and data folders (remounted read-only
    // after an error, a read-only home): the stored session still opens, changes live
    // in memory, no file is touched.
    void readOnlyStores()
    {
        REQUIRE_MOUNTS();
        const QString source = faultPath("QOR_FAULT_READONLY_SOURCE") + QStringLiteral("/stores");
        const QString view = faultPath("QOR_FAULT_READONLY") + QStringLiteral("/stores");
        QDir(source).removeRecursively();
        {
            DefaultsStores stores(source + QStringLiteral("/config"));
            FileSecretStore secrets(source + QStringLiteral("/data/secrets.json"));
            Session(stores.shared(), secrets, m_clock).save(savedSession(QStringLiteral("tok-A"), kCorporateA));
            stores.shared().setText(QStringLiteral("settings.connectMode"), QStringLiteral("tavrin"));
        }
        const QByteArray groupBefore = readBytes(source + QStringLiteral("/config/") + DefaultsStores::groupFileName());

        DefaultsStores stores(view + QStringLiteral("/config"));
        FileSecretStore secrets(view + QStringLiteral("/data/secrets.json"));
        Session session(stores.shared(), secrets, m_clock);
        const std::optional<Session::Saved> loaded = session.load();
        QVERIFY2(loaded, "the stored session was not found on a read-only file system");
        QCOMPARE(loaded->sessionToken, std::optional<QString>(QStringLiteral("tok-A")));
        QCOMPARE(loaded->corporateJSON, std::optional<QString>(kCorporateA));
        QCOMPARE(stores.shared().textValue(QStringLiteral("settings.connectMode")), std::optional<QString>(QStringLiteral("tavrin")));

        stores.shared().setText(QStringLiteral("settings.connectMode"), QStringLiteral("main"));
        session.save(savedSession(QStringLiteral("tok-B"), kCorporateB));
        ManualClock::drainEvents();
        QCOMPARE(stores.shared().textValue(QStringLiteral("settings.connectMode")), std::optional<QString>(QStringLiteral("main")));
        QCOMPARE(session.load()->sessionToken, std::optional<QString>(QStringLiteral("tok-B")));
        QVERIFY(!secrets.flush(0ms));
        QCOMPARE(readBytes(view + QStringLiteral("/config/") + DefaultsStores::groupFileName()), groupBefore);
    }

    // No Secret Service on the session bus: the program's own choice of store keeps the
    // corporate record in the private file, and the next process starts signed in with it.
    void signInSurvivesRestartWithoutSecretService()
    {
        QVERIFY(!secretServiceReachable()); // the wrapper's bus offers no keyring
        AccountServer server;
        QVERIFY(server.listen());
        const CliProcess cli = cliFor(server, QStringLiteral("no-keyring"));
        QVERIFY(signIn(server, cli));

        const QString secrets = cli.home() + QStringLiteral("/data/qor-connect/secrets.json");
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(secrets).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QVERIFY(readBytes(secrets).contains("session.corporateJSON"));
        const CliResult status = cli.run({QStringLiteral("status"), QStringLiteral("--json")});
        QVERIFY2(status.exitCode == 0, status.describe());
        QCOMPARE(status.json().value("authStage").toString(), QStringLiteral("loggedIn"));
        QCOMPARE(status.json().value("corporate").toObject().value("company").toString(), QStringLiteral("Acme"));
        QVERIFY(status.json().value("corporateFromStorage").toBool());
    }

    // A keyring that takes the bus name and never answers (a hung daemon, an unlock
    // prompt no one sees): start-up waits at most the read limit, the stored session
    // opens, and neither a status nor a refresh that writes the record hangs at quit.
    void silentKeyringHoldsNothingUp()
    {
        AccountServer server;
        QVERIFY(server.listen());
        const CliProcess cli = cliFor(server, QStringLiteral("silent-keyring"));
        QVERIFY(signIn(server, cli));

        const QString tool = QStandardPaths::findExecutable(QStringLiteral("dbus-test-tool"));
        QVERIFY2(!tool.isEmpty(), "dbus-test-tool missing: run scripts/install-deps (package dbus-tests)");
        QProcess blackHole;
        blackHole.start(tool, {QStringLiteral("black-hole"), QStringLiteral("--session"), QStringLiteral("--name=org.freedesktop.secrets")});
        QVERIFY(blackHole.waitForStarted());
        const auto stopBlackHole = qScopeGuard([&] {
            blackHole.kill();
            blackHole.waitForFinished(3000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(secretServiceReachable(), 5000);
        // What a process may spend on the keyring: one read at start, one wait at quit.
        const qint64 margin = 3000;
        const qint64 readLimit = KeychainSecretStore::kDefaultReadLimit.count();
        const qint64 quitLimit = KeychainSecretStore::kQuitFlushLimit.count();

        QElapsedTimer timer;
        timer.start();
        const CliResult status = cli.run({QStringLiteral("status"), QStringLiteral("--json")}, {}, 20000);
        const qint64 statusMs = timer.elapsed();
        QVERIFY2(status.finished && status.exitCode == 0, status.describe());
        QCOMPARE(status.json().value("authStage").toString(), QStringLiteral("loggedIn"));
        QVERIFY2(statusMs < readLimit + margin, qPrintable(QStringLiteral("status took %1 ms").arg(statusMs)));

        server.setDefault(QStringLiteral("refresh/"), corporateAnswer());
        timer.restart();
        const CliResult refresh = cli.run({QStringLiteral("refresh")}, {}, 30000);
        const qint64 refreshMs = timer.elapsed();
        QVERIFY2(refresh.finished, refresh.describe());
        QVERIFY2(refresh.out.contains(QStringLiteral("Статус обновлён")), refresh.describe());
        QVERIFY2(refreshMs < readLimit + quitLimit + margin, qPrintable(QStringLiteral("refresh took %1 ms").arg(refreshMs)));
        qInfo("silent keyring: status %lld ms, refresh %lld ms", statusMs, refreshMs);
        // The session kept in the defaults store is whole.
        QCOMPARE(cli.run({QStringLiteral("status"), QStringLiteral("--json")}).json().value("authStage").toString(), QStringLiteral("loggedIn"));
    }
};

QTEST_GUILESS_MAIN(TestStorageFaults)
#include "test_storage_faults.moc"
