// Runs against a real GNOME Keyring on a private session bus (see the wrapper).
#include "account/defaults_store.h"
#include "account/secret_store.h"
#include "account/secret_store_keychain.h"
#include "account/session.h"
#include "manual_clock.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using namespace qor;

namespace {

using Attributes = QMap<QString, QString>;

const QString kSecrets = QStringLiteral("org.freedesktop.secrets");
const QString kServicePath = QStringLiteral("/org/freedesktop/secrets");
const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QByteArray kCorporate = QStringLiteral(R"({"qor":{"reason":"Доступ по расписанию"}})").toUtf8();
const QByteArray kBinary("\x00\x01\xff secret \x00", 12);

QDBusMessage callService(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kSecrets, kServicePath, kServiceInterface, method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
}

QList<QDBusObjectPath> paths(const QVariant &arg)
{
    return qdbus_cast<QList<QDBusObjectPath>>(arg);
}

// Items of our service in the keyring, locked or not, whatever the account; -1 when
// the keyring does not answer.
int itemCount(const QString &account = {})
{
    Attributes query{{QStringLiteral("server"), secretServiceName()}};
    if (!account.isEmpty())
        query.insert(QStringLiteral("user"), account);
    const QDBusMessage reply = callService(QStringLiteral("SearchItems"), {QVariant::fromValue(query)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return -1;
    return int(paths(reply.arguments().at(0)).size() + paths(reply.arguments().at(1)).size());
}

} // namespace

class TestKeychainStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Refuse to run on a real desktop session: the user's keyring must stay untouched.
        QVERIFY2(!qEnvironmentVariable("QOR_KEYRING_SANDBOX").isEmpty(), "run through test_keychain_store.wrapper.sh");
        qDBusRegisterMetaType<Attributes>();
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kSecrets).value());
        QCOMPARE(itemCount(), 0);
    }

    void cleanup()
    {
        if (QTest::currentTestFunction() == QByteArrayLiteral("lockedKeyringIsQuiet"))
            return; // nothing can be deleted from a locked keyring
        KeychainSecretStore store;
        for (const QString &account : {Session::kCorporateJSON, QStringLiteral("binary")})
            store.remove(account);
        QVERIFY(store.flush(5s));
        QCOMPARE(itemCount(), 0);
    }

    void secretServiceSelectsTheKeychain()
    {
        QVERIFY(secretServiceReachable());
        const std::unique_ptr<SecretStore> store = openSecretStore();
        QVERIFY(dynamic_cast<KeychainSecretStore *>(store.get()));
    }

    void bytesSurviveInTheKeyring_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("UTF-8 JSON") << kCorporate;
        QTest::newRow("binary") << kBinary;
        QTest::newRow("empty") << QByteArray();
    }

    // What one run wrote, a later run (a fresh store with no memory of it) reads back.
    void bytesSurviveInTheKeyring()
    {
        QFETCH(QByteArray, data);
        {
            KeychainSecretStore store;
            store.write(QStringLiteral("binary"), data);
            QCOMPARE(store.read(QStringLiteral("binary")), std::optional<QByteArray>(data));
            QVERIFY(store.flush(5s));
        }
        QCOMPARE(itemCount(QStringLiteral("binary")), 1);
        KeychainSecretStore later;
        QCOMPARE(later.read(QStringLiteral("binary")), std::optional<QByteArray>(data));
        QVERIFY(!later.read(QStringLiteral("session.missing")));
    }

    // Writes replace: one item per account, also when another program left an item
    // that differs from ours in an attribute (a text item stored by secret-tool).
    void writeLeavesExactlyOneItem()
    {
        QProcess tool;
        tool.start(QStringLiteral("secret-tool"),
                   {QStringLiteral("store"), QStringLiteral("--label=foreign"), QStringLiteral("server"),
                    secretServiceName(), QStringLiteral("user"), Session::kCorporateJSON, QStringLiteral("type"),
                    QStringLiteral("plaintext")});
        QVERIFY(tool.waitForStarted());
        tool.write("old text");
        tool.closeWriteChannel();
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(itemCount(Session::kCorporateJSON), 1);

        KeychainSecretStore store;
        store.write(Session::kCorporateJSON, kCorporate);
        store.write(QStringLiteral("binary"), kBinary);
        QVERIFY(store.flush(5s));
        QCOMPARE(itemCount(Session::kCorporateJSON), 1);
        store.write(Session::kCorporateJSON, kCorporate);
        QVERIFY(store.flush(5s));
        store.write(Session::kCorporateJSON, "second");
        QVERIFY(store.flush(5s));
        QCOMPARE(itemCount(Session::kCorporateJSON), 1);
        QCOMPARE(itemCount(), 2);
        QCOMPARE(KeychainSecretStore().read(Session::kCorporateJSON), std::optional<QByteArray>("second"));

        store.remove(Session::kCorporateJSON);
        store.remove(Session::kCorporateJSON); // deleting what is gone is quiet
        QVERIFY(store.flush(5s));
        QCOMPARE(itemCount(Session::kCorporateJSON), 0);
        QVERIFY(!KeychainSecretStore().read(Session::kCorporateJSON));
    }

    // The session store against the real keyring: the same corporate text saved twice
    // is one item; a save without it deletes the item; clear leaves no session.
    void sessionKeepsOneCorporateItem()
    {
        ManualClock clock;
        DefaultsStore defaults;
        Session::Saved values;
        values.subscriptionURL = QStringLiteral("https://example.com/sub/abc");
        values.sessionToken = QStringLiteral("token");
        values.corporateJSON = QString::fromUtf8(kCorporate);
        {
            KeychainSecretStore secrets;
            Session session(defaults, secrets, clock);
            session.save(values);
            clock.advance(1s);
            session.save(values);
        } // the store completes its writes before it goes
        QCOMPARE(itemCount(Session::kCorporateJSON), 1);

        KeychainSecretStore secrets; // a new run
        Session session(defaults, secrets, clock);
        std::optional<Session::Saved> loaded = session.load();
        QVERIFY(loaded);
        QCOMPARE(loaded->corporateJSON, values.corporateJSON);
        QCOMPARE(loaded->corporateSavedAt, std::optional<QDateTime>(clock.now()));

        Session::Saved personal = values;
        personal.corporateJSON.reset();
        session.save(personal);
        QVERIFY(secrets.flush(5s));
        QCOMPARE(itemCount(Session::kCorporateJSON), 0);

        session.save(values);
        session.clear();
        QVERIFY(!session.load());
        QVERIFY(secrets.flush(5s));
        QCOMPARE(itemCount(), 0);
        KeychainSecretStore nextRun;
        QVERIFY(!Session(defaults, nextRun, clock).load());
    }

    // A write queued just before the application quits still reaches the keyring.
    void pendingWriteCompletesAtQuit()
    {
        KeychainSecretStore store;
        QTimer::singleShot(0, &store, [&] {
            store.write(Session::kCorporateJSON, kCorporate);
            QCoreApplication::quit();
        });
        QCoreApplication::exec();
        QVERIFY(store.isIdle());
        QCOMPARE(itemCount(Session::kCorporateJSON), 1);
    }

    // A locked keyring (no one to answer the unlock prompt here) gives absent values
    // within the read limit and never blocks a flush beyond its own.
    void lockedKeyringIsQuiet()
    {
        {
            KeychainSecretStore store;
            store.write(Session::kCorporateJSON, kCorporate);
            QVERIFY(store.flush(5s));
        }
        const QDBusMessage alias = callService(QStringLiteral("ReadAlias"), {QStringLiteral("default")});
        QCOMPARE(alias.type(), QDBusMessage::ReplyMessage);
        const QDBusObjectPath collection = alias.arguments().at(0).value<QDBusObjectPath>();
        const QDBusMessage lock = callService(QStringLiteral("Lock"), {QVariant::fromValue(QList<QDBusObjectPath>{collection})});
        QCOMPARE(lock.type(), QDBusMessage::ReplyMessage);

        KeychainSecretStore store(secretServiceName(), 1500ms);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!store.read(Session::kCorporateJSON));
        QVERIFY(timer.elapsed() < 5000);

        store.write(Session::kCorporateJSON, "while locked");
        timer.restart();
        store.flush(1500ms);
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(store.read(Session::kCorporateJSON), std::optional<QByteArray>("while locked"));
    }
};

QTEST_GUILESS_MAIN(TestKeychainStore)
#include "test_keychain_store.moc"
