#include "runtime/error.h"
#include "tunnel/tavrin_helper.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QTimer>


using namespace qor;

namespace {

constexpr int processLimitMs = 30000;

QString scratch()
{
    return qEnvironmentVariable("QOR_TEST_SCRATCH");
}

QJsonObject readRecord(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path);
}

QString buildBundle()
{
    return qEnvironmentVariable("QOR_BUILD_DIR") + QStringLiteral("/bundle");
}

// A bundle of our own whose kvb-client is the given file (or absent).
QString customBundle(const QString &name, const QByteArray &content, QFile::Permissions permissions)
{
    const QString root = scratch() + "/bundles/" + name;
    QDir(root).removeRecursively();
    QDir().mkpath(root + "/Contents/Resources");
    if (!content.isNull()) {
        QFile f(root + "/Contents/Resources/kvb-client");
        f.open(QIODevice::WriteOnly);
        f.write(content);
        f.close();
        f.setPermissions(permissions);
    }
    return root;
}

// Run in a child copy of this test: an application that starts the client and
// quits through its event loop, as the real one does.
int quitScenario(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TavrinHelper helper;
    helper.start(QStringLiteral("quit-key"), QStringLiteral("192.0.2.41:8443@k@h"));
    // Quit once the client is up and has said so.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (QFileInfo::exists(qEnvironmentVariable("QOR_KVB_RECORD")))
            app.quit();
    });
    poll.start(10);
    return app.exec();
}

} // namespace

class TestTavrinHelper : public QObject {
    Q_OBJECT

    QString record;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!qEnvironmentVariable("QOR_BUILD_DIR").isEmpty());
        QVERIFY(QFileInfo(buildBundle() + "/Contents/Resources/kvb-client").isExecutable());
    }

    void init()
    {
        qputenv("QOR_BUNDLE_DIR", buildBundle().toUtf8());
        record = scratch() + "/kvb-record.json";
        QFile::remove(record);
        qputenv("QOR_KVB_RECORD", record.toUtf8());
        QDir(QFileInfo(TavrinHelper::keyFileLocation()).absolutePath()).removeRecursively();
    }

    void startsClientWithPrivateKeyAndExactCommandLine()
    {
        TavrinHelper helper;
        helper.start(QStringLiteral("  \n s3cr3t-key \t\n"), QStringLiteral("192.0.2.41:8443@pub@host,198.51.100.42:8443@p2@h2"));
        QVERIFY(helper.isRunning());
        const QString keyFile = TavrinHelper::keyFileLocation();
        QCOMPARE(helper.keyFile(), keyFile);
        QVERIFY(keyFile.endsWith("/QorConnect/tavrin.key"));
        QFile key(keyFile);
        QVERIFY(key.open(QIODevice::ReadOnly));
        QCOMPARE(key.readAll(), QByteArray("s3cr3t-key"));

        QTRY_VERIFY_WITH_TIMEOUT(exists(record), processLimitMs);
        const QJsonObject seen = readRecord(record);
        QCOMPARE(seen.value("arguments").toVariant().toStringList(),
                 (QStringList{"-key", keyFile, "-carrier", "h2", "-servers",
                              "192.0.2.41:8443@pub@host,198.51.100.42:8443@p2@h2", "-balance", "leastload", "-insecure",
                              "-listen", "127.0.0.1:1080"}));
        QCOMPARE(seen.value("keyFileMode").toString(), QStringLiteral("0600"));
        QCOMPARE(seen.value("keyFolderMode").toString(), QStringLiteral("0700"));
        QVERIFY(seen.value("keyReadable").toBool());
        QCOMPARE(qint64(seen.value("pid").toDouble()), helper.processId());

        helper.stop();
        QVERIFY(!helper.isRunning());
        QVERIFY(!exists(keyFile));
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(record).value("terminated").toBool(), processLimitMs);
        helper.stop(); // twice is harmless
    }

    void secondStartReplacesTheFirstClient()
    {
        TavrinHelper helper;
        helper.start(QStringLiteral("first"), QStringLiteral("a"));
        QTRY_VERIFY_WITH_TIMEOUT(exists(record), processLimitMs);
        const qint64 firstPid = qint64(readRecord(record).value("pid").toDouble());
        const QString firstRecord = record;
        record = scratch() + "/kvb-record-second.json";
        QFile::remove(record);
        qputenv("QOR_KVB_RECORD", record.toUtf8());

        helper.start(QStringLiteral("second"), QStringLiteral("b"));
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(firstRecord).value("terminated").toBool(), processLimitMs);
        QTRY_VERIFY_WITH_TIMEOUT(exists(record), processLimitMs);
        QVERIFY(qint64(readRecord(record).value("pid").toDouble()) != firstPid);
        QFile key(helper.keyFile());
        QVERIFY(key.open(QIODevice::ReadOnly));
        QCOMPARE(key.readAll(), QByteArray("second"));
        helper.stop();
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(record).value("terminated").toBool(), processLimitMs);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("description");

        QTest::newRow("blank key") << QString() << " \n\t \r\n" << "Tavrin" << 2
                                   << "Tavrin не подключён к этому аккаунту — обновите подписку";
        QTest::newRow("no client in the bundle") << "missing" << "key" << "Tavrin" << 1
                                                 << "Tavrin-клиент (kvb-client) не вложен в сборку";
        QTest::newRow("blank key, no client: the client is checked first")
            << "missing" << "  " << "Tavrin" << 1 << "Tavrin-клиент (kvb-client) не вложен в сборку";
    }

    void refusals()
    {
        QFETCH(QString, bundle);
        QFETCH(QString, key);
        QFETCH(QString, domain);
        QFETCH(int, code);
        QFETCH(QString, description);
        if (!bundle.isEmpty())
            qputenv("QOR_BUNDLE_DIR", customBundle(bundle, QByteArray(), {}).toUtf8());
        TavrinHelper helper;
        try {
            helper.start(key, QStringLiteral("x"));
            QFAIL("start succeeded");
        } catch (const Error &error) {
            QCOMPARE(error.domain(), domain);
            QCOMPARE(error.code(), code);
            QCOMPARE(error.description(), description);
        }
        QVERIFY(!helper.isRunning());
        QVERIFY(!exists(TavrinHelper::keyFileLocation()));
        QVERIFY(!exists(record));
    }

    void failedLaunchKeepsKeyUntilStop()
    {
        const QString root = customBundle("not-executable", "#!/bin/sh\nexit 0\n", QFile::ReadOwner | QFile::WriteOwner);
        qputenv("QOR_BUNDLE_DIR", root.toUtf8());
        TavrinHelper helper;
        try {
            helper.start(QStringLiteral("key"), QStringLiteral("x"));
            QFAIL("start succeeded");
        } catch (const Error &error) {
            QCOMPARE(error.domain(), QStringLiteral("QProcess"));
            QCOMPARE(error.code(), int(QProcess::FailedToStart));
            QCOMPARE(error.description(), QStringLiteral("Не удалось запустить Tavrin-клиент (kvb-client)"));
        }
        QVERIFY(!helper.isRunning());
        QVERIFY(exists(TavrinHelper::keyFileLocation()));
        helper.stop();
        QVERIFY(!exists(TavrinHelper::keyFileLocation()));
    }

    void keyThatCannotBeWrittenPrivatelyFailsTheStart()
    {
        // The key's folder cannot be made: a file stands in its place.
        const QString folder = QFileInfo(TavrinHelper::keyFileLocation()).absolutePath();
        QDir().mkpath(QFileInfo(folder).absolutePath());
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        TavrinHelper helper;
        try {
            helper.start(QStringLiteral("key"), QStringLiteral("x"));
            QFAIL("start succeeded");
        } catch (const Error &error) {
            QCOMPARE(error.domain(), QStringLiteral("POSIX"));
            QVERIFY(error.code() != 0);
        }
        QVERIFY(!helper.isRunning());
        QVERIFY(!exists(record));
        QFile::remove(folder);
    }

    void quittingStopsTheClient()
    {
        QProcess app;
        app.setProgram(QCoreApplication::applicationFilePath());
        app.setArguments({QStringLiteral("--quit-scenario")});
        app.start();
        QVERIFY(app.waitForFinished(processLimitMs));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QVERIFY(exists(record));
        QVERIFY(!exists(TavrinHelper::keyFileLocation()));
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(record).value("terminated").toBool(), processLimitMs);
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--quit-scenario")
        return quitScenario(argc, argv);
    QCoreApplication app(argc, argv);
    TestTavrinHelper test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_tavrin_helper.moc"
