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

#include <sys/stat.h>

using namespace std::chrono_literals;
using namespace qor;

namespace {

mode_t modeOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

const QByteArray kRussianJson = QStringLiteral(R"({"qor":{"reason":"Доступ по расписанию"}})").toUtf8();
const QByteArray kBinary("\x00\x01\xff\xfe secret \x00", 13);

} // namespace

class TestSecretStore : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run through test_secret_store.wrapper.sh");
        m_dir = std::make_unique<QTemporaryDir>(qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath())
                                                + QStringLiteral("/secrets-XXXXXX"));
        QVERIFY(m_dir->isValid());
        // Also when run by hand: the default file store must land in the scratch folder.
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath(QStringLiteral("xdg-data"))));
    }

    void fileStoreKeepsBytesAcrossRestarts_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("binary") << kBinary;
        QTest::newRow("UTF-8 JSON") << kRussianJson;
    }

    void fileStoreKeepsBytesAcrossRestarts()
    {
        QFETCH(QByteArray, data);
        const QString folder = m_dir->filePath(QStringLiteral("data/qor-connect"));
        const QString file = folder + QStringLiteral("/secrets.json");
        {
            FileSecretStore store(file);
            store.write(QStringLiteral("session.corporateJSON"), "replaced");
            store.write(QStringLiteral("session.corporateJSON"), data);
            store.write(QStringLiteral("other"), "x");
            QCOMPARE(store.read(QStringLiteral("session.corporateJSON")), std::optional<QByteArray>(data));
            QVERIFY(store.flush(1s));
        }
        QCOMPARE(modeOf(file), mode_t(0600));
        QCOMPARE(modeOf(folder), mode_t(0700));
        {
            FileSecretStore store(file);
            QCOMPARE(store.read(QStringLiteral("session.corporateJSON")), std::optional<QByteArray>(data));
            store.remove(QStringLiteral("session.corporateJSON"));
        }
        FileSecretStore store(file);
        QVERIFY(!store.read(QStringLiteral("session.corporateJSON")));
        QCOMPARE(store.read(QStringLiteral("other")), std::optional<QByteArray>("x"));
        QVERIFY(QFile::remove(file));
    }

    void fileStoreTreatsDamagedEntriesAsAbsent()
    {
        const QString file = m_dir->filePath(QStringLiteral("damaged.json"));
        {
            DefaultsStore raw(file);
            raw.setText(QStringLiteral("bad"), QStringLiteral("not base64 ***"));
            raw.setBool(QStringLiteral("kind"), true);
        }
        FileSecretStore store(file);
        QVERIFY(!store.read(QStringLiteral("bad")));
        QVERIFY(!store.read(QStringLiteral("kind")));
        QVERIFY(!store.read(QStringLiteral("missing")));
    }

    void withoutSecretServiceTheFileStoreIsUsed()
    {
        QVERIFY(!secretServiceReachable());
        std::unique_ptr<SecretStore> store = openSecretStore();
        auto *file = dynamic_cast<FileSecretStore *>(store.get());
        QVERIFY(file);
        QCOMPARE(file->filePath(), m_dir->filePath(QStringLiteral("xdg-data/qor-connect/secrets.json")));
        store->write(QStringLiteral("session.corporateJSON"), kRussianJson);
        QVERIFY(store->flush(1s));
        QCOMPARE(FileSecretStore().read(QStringLiteral("session.corporateJSON")), std::optional<QByteArray>(kRussianJson));
    }

    void withSecretServiceTheKeychainIsUsed()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.secrets")));
        const bool reachable = secretServiceReachable();
        std::unique_ptr<SecretStore> store = openSecretStore();
        QVERIFY(bus.unregisterService(QStringLiteral("org.freedesktop.secrets")));
        QVERIFY(reachable);
        auto *keychain = dynamic_cast<KeychainSecretStore *>(store.get());
        QVERIFY(keychain);
        QCOMPARE(keychain->service(), QStringLiteral("com.qorvpn.connect.secure"));
        QVERIFY(keychain->isIdle());
    }

    // No Secret Service at all: reads answer "absent" promptly, writes are queued
    // without running the event loop inside the caller, and this run still reads
    // back what it wrote.
    void keychainWithoutServiceIsQuiet()
    {
        KeychainSecretStore store(secretServiceName(), 5s);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!store.read(QStringLiteral("session.corporateJSON")));
        QVERIFY2(timer.elapsed() < 4000, "a missing service must answer, not run into the limit");

        bool posted = false;
        QTimer::singleShot(0, this, [&] { posted = true; });
        store.write(QStringLiteral("session.corporateJSON"), kRussianJson);
        store.write(QStringLiteral("session.corporateJSON"), kBinary);
        QVERIFY2(!posted, "write() ran the event loop");
        QVERIFY(!store.isIdle());
        QCOMPARE(store.read(QStringLiteral("session.corporateJSON")), std::optional<QByteArray>(kBinary));

        QVERIFY(store.flush(5s)); // the failing jobs finish quickly
        QVERIFY(store.isIdle());
        QCOMPARE(store.read(QStringLiteral("session.corporateJSON")), std::optional<QByteArray>(kBinary));
        store.remove(QStringLiteral("session.corporateJSON"));
        QVERIFY(!store.read(QStringLiteral("session.corporateJSON")));
        QVERIFY(store.flush(5s));
    }

    // A keyring that never answers (hung daemon, unanswered unlock prompt): a read gives
    // up at its limit, a flush at its own, and the queue drains once the service is gone.
    void keychainSilentServiceDoesNotHang()
    {
        const QString tool = QStandardPaths::findExecutable(QStringLiteral("dbus-test-tool"));
        QVERIFY2(!tool.isEmpty(), "dbus-test-tool missing: run scripts/install-deps (package dbus-tests)");
        QProcess blackHole;
        blackHole.start(tool, {QStringLiteral("black-hole"), QStringLiteral("--session"),
                               QStringLiteral("--name=org.freedesktop.secrets")});
        QVERIFY(blackHole.waitForStarted());
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        QTRY_VERIFY_WITH_TIMEOUT(bus->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value(), 5000);

        KeychainSecretStore store(secretServiceName(), 300ms);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!store.read(QStringLiteral("session.corporateJSON")));
        QVERIFY(timer.elapsed() >= 250);
        QVERIFY(timer.elapsed() < 3000);

        store.write(QStringLiteral("session.corporateJSON"), kRussianJson);
        timer.restart();
        QVERIFY(!store.flush(300ms));
        QVERIFY(timer.elapsed() < 3000);
        QCOMPARE(store.read(QStringLiteral("session.corporateJSON")), std::optional<QByteArray>(kRussianJson));

        blackHole.kill();
        QVERIFY(blackHole.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(store.isIdle(), 10000);
    }
};

QTEST_GUILESS_MAIN(TestSecretStore)
#include "test_secret_store.moc"
