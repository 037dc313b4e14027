// Runs against a real GNOME Keyring on a private session bus (see the wrapper).
#include "account/secret_store.h"
#include "account/secret_store_file.h"
#include "account/secret_store_keychain.h"
#include "account/session.h"
#include "app_fixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace qor;

namespace {

using Attributes = QMap<QString, QString>;
const QByteArray kCorporate = u"{\"qor\":{\"reason\":\"Доступ по расписанию\"}}"_s.toUtf8();

QDBusMessage callService(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.secrets"_s, u"/org/freedesktop/secrets"_s,
                                                       u"org.freedesktop.Secret.Service"_s, method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
}

// Our service's items in the keyring, locked or not; -1 when the keyring does not answer.
int itemCount(const QString &account = {})
{
    Attributes query{{u"server"_s, secretServiceName()}};
    if (!account.isEmpty())
        query.insert(u"user"_s, account);
    const QDBusMessage reply = callService(u"SearchItems"_s, {QVariant::fromValue(query)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return -1;
    return int(qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0)).size()
               + qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1)).size());
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
        QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.freedesktop.secrets"_s).value());
        QCOMPARE(itemCount(), 0);
        // A reachable Secret Service selects the keychain store.
        QVERIFY(secretServiceReachable());
        QVERIFY(dynamic_cast<KeychainSecretStore *>(openSecretStore().get()));
    }

    void cleanup()
    {
        if (QTest::currentTestFunction() == QByteArrayLiteral("lockedKeyringIsQuiet"))
            return; // nothing can be deleted from a locked keyring
        KeychainSecretStore store;
        for (const QString &account : {Session::kCorporateJSON, u"binary"_s})
            store.remove(account);
        QVERIFY(store.flush(5s));
        QCOMPARE(itemCount(), 0);
    }

    // A fresh store reads back an earlier one's writes: JSON, binary, empty. Session use: test_account_storage.
    void bytesSurviveInTheKeyring()
    {
        for (const QByteArray &data : {kCorporate, QByteArray("\x00\x01\xff secret \x00", 12), QByteArray()}) {
            {
                KeychainSecretStore store;
                store.write(u"binary"_s, data);
                QCOMPARE(store.read(u"binary"_s), std::optional<QByteArray>(data));
            }
            QCOMPARE(itemCount(u"binary"_s), 1);
            QCOMPARE(KeychainSecretStore().read(u"binary"_s), std::optional<QByteArray>(data));
        }
        QVERIFY(!KeychainSecretStore().read(u"session.missing"_s));
    }

    // One item per account, also over a secret-tool text item differing from ours in an attribute.
    void writeLeavesExactlyOneItem()
    {
        QProcess tool;
        tool.start(u"secret-tool"_s, {u"store"_s, u"--label=foreign"_s, u"server"_s, secretServiceName(), u"user"_s,
                                      Session::kCorporateJSON, u"type"_s, u"plaintext"_s});
        QVERIFY(tool.waitForStarted());
        tool.write("old text");
        tool.closeWriteChannel();
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(itemCount(Session::kCorporateJSON), 1);

        KeychainSecretStore store;
        store.write(u"binary"_s, "other");
        for (const QByteArray &data : {kCorporate, kCorporate, QByteArray("second")}) {
            store.write(Session::kCorporateJSON, data);
            QVERIFY(store.flush(5s));
            QCOMPARE(itemCount(Session::kCorporateJSON), 1);
        }
        QCOMPARE(itemCount(), 2);
        QCOMPARE(KeychainSecretStore().read(Session::kCorporateJSON), std::optional<QByteArray>("second"));
        store.remove(Session::kCorporateJSON);
        store.remove(Session::kCorporateJSON); // deleting what is gone is quiet
        QVERIFY(store.flush(5s));
        QCOMPARE(itemCount(Session::kCorporateJSON), 0);
        QVERIFY(!KeychainSecretStore().read(Session::kCorporateJSON));
    }

    // What a run without a keyring left in the file moves into the keyring, unless the keyring's item was written later
    // (or the file's entry tells no time); the file goes once the keyring holds the newer one.
    void fileEntriesMoveIntoTheKeyring()
    {
        const QString file = FileSecretStore::defaultFilePath();
        const struct { const char *name; bool inKeyring; std::optional<int> fileDaysLater; QByteArray kept; } rows[] = {
            {"keyring empty", false, 0, "file"}, {"keyring older", true, 1, "file"},
            {"keyring newer", true, -1, "keyring"}, {"file entry without a time", true, std::nullopt, "keyring"}};
        for (const auto &row : rows) {
            KeychainSecretStore keyring;
            keyring.remove(Session::kCorporateJSON);
            if (row.inKeyring)
                keyring.write(Session::kCorporateJSON, "keyring");
            QVERIFY(keyring.flush(5s));
            FileSecretStore(file).write(Session::kCorporateJSON, "file");
            DefaultsStore(file).setDate(Session::kCorporateJSON + ".savedAt",
                                        row.fileDaysLater ? QDateTime::currentDateTimeUtc().addDays(*row.fileDaysLater) : QDateTime());
            {
                const auto store = openSecretStore();
                QCOMPARE(store->read(Session::kCorporateJSON), row.kept);
                QVERIFY(store->flush(5s));
            }
            QVERIFY2(!QFile::exists(file), row.name);
            QCOMPARE(itemCount(Session::kCorporateJSON), 1);
            QCOMPARE(KeychainSecretStore().read(Session::kCorporateJSON), row.kept);
        }
    }

    // A keyring that answers only after the read limit (its daemon stopped, then continued) still rules: the record a
    // run without a keyring left in the file reaches the keyring and the state late, with its countdown; a connect
    // without the server waits for it, and past that wait the rules count as stale and the connect is refused.
    void slowKeyringStillRulesTheConnect()
    {
        test::AppFixture f;
        f.server.setDefault("refresh/", ScriptedAnswer::raw("", 503, "text/plain"));
        const QString record = u"{\"qor\":{\"session\":{\"until\":\"2026-01-31T11:00:00Z\",\"reason\":\"window\"}}}"_s;
        f.storeSession(u"tok"_s, test::catalogJson({u"10.0.0.1:443"_s}), record); // the fixture's own secrets are not used here
        FileSecretStore().write(Session::kCorporateJSON, record.toUtf8());
        const auto keyring = pid_t(QDBusConnection::sessionBus().interface()->servicePid(u"org.freedesktop.secrets"_s).value());
        QVERIFY(keyring > 0);
        const auto resume = qScopeGuard([&] { ::kill(keyring, SIGCONT); });
        for (const bool answersWithinTheWait : {true, false}) {
            KeychainSecretStore keychain(secretServiceName(), 300ms);
            QCOMPARE(::kill(keyring, SIGSTOP), 0);
            keychain.takeOver(std::make_unique<FileSecretStore>());
            Session session(f.sharedDefaults, keychain, f.clock);
            const AppServices base = f.services();
            auto app = std::make_unique<AppState>(AppServices{f.clock, f.sharedDefaults, f.standardDefaults, session, *f.trace,
                                                              *f.login, f.tunnel, f.reserveTunnel, *f.traffic, *f.extensions,
                                                              *f.tavrinResolver, *f.tavrinHelper, base.openAddress,
                                                              base.probeConnectivity, base.measureLatency, base.latencyConcurrency});
            QVERIFY(app->authStage() == AuthStage::LoggedIn && !app->isCorporate());
            app->connect();
            if (answersWithinTheWait)
                QVERIFY(f.waitFor([&] { return f.traceLines().contains("waiting for the keychain's company rules"); }));
            else
                QVERIFY(f.settle([&] { return app->connectionState() == ConnectionState::Disconnected; }, 15s));
            QCOMPARE(::kill(keyring, SIGCONT), 0);
            QVERIFY(f.waitFor([&] {
                return app->sessionWarning() == "Доступ на сегодня закончен — заканчивается рабочее окно"
                    && app->connectionState() == ConnectionState::Disconnected;
            }));
            QVERIFY(app->corporateFromStorage() && f.profiles.calls().filter(QRegularExpression("^start ")).isEmpty());
            // Within the wait the late record decides; past it the rules were stale.
            QCOMPARE(app->connectionError(), answersWithinTheWait ? std::nullopt : std::optional<QString>(
                "Не удалось получить правила компании. Подключитесь к интернету и попробуйте снова"));
            app.reset();
            QVERIFY(keychain.flush(5s) && !QFile::exists(FileSecretStore::defaultFilePath()));
            QCOMPARE(itemCount(Session::kCorporateJSON), 1);
        }
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

    // Locked (no one answers the prompt): absent values within the read limit, flushes never held up.
    void lockedKeyringIsQuiet()
    {
        {
            KeychainSecretStore store;
            store.write(Session::kCorporateJSON, kCorporate);
            QVERIFY(store.flush(5s));
        }
        const QDBusMessage alias = callService(u"ReadAlias"_s, {u"default"_s});
        QCOMPARE(alias.type(), QDBusMessage::ReplyMessage);
        const QVariant collection = QVariant::fromValue(QList<QDBusObjectPath>{alias.arguments().at(0).value<QDBusObjectPath>()});
        QCOMPARE(callService(u"Lock"_s, {collection}).type(), QDBusMessage::ReplyMessage);

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
