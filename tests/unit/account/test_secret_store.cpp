// Runs on a private session bus without services (see the wrapper beside this file).
#include "account/defaults_store.h"
#include "account/secret_store.h"
#include "account/secret_store_file.h"
#include "account/secret_store_keychain.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using namespace qor;

namespace {

const QByteArray kRussianJson = QStringLiteral(R"({"qor":{"reason":"Доступ по расписанию"}})").toUtf8();
const QByteArray kBinary("\x00\x01\xff\xfe secret \x00", 13);
const QString kAccount = QStringLiteral("session.corporateJSON");

} // namespace

class TestSecretStore : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run through test_secret_store.wrapper.sh");
        m_dir = std::make_unique<QTemporaryDir>(qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath()) + "/secrets-XXXXXX");
        QVERIFY(m_dir->isValid());
        // Also when run by hand: the default file store must land in the scratch folder.
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath("xdg-data")));
    }

    // Bytes of any kind survive a restart (the file's modes: test_secret_files_private);
    // entries that are not base64 text (damaged, or of another kind) read as absent.
    void fileStoreKeepsBytesAcrossRestarts()
    {
        const QString file = m_dir->filePath("data/qor-connect/secrets.json");
        for (const QByteArray &data : {QByteArray(), kBinary, kRussianJson}) {
            {
                FileSecretStore store(file);
                store.write(kAccount, "replaced");
                store.write(kAccount, data);
                store.write("other", "x");
                QCOMPARE(store.read(kAccount), data);
                QVERIFY(store.flush(1s));
            }
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

    void withoutSecretServiceTheFileStoreIsUsed()
    {
        QVERIFY(!secretServiceReachable());
        std::unique_ptr<SecretStore> store = openSecretStore();
        auto *file = dynamic_cast<FileSecretStore *>(store.get());
        QCOMPARE(file ? file->filePath() : QString(), m_dir->filePath("xdg-data/qor-connect/secrets.json"));
        store->write(kAccount, kRussianJson);
        QVERIFY(store->flush(1s));
        QCOMPARE(FileSecretStore().read(kAccount), kRussianJson);
    }

    // No Secret Service at all: reads answer "absent" promptly, writes are queued
    // without running the event loop inside the caller, and this run still reads
    // back what it wrote.
    void keychainWithoutServiceIsQuiet()
    {
        KeychainSecretStore store(secretServiceName(), 5s);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!store.read(kAccount));
        QVERIFY2(timer.elapsed() < 4000, "a missing service must answer, not run into the limit");

        bool posted = false;
        QTimer::singleShot(0, this, [&] { posted = true; });
        store.write(kAccount, kRussianJson);
        store.write(kAccount, kBinary);
        QVERIFY2(!posted && !store.isIdle(), "write() ran the event loop");
        QCOMPARE(store.read(kAccount), kBinary);
        QVERIFY(store.flush(5s) && store.isIdle()); // the failing jobs finish quickly
        QCOMPARE(store.read(kAccount), kBinary);
        store.remove(kAccount);
        QVERIFY(!store.read(kAccount));
        QVERIFY(store.flush(5s));
    }

    // A keyring that never answers (hung daemon, unanswered unlock prompt): a read gives
    // up at its limit, a flush at its own, and the queue drains once the service is gone.
    void keychainSilentServiceDoesNotHang()
    {
        const QString tool = QStandardPaths::findExecutable("dbus-test-tool");
        QVERIFY2(!tool.isEmpty(), "dbus-test-tool missing: run scripts/install-deps (package dbus-tests)");
        QProcess blackHole;
        blackHole.start(tool, {"black-hole", "--session", "--name=org.freedesktop.secrets"});
        QVERIFY(blackHole.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.secrets").value(), 5000);

        KeychainSecretStore store(secretServiceName(), 300ms);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!store.read(kAccount));
        QVERIFY(timer.elapsed() >= 250 && timer.elapsed() < 3000);

        store.write(kAccount, kRussianJson);
        timer.restart();
        QVERIFY(!store.flush(300ms) && timer.elapsed() < 3000);
        QCOMPARE(store.read(kAccount), kRussianJson);

        blackHole.kill();
        QVERIFY(blackHole.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(store.isIdle(), 10000);
    }
};

QTEST_GUILESS_MAIN(TestSecretStore)
#include "test_secret_store.moc"
