// The reserve channel end to end with real engines: qor-connectd on a private bus,
// qorctl against a scripted account server, and a far side in a network namespace of
// its own (userspace WireGuard and an HTTP server that answers with the caller's
// address), joined to this namespace by a veth pair. Addresses: 192.0.2.0/24 on the
// wire, 198.51.100.0/24 inside the tunnel, 203.0.113.10 for the far server.

#include "live_tunnel_bed.h"

#include <QJsonArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QHostAddress>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <QtEndian>

#include <net/if.h>

using namespace qor;
using namespace qor::test;

namespace {

// systemd-resolved as the service sees it: records each call, answers every one.
class FakeResolved final : public QDBusVirtualObject {
public:
    QStringList calls;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        QString call = message.member() + QLatin1Char(' ') + QString::number(message.arguments().value(0).toInt());
        if (message.member() == QLatin1String("SetLinkDNS") || message.member() == QLatin1String("SetLinkDomains")) {
            const QDBusArgument list = message.arguments().value(1).value<QDBusArgument>();
            list.beginArray();
            while (!list.atEnd()) {
                list.beginStructure();
                if (message.member() == QLatin1String("SetLinkDNS")) {
                    int family = 0;
                    QByteArray address;
                    list >> family >> address;
                    call += QLatin1Char(' ') + QHostAddress(qFromBigEndian<quint32>(address.constData())).toString();
                } else {
                    QString domain;
                    bool routingOnly = false;
                    list >> domain >> routingOnly;
                    call += QLatin1Char(' ') + (routingOnly ? QStringLiteral("~") : QString()) + domain;
                }
                list.endStructure();
            }
            list.endArray();
        } else if (message.member() == QLatin1String("SetLinkDefaultRoute")) {
            call += message.arguments().value(1).toBool() ? QStringLiteral(" yes") : QStringLiteral(" no");
        }
        calls << call;
        connection.send(message.createReply());
        return true;
    }
};

} // namespace

class TestReserveTunnelLive : public LiveTunnelBed {
    Q_OBJECT

    QString farPrivate, farPublic, nearPrivate, nearPublic;

    QString config(const QString &endpoint, const QString &extra = {}) const
    {
        return QStringLiteral("[Interface]\nPrivateKey = %1\nAddress = 198.51.100.1/24\nDNS = 198.51.100.53\n%3\n"
                              "[Peer]\nPublicKey = %2\nEndpoint = %4\nAllowedIPs = 0.0.0.0/0\n")
            .arg(nearPrivate, farPublic, extra, endpoint);
    }

    // The account server hands out these reserve configurations from now on.
    void offerReserve(const QStringList &configs)
    {
        QJsonArray entries;
        for (const QString &conf : configs)
            entries.append(QJsonObject{{"server", "reserve"}, {"host", "192.0.2.2"}, {"conf", conf}});
        const QString awg = QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
        server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(okAnswer({{"session_token", "tok-1"}, {"awg_conf", awg}})));
        server.setDefault(QStringLiteral("email/verify"), ScriptedAnswer::json(okAnswer({{"session_token", "tok-1"}, {"awg_conf", awg}})));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (const QString reason = makeFarNamespace({"/usr/bin/wireguard-go", "/usr/bin/wg"}); !reason.isEmpty())
            QSKIP(qPrintable(reason));
        farPrivate = sh({"wg", "genkey"}).trimmed();
        farPublic = sh({"wg", "pubkey"}, nullptr, farPrivate.toLatin1()).trimmed();
        nearPrivate = sh({"wg", "genkey"}).trimmed();
        nearPublic = sh({"wg", "pubkey"}, nullptr, nearPrivate.toLatin1()).trimmed();
        buildFarSide({"203.0.113.10/32"});
        if (QTest::currentTestFailed())
            return;
        int code = 0;
        // The far peer: userspace WireGuard on 192.0.2.2:51820, 198.51.100.2 inside.
        QProcessEnvironment foreground = QProcessEnvironment::systemEnvironment();
        foreground.insert(QStringLiteral("WG_PROCESS_FOREGROUND"), QStringLiteral("1"));
        QFile::remove(QStringLiteral("/var/run/wireguard/qpeer0.sock")); // an earlier run's
        spawn(farSide("wireguard-go -f qpeer0").split(' '), foreground);
        QVERIFY(eventually([&] {
            int shown = 1;
            sh(farSide(QStringLiteral("wg show qpeer0")).split(' '), &shown);
            return shown == 0;
        }, 10000));
        QTemporaryFile key;
        QVERIFY(key.open());
        key.write(farPrivate.toLatin1());
        key.flush();
        const QStringList peerSetup{farSide(QStringLiteral("wg set qpeer0 listen-port 51820 private-key ") + key.fileName()
                                            + QStringLiteral(" peer ") + nearPublic + QStringLiteral(" allowed-ips 198.51.100.1/32")),
                                    farSide(QStringLiteral("ip address add 198.51.100.2/24 dev qpeer0")),
                                    farSide(QStringLiteral("ip link set qpeer0 up"))};
        for (const QString &command : peerSetup) {
            sh(command.split(' '), &code);
            QVERIFY2(code == 0, qPrintable(command));
        }
        // A UDP listener that never answers.
        spawn(farSide("python3 -c").split(' ')
              << "import socket,time\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\ns.bind(('192.0.2.2',51999))\n"
                 "while True: s.recv(2048)\n");
        makeCli(QStringLiteral("reserve"));
        QVERIFY(eventually([&] { return whoAmI() == QLatin1String("192.0.2.1"); }));
        baseline = networkSnapshot();
        startService();
        offerReserve({config(QStringLiteral("192.0.2.2:51820"))});
        server.enqueue(QStringLiteral("email/request"), ScriptedAnswer::json({{"status", "sent"}}));
        const CliResult login = qorctl({"login", "email", "user@example.com", "--code", "1234"});
        QVERIFY2(login.exitCode == 0, login.describe());
    }

    void cleanupTestCase()
    {
        // Stopped while its tunnel is up, the service takes it down and ends cleanly.
        if (cli && service)
            QCOMPARE(qorctl({"connect", "--reserve"}).exitCode, 0);
        tearDown();
    }

    void cleanup()
    {
        if (!service)
            startService();
        qorctl({"disconnect"});
        offerReserve({config(QStringLiteral("192.0.2.2:51820"))});
    }

    void trafficGoesThroughTheTunnelAndEverythingIsUndone()
    {
        const CliResult connected = qorctl({"connect", "--reserve"});
        QVERIFY2(connected.exitCode == 0, connected.describe());
        QCOMPARE(whoAmI(), QStringLiteral("198.51.100.1"));

        const QJsonObject fresh = status();
        QCOMPARE(fresh.value("connectionState").toString(), QStringLiteral("connected"));
        QVERIFY2(fresh.value("sessionDownloadBytes").toDouble() > 0 && fresh.value("sessionUploadBytes").toDouble() > 0,
                 qPrintable(QJsonDocument(fresh).toJson()));

        const CliResult stopped = qorctl({"disconnect"});
        QVERIFY2(stopped.exitCode == 0, stopped.describe());
        QVERIFY(eventually([&] { return changesFrom(baseline).isEmpty(); }, 10000));
        QCOMPARE(whoAmI(), QStringLiteral("192.0.2.1"));
    }

    void theTunnelsDnsServersGoToResolved()
    {
        QDBusConnection resolvedBus = QDBusConnection::connectToBus(busAddress, QStringLiteral("resolved"));
        FakeResolved resolved;
        QVERIFY(resolvedBus.registerVirtualObject(QStringLiteral("/org/freedesktop/resolve1"), &resolved));
        QVERIFY(resolvedBus.registerService(QStringLiteral("org.freedesktop.resolve1")));
        const auto unregister = qScopeGuard([&] {
            resolvedBus.unregisterService(QStringLiteral("org.freedesktop.resolve1"));
            resolvedBus.unregisterObject(QStringLiteral("/org/freedesktop/resolve1"));
            QDBusConnection::disconnectFromBus(QStringLiteral("resolved"));
        });

        QCOMPARE(qorctl({"connect", "--reserve"}).exitCode, 0);
        const QString link = QString::number(::if_nametoindex("qor-reserve"));
        QCOMPARE(resolved.calls, (QStringList{"SetLinkDNS " + link + " 198.51.100.53", "SetLinkDomains " + link + " ~.",
                                              "SetLinkDefaultRoute " + link + " yes"}));
        QCOMPARE(qorctl({"disconnect"}).exitCode, 0);
        QVERIFY(eventually([&] { return resolved.calls.size() == 4; }, 10000));
        QCOMPARE(resolved.calls.last(), "RevertLink " + link);
    }

    void aKilledEngineIsRestartedByTheService()
    {
        QCOMPARE(qorctl({"connect", "--reserve"}).exitCode, 0);
        const QList<qint64> engines = processesRunning("/usr/bin/wireguard-go -f qor-reserve");
        QCOMPARE(engines.size(), 1);
        ::kill(pid_t(engines.first()), SIGKILL);
        QVERIFY(eventually([&] {
            const auto now = processesRunning("/usr/bin/wireguard-go -f qor-reserve");
            return now.size() == 1 && now != engines && status().value("connectionState") == QLatin1String("connected");
        }));
        QCOMPARE(whoAmI(), QStringLiteral("198.51.100.1"));
    }

    void aRestartedServiceCleansWhatACrashLeft()
    {
        QCOMPARE(qorctl({"connect", "--reserve"}).exitCode, 0);
        stopService(SIGKILL);
        QVERIFY(!changesFrom(baseline).isEmpty()); // rules and routes of the crashed run
        startService();
        QVERIFY2(changesFrom(baseline).isEmpty(), qPrintable(changesFrom(baseline)));
        QCOMPARE(status().value("connectionState").toString(), QStringLiteral("disconnected"));
    }

    void aSilentServerIsPassedOverForTheNext()
    {
        offerReserve({config(QStringLiteral("192.0.2.2:51999")), config(QStringLiteral("192.0.2.2:51820"))});
        const CliResult connected = qorctl({"connect", "--reserve"});
        QVERIFY2(connected.exitCode == 0, connected.describe());
        QCOMPARE(whoAmI(), QStringLiteral("198.51.100.1"));
    }

    void unusableConfigurationsFailWithTheirReasons_data()
    {
        QTest::addColumn<QStringList>("configs");
        QTest::addColumn<QString>("reason");
        QTest::newRow("silent server") << QStringList{config(QStringLiteral("192.0.2.2:51999"))} << QStringLiteral("не ответил за 3 с");
        QTest::newRow("key of the wrong length") << QStringList{config(QStringLiteral("192.0.2.2:51820")).replace(nearPrivate, QStringLiteral("c2hvcnQ="))}
                                                 << QStringLiteral("неверный ключ PrivateKey");
        QTest::newRow("unresolvable endpoint") << QStringList{config(QStringLiteral("nowhere.invalid:51820"))}
                                               << QStringLiteral("адрес сервера «nowhere.invalid» не найден");
        if (!QFileInfo::exists(QStringLiteral("/usr/bin/amneziawg-go")))
            QTest::newRow("AmneziaWG") << QStringList{config(QStringLiteral("192.0.2.2:51820"), QStringLiteral("Jc = 4\nJmin = 40\nJmax = 70\nH1 = 5"))}
                                       << QStringLiteral("AmneziaWG (amneziawg-go)");
    }

    void unusableConfigurationsFailWithTheirReasons()
    {
        QFETCH(QStringList, configs);
        QFETCH(QString, reason);
        offerReserve(configs);
        const CliResult failed = qorctl({"connect", "--reserve"});
        QCOMPARE(failed.exitCode, 1);
        QVERIFY2(failed.err.contains(QStringLiteral("Резервный канал не подключился")) && failed.err.contains(reason), failed.describe());
        QCOMPARE(status().value("connectionState").toString(), QStringLiteral("disconnected"));
        QVERIFY2(changesFrom(baseline).isEmpty(), qPrintable(changesFrom(baseline)));
    }

    void aMissingOrBrokenEngineFailsTheStart_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("reason");
        QTest::newRow("ends at once") << true << QStringLiteral("движок wireguard-go не запустился");
        QTest::newRow("not installed") << false << QStringLiteral("не установлен движок резервного канала wireguard-go");
    }

    void aMissingOrBrokenEngineFailsTheStart()
    {
        QFETCH(bool, installed);
        QFETCH(QString, reason);
        const QString engines = cli->home() + QStringLiteral("/engines");
        QDir(engines).removeRecursively();
        QDir().mkpath(engines);
        if (installed)
            QVERIFY(QFile::copy(QStringLiteral("/bin/false"), engines + QStringLiteral("/wireguard-go")));
        stopService();
        // The other programs where they are; wireguard-go only in the scratch folder.
        QStringList path{engines};
        for (const char *dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
            if (!QFileInfo::exists(QString::fromLatin1(dir) + QStringLiteral("/wireguard-go")))
                path << QString::fromLatin1(dir);
        }
        startService({"--engine-path", path.join(QLatin1Char(':'))});
        const CliResult failed = qorctl({"connect", "--reserve"});
        QCOMPARE(failed.exitCode, 1);
        QVERIFY2(failed.err.contains(reason), failed.describe());
        QVERIFY2(changesFrom(baseline).isEmpty(), qPrintable(changesFrom(baseline)));
        stopService();
    }

    void withoutTheServiceAConnectFailsInRussian()
    {
        stopService();
        const CliResult failed = qorctl({"connect", "--reserve"});
        QCOMPARE(failed.exitCode, 1);
        QVERIFY2(failed.err.contains(QStringLiteral("служба туннелей qor-connectd")), failed.describe());
        QCOMPARE(status().value("connectionState").toString(), QStringLiteral("disconnected"));
    }
};

QTEST_GUILESS_MAIN(TestReserveTunnelLive)
#include "test_reserve_tunnel_live.moc"
