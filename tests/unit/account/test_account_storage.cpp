// What the account keeps across restarts: defaults stores, the session in them, secret stores. Private bus, no services (the wrapper).
#include "account/defaults_store.h"
#include "account/secret_store.h"
#include "account/secret_store_file.h"
#include "account/secret_store_keychain.h"
#include "account/secret_store_lazy.h"
#include "memory_secret_store.h"
#include "account/session.h"
#include "manual_clock.h"

#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

using namespace std::chrono_literals;
using namespace qor;

namespace {

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
}

QJsonObject valuesOnDisk(const QString &path) { return QJsonDocument::fromJson(readBytes(path)).object().value("values").toObject(); }
std::optional<QString> text(const QString &file, const QString &key) { return DefaultsStore(file).textValue(key); }

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

const QDateTime kDate(QDate(2026, 1, 31), QTime(12, 34, 56, 789), Qt::UTC);

const QString kCorporate = QStringLiteral(R"({"qor":{"access_until":"2026-02-01T18:00:00Z","reason":"schedule"}})");

Session::Saved signIn()
{
    return {"ivan", "data:image/png;base64,iVBORw0KGgo=", "https://example.com/sub/abc",
            R"([{"server":"Резерв 1","host":"192.0.2.10","conf":"[Interface]"}])", R"([{"name":"Qor AI Network","config":{}}])",
            "tavrin-key", "token-1", kCorporate, {}};
}

const QByteArray kBinary("\x00\x01\xff\xfe secret \x00", 13);
const QString kAccount = QStringLiteral("session.corporateJSON");

} // namespace

class TestAccountStorage : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_defaults;
    std::unique_ptr<MemorySecretStore> m_secrets;
    std::unique_ptr<ManualClock> m_clock;
    std::unique_ptr<Session> m_session;
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QStringList entries(const QString &filter = "*") const
    {
        return QDir(m_dir->path()).entryList({filter}, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run through test_account_storage.wrapper.sh"); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>(qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath()) + "/storage-XXXXXX");
        QVERIFY(m_dir->isValid());
        m_defaults = std::make_unique<DefaultsStore>();
        m_secrets = std::make_unique<MemorySecretStore>();
        m_clock = std::make_unique<ManualClock>();
        m_session = std::make_unique<Session>(*m_defaults, *m_secrets, *m_clock);
    }

    // Each typed read answers only for its own kind ("true" as text is no boolean), in memory and from the file.
    void kindsAreDistinct()
    {
        for (const QString &file : {QString(), path("kinds.json")}) {
            auto store = std::make_unique<DefaultsStore>(file);
            QVERIFY(store->isOpen() && store->filePath() == file);
            store->setBool("b", false);
            store->setText("t", "true");
            store->setDate("d", kDate.toOffsetFromUtc(3 * 3600));
            store->setText("k", "a");
            store->setBool("k", true); // a new kind replaces the old one
            store->setDate("gone", kDate);
            store->setDate("gone", QDateTime());
            if (!file.isEmpty()) {
                store.reset(); // the destructor writes, a new store reads the file
                store = std::make_unique<DefaultsStore>(file);
            }
            QVERIFY(store->boolValue("b") == false && store->textValue("t") == "true" && store->boolValue("k") == true);
            QCOMPARE(store->dateValue("d"), kDate);
            QCOMPARE(store->dateValue("d").value_or(QDateTime()).timeSpec(), Qt::UTC);
            QVERIFY(!store->textValue("b") && !store->dateValue("b") && !store->boolValue("t") && !store->dateValue("t"));
            QVERIFY(!store->boolValue("d") && !store->textValue("d") && !store->textValue("k") && !store->contains("gone"));
        }
    }

    // A sign-in's nine keys make one write on the next loop turn, to a file that is private from its first byte
    // whatever the umask, and replaced whole, so a reader of the old one never sees half of the new one.
    void writesAreCoalescedPrivateAndAtomic()
    {
        const mode_t oldMask = ::umask(0);
        const QString folder = path("a/b/qor-connect"), file = folder + "/store.json";
        auto store = std::make_unique<DefaultsStore>(file);
        for (int i = 0; i < 9; ++i)
            store->setText(QStringLiteral("session.key%1").arg(i), QString::number(i));
        QVERIFY(store->writeCount() == 0 && !QFile::exists(file));
        QCoreApplication::processEvents();
        QCOMPARE(store->writeCount(), 1);
        QVERIFY(valuesOnDisk(file).size() == 9 && valuesOnDisk(file).value("session.key8")["value"] == "8");
        QVERIFY(modeOf(folder) == 0700 && modeOf(file) == 0600);

        // Assigning what is already stored writes nothing; a real change writes once more.
        const QByteArray before = readBytes(file);
        QFile reader(file);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        store->setText("session.key3", "3");
        QCoreApplication::processEvents();
        QCOMPARE(store->writeCount(), 1);
        store->remove("session.key3");
        store->sync(); // at once, without the event loop
        QVERIFY(store->writeCount() == 2 && !valuesOnDisk(file).contains("session.key3"));
        QCOMPARE(reader.readAll(), before);
        QCoreApplication::processEvents(); // the queued flush finds nothing left to write
        QCOMPARE(store->writeCount(), 2);

        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup));
        store->setText("session.sessionToken", "u");
        store.reset(); // the destructor writes what is pending
        ::umask(oldMask);
        QVERIFY(modeOf(file) == 0600 && text(file, "session.sessionToken") == "u");
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"store.json"});
    }

    // Never destroy what the user had: an unreadable file is moved aside intact, each under its own name.
    // (The group store's fallback: test_storage_faults; the folder's mode: test_secret_files_private.)
    void writesKeepWhatWasThere()
    {
        DefaultsStores stores(m_dir->path());
        const QString file = stores.shared().filePath();
        QCOMPARE(file, path("Q7PZD2M4RT.group.com.qorvpn.connect.json"));
        QCOMPARE(stores.standard().filePath(), path("com.qorvpn.connect.json"));
        const QByteArrayList invalid{"{\"values\": {\"settings.appearance\": ", "[{\"values\": {}}]", "{\"format\": 1, \"values\": [true]}"};
        for (const QByteArray &bytes : invalid) {
            writeBytes(file, bytes);
            DefaultsStore store(file);
            QVERIFY2(store.isOpen() && !store.contains("settings.appearance") && !QFile::exists(file), bytes.constData());
            store.setText("settings.appearance", "dark");
            store.sync();
            QCOMPARE(text(file, "settings.appearance"), "dark");
        }
        QByteArrayList aside;
        for (const QString &name : entries(DefaultsStores::groupFileName() + ".corrupt-*")) {
            QVERIFY2(QRegularExpression("\\.corrupt-\\d{8}T\\d{6}Z(-\\d)?$").match(name).hasMatch(), qPrintable(name));
            aside.append(readBytes(path(name)));
        }
        QCOMPARE(QSet(aside.begin(), aside.end()), QSet(invalid.begin(), invalid.end()));

        // Entries of another version, and keys another process (the command line) wrote meanwhile, survive a write.
        const QString shared = path("shared.json");
        const QJsonObject foreign = QJsonDocument::fromJson(R"({"blob": {"type": "data", "value": "AAE="}, "number": 42,
            "mistyped": {"type": "boolean", "value": "yes"}, "settings.appearance": {"type": "text", "value": "x"}})").object();
        writeBytes(shared, QJsonDocument(QJsonObject{{"format", 1}, {"values", foreign}}).toJson());
        DefaultsStore mine(shared);
        QVERIFY(mine.contains("blob") && !mine.textValue("blob") && !mine.boolValue("mistyped") && !mine.textValue("number"));
        QVERIFY(mine.textValue("settings.appearance") == "x");
        DefaultsStore(shared).setText("settings.connectMode", "tavrin");
        mine.setText("settings.appearance", "dark");
        mine.sync();
        QJsonObject merged = foreign;
        merged.insert("settings.connectMode", QJsonObject{{"type", "text"}, {"value", "tavrin"}});
        merged.insert("settings.appearance", QJsonObject{{"type", "text"}, {"value", "dark"}});
        QCOMPARE(valuesOnDisk(shared), merged);
        QCOMPARE(mine.textValue("settings.connectMode"), "tavrin");
    }

    // A path whose folder cannot be made is never touched; the store answers from memory. Works as root too.
    // (A folder in place of the file: test_storage_faults' specialFileInPlaceOfAStore.)
    void unusableFileIsNeverTouched()
    {
        writeBytes(path("config"), "keep me");
        for (const char *relative : {"config/store.json", "config/qor-connect/store.json"}) {
            DefaultsStore store(path(relative));
            QVERIFY2(!store.isOpen(), relative);
            store.setBool("settings.liquidGlass", true);
            store.sync();
            QVERIFY2(store.boolValue("settings.liquidGlass") == true && store.writeCount() == 0, relative);
        }
        QVERIFY(entries() == QStringList{"config"} && readBytes(path("config")) == "keep me");
    }

    // A record is stamped by the clock and kept as one item; without one, or one with no UTF-8 form, both go.
    void sessionSaveAndLoad()
    {
        Session::Saved values = signIn(), expected = signIn();
        values.corporateSavedAt = QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC); // the clock stamps, not the caller
        m_session->save(values);
        // An absent token leaves the stored one; any given token, even empty, replaces it.
        for (const auto &[corporate, token] : QList<std::pair<QString, std::optional<QString>>>{
                 {kCorporate, std::nullopt}, {R"({"qor":{"reason":"changed"}})", "token-2"}, {kCorporate, ""}}) {
            m_clock->advance(90s);
            values.corporateJSON = expected.corporateJSON = corporate;
            values.sessionToken = token;
            expected.sessionToken = token.value_or(*expected.sessionToken);
            expected.corporateSavedAt = m_clock->now();
            m_session->save(values);
            QCOMPARE(m_secrets->itemCount(), 1);
            QCOMPARE(m_session->load(), expected);
        }

        for (std::optional<QString> *text : {&values.avatarDataURI, &values.awgConfigsJSON, &values.tavrinKey})
            text->reset();
        m_session->save(values);
        for (const QString &key : {Session::kAvatarDataURI, Session::kAwgConfigsJSON, Session::kTavrinKey})
            QVERIFY2(!m_defaults->contains(key), qPrintable(key));

        const QString unencodable = "{\"qor\":\"" + QString(QChar(0xD800)) + "\"}";
        for (const std::optional<QString> &corporate : {std::optional<QString>(), std::optional(unencodable)}) {
            m_session->save(signIn());
            values.corporateJSON = corporate;
            m_session->save(values);
            QVERIFY(m_secrets->itemCount() == 0 && !m_defaults->contains(Session::kCorporateSavedAt));
            QVERIFY(!m_session->load()->corporateJSON && !m_session->load()->corporateSavedAt);
        }

        // Failures never surface: what cannot be read is absent, and the rest still loads.
        const struct { const char *name; QByteArray secret; bool keyringAvailable = true, dateAsText = false; } rows[] = {
            {"invalid UTF-8", "{\"qor\":\"\xff\xfe\"}"}, {"truncated UTF-8", "{\"reason\":\"\xd0"},
            {"keyring locked", kCorporate.toUtf8(), false}, {"date stored as text", kCorporate.toUtf8(), true, true}};
        for (const auto &row : rows) {
            init();
            m_session->save(signIn());
            m_secrets->write(Session::kCorporateJSON, row.secret);
            if (row.dateAsText)
                m_defaults->setText(Session::kCorporateSavedAt, m_clock->now().toString(Qt::ISODate));
            m_secrets->setAvailable(row.keyringAvailable);
            Session::Saved rest = signIn();
            rest.corporateJSON = row.dateAsText ? std::optional(kCorporate) : std::nullopt;
            rest.corporateSavedAt = row.dateAsText ? std::nullopt : std::optional(m_clock->now());
            QVERIFY2(m_session->load() == rest, row.name);
        }
    }

    // The keyring is asked for nothing until a secret is: a start without a stored session never opens it,
    // and a late answer reaches the listener set before the store opened.
    void keyringOpensOnFirstSecret()
    {
        int opened = 0;
        MemorySecretStore *inner = nullptr;
        LazySecretStore lazy([&] {
            ++opened;
            auto store = std::make_unique<MemorySecretStore>();
            inner = store.get();
            return store;
        });
        Session session(*m_defaults, lazy, *m_clock);
        std::optional<QString> late;
        session.onLateCorporate([&](const std::optional<QString> &json) { late = json; });
        QVERIFY(!session.load() && lazy.flush(0ms) && !lazy.answerPending(Session::kCorporateJSON));
        QCOMPARE(opened, 0);

        Session::Saved values = signIn();
        values.corporateJSON = kCorporate;
        session.save(values);
        QCOMPARE(session.load()->corporateJSON, kCorporate);
        QCOMPARE(opened, 1);
        inner->onLateAnswer(Session::kCorporateJSON, QByteArray("{}"));
        QCOMPARE(late, QString("{}"));
    }

    // Clear leaves settings and the selected node alone; then the subscription address alone, even empty, marks a stored session again.
    void clearKeepsSettingsAndSelectedNode()
    {
        DefaultsStore shared(path("shared.json"));
        Session session(shared, *m_secrets, *m_clock);
        shared.setText("settings.connectMode", "tavrin");
        shared.setText("session.selectedNodeEndpoint", "198.51.100.7:443");
        session.save(signIn());
        session.clear();
        shared.sync();
        QCOMPARE(valuesOnDisk(path("shared.json")).keys(), (QStringList{"session.selectedNodeEndpoint", "settings.connectMode"}));
        QCOMPARE(m_secrets->itemCount(), 0);

        shared.setText(Session::kUsername, "ivan");
        shared.setText(Session::kSessionToken, "token");
        m_secrets->write(Session::kCorporateJSON, kCorporate.toUtf8());
        QVERIFY(!session.load());
        shared.setText(Session::kSubscriptionURL, QString());
        QVERIFY(session.load() && session.load()->subscriptionURL == "" && session.load()->username == "ivan");
    }

    // Bytes of any kind survive a restart; damaged entries read as absent (modes: test_secret_files_private).
    void fileStoreKeepsBytesAcrossRestarts()
    {
        const QString file = m_dir->filePath("data/qor-connect/secrets.json");
        for (const QByteArray &data : {QByteArray(), kBinary}) {
            FileSecretStore store(file);
            store.write(kAccount, "replaced");
            store.write(kAccount, data);
            store.write("other", "x");
            QCOMPARE(store.read(kAccount), data);
            QVERIFY(store.flush(1s)); // written now: later stores see it
            QCOMPARE(FileSecretStore(file).read(kAccount), data);
            FileSecretStore(file).remove(kAccount);
            QVERIFY(!FileSecretStore(file).read(kAccount));
            QCOMPARE(FileSecretStore(file).read("other"), "x");
        }
        DefaultsStore raw(file);
        raw.setText("bad", "not base64 ***");
        raw.setBool("kind", true);
        raw.sync();
        for (const char *account : {"bad", "kind", "missing"})
            QVERIFY2(!FileSecretStore(file).read(account), account);
    }

    // No Secret Service: reads answer at once, writes queue without running the caller's event loop. Then a
    // keyring that never answers (hung daemon, unseen unlock prompt) holds nothing up past its limits.
    void keychainFaultsHoldNothingUp()
    {
        KeychainSecretStore store(secretServiceName(), 5s);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!store.read(kAccount));
        QVERIFY2(timer.elapsed() < 4000, "a missing service must answer, not run into the limit");
        bool posted = false;
        QTimer::singleShot(0, this, [&] { posted = true; });
        store.write(kAccount, kCorporate.toUtf8());
        store.write(kAccount, kBinary);
        QVERIFY2(!posted && !store.isIdle(), "write() ran the event loop");
        QVERIFY(store.flush(5s) && store.isIdle()); // the failing jobs finish quickly
        QCOMPARE(store.read(kAccount), kBinary);
        store.remove(kAccount);
        QVERIFY(!store.read(kAccount));
        QVERIFY(store.flush(5s));

        const QString tool = QStandardPaths::findExecutable("dbus-test-tool");
        QVERIFY2(!tool.isEmpty(), "dbus-test-tool missing: run scripts/install-deps (package dbus-tests)");
        QProcess blackHole; // its destructor ends it should a check fail
        blackHole.start(tool, {"black-hole", "--session", "--name=org.freedesktop.secrets"});
        QVERIFY(blackHole.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(secretServiceReachable(), 5000);
        KeychainSecretStore silent(secretServiceName(), 300ms);
        timer.restart();
        QVERIFY(!silent.read(kAccount));
        QVERIFY(timer.elapsed() >= 250 && timer.elapsed() < 3000);
        silent.write(kAccount, kCorporate.toUtf8());
        timer.restart();
        QVERIFY(!silent.flush(300ms) && timer.elapsed() < 3000);
        QCOMPARE(silent.read(kAccount), kCorporate.toUtf8());
        blackHole.kill();
        QVERIFY(blackHole.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(silent.isIdle(), 10000);
    }
};

QTEST_GUILESS_MAIN(TestAccountStorage)
#include "test_account_storage.moc"
