// The Tavrin client helper with the stand-in kvb-client. What the client is started with
// (its arguments, the private key file, its end when the channel changes) is pinned through
// the application in test_connect_live; here are the helper's own edges.

#include "runtime/error.h"
#include "tunnel/tavrin_helper.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace qor;

namespace {

constexpr int processLimitMs = 30000;

QString scratch(const QString &name)
{
    return qEnvironmentVariable("QOR_TEST_SCRATCH") + "/" + name;
}

// What the stand-in client recorded: its command line and key file, and whether it was terminated.
QJsonObject readRecord(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

QByteArray keyOnDisk()
{
    QFile key(TavrinHelper::keyFileLocation());
    return key.open(QIODevice::ReadOnly) ? key.readAll() : QByteArray();
}

// A bundle of our own whose kvb-client is this text without the execute bit, or absent (null).
QString customBundle(const QString &name, const QByteArray &client)
{
    const QString root = scratch("bundles/" + name);
    QDir(root).removeRecursively();
    QDir().mkpath(root + "/Contents/Resources");
    QFile f(root + "/Contents/Resources/kvb-client");
    if (!client.isNull() && f.open(QIODevice::WriteOnly))
        f.write(client);
    return root;
}

// Run in a child copy of this test: an application that starts the client and quits
// through its event loop once the client is up, as the real one does.
int quitScenario(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TavrinHelper helper;
    helper.start("quit-key", "192.0.2.41:8443@k@h");
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

    void recordTo(const QString &name)
    {
        record = scratch(name);
        QFile::remove(record);
        qputenv("QOR_KVB_RECORD", record.toUtf8());
    }

private Q_SLOTS:
    void init()
    {
        qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + "/bundle").toUtf8());
        recordTo("kvb-record.json");
        QDir(QFileInfo(TavrinHelper::keyFileLocation()).absolutePath()).removeRecursively();
    }

    void secondStartReplacesTheFirstClient()
    {
        TavrinHelper helper;
        helper.start("first", "a");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), processLimitMs);
        const QString firstRecord = record;
        recordTo("kvb-record-second.json");
        helper.start("second", "b");
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(firstRecord)["terminated"].toBool(), processLimitMs);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), processLimitMs);
        QVERIFY(readRecord(record)["pid"].toInteger() != readRecord(firstRecord)["pid"].toInteger());
        QCOMPARE(keyOnDisk(), "second");
        helper.stop();
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(record)["terminated"].toBool(), processLimitMs);
    }

    // A refused start runs nothing; only a key already written stays until stop().
    void refusals_data()
    {
        QTest::addColumn<QString>("bundle"); // "missing" or "not-executable" client; empty: the build's
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("description");
        QTest::newRow("blank key") << "" << " \n\t \r\n" << "Tavrin" << 2 << "Tavrin не подключён к этому аккаунту — обновите подписку";
        QTest::newRow("blank key, no client: the client is checked first")
            << "missing" << "  " << "Tavrin" << 1 << "Tavrin-клиент (kvb-client) не вложен в сборку";
        QTest::newRow("client cannot run") << "not-executable" << "key" << "QProcess" << int(QProcess::FailedToStart)
                                           << "Не удалось запустить Tavrin-клиент (kvb-client)";
        QTest::newRow("key folder cannot be made") << "" << "key" << "POSIX" << -1 << "";
    }

    void refusals()
    {
        QFETCH(QString, bundle);
        QFETCH(QString, key);
        QFETCH(QString, domain);
        QFETCH(int, code);
        QFETCH(QString, description);
        if (!bundle.isEmpty())
            qputenv("QOR_BUNDLE_DIR", customBundle(bundle, bundle == "missing" ? QByteArray() : "#!/bin/sh\nexit 0\n").toUtf8());
        const QString keyFolder = QFileInfo(TavrinHelper::keyFileLocation()).absolutePath();
        if (code < 0) { // a file stands where the key's folder would be made
            QDir().mkpath(QFileInfo(keyFolder).absolutePath());
            QFile blocker(keyFolder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        TavrinHelper helper;
        try {
            helper.start(key, "x");
            QFAIL("start succeeded");
        } catch (const Error &error) {
            QCOMPARE(error.domain(), domain);
            QVERIFY(code >= 0 ? error.code() == code : error.code() != 0); // a POSIX code is the system's
            if (!description.isEmpty())
                QCOMPARE(error.description(), description);
        }
        QVERIFY(!helper.isRunning());
        QVERIFY(!QFileInfo::exists(record));
        QCOMPARE(QFileInfo::exists(TavrinHelper::keyFileLocation()), bundle == "not-executable");
        helper.stop();
        QVERIFY(!QFileInfo::exists(TavrinHelper::keyFileLocation()));
        QFile::remove(keyFolder);
    }

    void quittingStopsTheClient()
    {
        QProcess app;
        app.start(QCoreApplication::applicationFilePath(), {"--quit-scenario"});
        QVERIFY(app.waitForFinished(processLimitMs));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QVERIFY(QFileInfo::exists(record));
        QVERIFY(!QFileInfo::exists(TavrinHelper::keyFileLocation()));
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(record)["terminated"].toBool(), processLimitMs);
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
