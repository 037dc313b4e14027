// The reserve channel end to end with real engines: qor-connectd on a private bus,
// qorctl against a scripted account server, and a far side in a network namespace of
// its own (userspace WireGuard and an HTTP server that answers with the caller's
// address), joined to this namespace by a veth pair. Addresses: 192.0.2.0/24 on the
// wire, 198.51.100.0/24 inside the tunnel, 203.0.113.10 for the far server.

#include "../cli/cli_process.h"

#include "app_fixture.h"
#include "demo/account_server.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QEventLoop>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QHostAddress>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <QtEndian>
#include <QTimer>

#include <csignal>
#include <net/if.h>
#include <unistd.h>

using namespace qor;
using namespace qor::test;

namespace {

const QString farServer = QStringLiteral("203.0.113.10");

// Runs a command to its end; its standard output.
QString sh(const QStringList &command, int *exitCode = nullptr, const QByteArray &input = {})
{
    QProcess process;
    process.start(command.first(), command.mid(1));
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(20000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Everything a tunnel may change in this namespace.
QString networkSnapshot()
{
    QString text;
    for (const QStringList &command : {QStringList{"ip", "-o", "link"}, {"ip", "-o", "address"}, {"ip", "rule"},
                                       {"ip", "-6", "rule"}, {"ip", "route", "show", "table", "all"},
                                       {"ip", "-6", "route", "show", "table", "all"}, {"nft", "list", "ruleset"}})
        text += command.join(' ') + QLatin1Char('\n') + sh(command);
    return text;
}

// The lines of the snapshot that differ from the baseline, marked - and +.
QString changesFrom(const QString &baseline)
{
    const QStringList before = baseline.split(QLatin1Char('\n')), after = networkSnapshot().split(QLatin1Char('\n'));
    QStringList changes;
    for (const QString &line : before)
        if (!after.contains(line))
            changes << QStringLiteral("- ") + line;
    for (const QString &line : after)
        if (!before.contains(line))
            changes << QStringLiteral("+ ") + line;
    return changes.join(QLatin1Char('\n'));
}

// The process ids whose command line is exactly this.
QList<qint64> processesRunning(const QByteArray &commandLine)
{
    QList<qint64> pids;
    QDirIterator it(QStringLiteral("/proc"));
    while (it.hasNext()) {
        const QString path = it.next();
        bool ok = false;
        const qint64 pid = it.fileName().toLongLong(&ok);
        QFile cmdline(path + QStringLiteral("/cmdline"));
        if (ok && cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().replace('\0', ' ').trimmed() == commandLine)
            pids << pid;
    }
    return pids;
}

// Waits (the event loop running) until check() holds or the limit passes.
bool eventually(const std::function<bool()> &check, int limitMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (!check()) {
        if (timer.elapsed() > limitMs)
            return false;
        QTest::qWait(100);
    }
    return true;
}

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

class TestReserveTunnelLive : public QObject {
    Q_OBJECT

    QString skipReason;
    QString far;
    QString farPrivate, farPublic, nearPrivate, nearPublic;
    std::vector<std::unique_ptr<QProcess>> helpers; // far engine, far servers, the bus
    std::unique_ptr<QProcess> service;
    QString busAddress;
    AccountServer server;
    std::unique_ptr<CliProcess> cli;
    QString baseline;

public:
    // Also when a failed start-up skipped cleanupTestCase.
    ~TestReserveTunnelLive() override
    {
        if (!far.isEmpty())
            sh({"ip", "netns", "del", far});
    }

private:
    QString farSide(const QString &command) const { return QStringLiteral("ip netns exec ") + far + QLatin1Char(' ') + command; }

    QProcess *spawn(const QStringList &command, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(command.first(), command.mid(1));
        process->waitForStarted();
        helpers.push_back(std::move(process));
        return helpers.back().get();
    }

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

    void startService(const QStringList &extra = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
        environment.insert(QStringLiteral("QOR_BUNDLE_DIR"), CliProcess::buildDirectory() + QStringLiteral("/bundle"));
        service = std::make_unique<QProcess>();
        service->setProcessEnvironment(environment);
        service->setProcessChannelMode(QProcess::ForwardedChannels);
        service->start(CliProcess::buildDirectory() + QStringLiteral("/bin/qor-connectd"),
                       QStringList{"--state-dir", cli->home() + QStringLiteral("/service"), "--trace-dir",
                                   cli->home() + QStringLiteral("/trace"), "--handshake-timeout", "3"}
                           + extra);
        QVERIFY(service->waitForStarted());
        QVERIFY(eventually([&] {
            return sh({"dbus-send", "--bus=" + busAddress, "--print-reply", "--dest=org.freedesktop.DBus", "/",
                       "org.freedesktop.DBus.NameHasOwner", "string:com.qorvpn.connect.Tunnels"})
                .contains("true");
        }));
    }

    // The service's exit code (-1: it did not end normally).
    int stopService(int signal = SIGTERM)
    {
        if (!service)
            return 0;
        ::kill(pid_t(service->processId()), signal);
        service->waitForFinished(15000);
        const int code = service->exitStatus() == QProcess::NormalExit ? service->exitCode() : -1;
        service.reset();
        return code;
    }

    // What the far HTTP server saw as our address, or empty when it did not answer.
    QString whoAmI()
    {
        QNetworkAccessManager network;
        QNetworkRequest request(QUrl(QStringLiteral("http://%1:8080/").arg(farServer)));
        request.setTransferTimeout(5000);
        std::unique_ptr<QNetworkReply> reply(network.get(request));
        QEventLoop loop;
        connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        return QString::fromUtf8(reply->readAll()).trimmed();
    }

    CliResult qorctl(const QStringList &arguments, int limitMs = 60000) { return cli->run(arguments, {}, limitMs); }
    QJsonObject status() { return qorctl({"status", "--json"}).json(); }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("real tunnels need root (CI runs as root)");
        for (const char *tool : {"/usr/bin/wireguard-go", "/usr/bin/wg", "/usr/sbin/ip", "/usr/sbin/nft", "/usr/bin/dbus-daemon"}) {
            if (!QFileInfo(QString::fromLatin1(tool)).isExecutable())
                QSKIP(qPrintable(QStringLiteral("missing ") + QString::fromLatin1(tool)));
        }
        far = QStringLiteral("qorfar%1").arg(::getpid());
        int code = 0;
        sh({"ip", "netns", "add", far}, &code);
        if (code != 0)
            QSKIP("cannot make a network namespace here");

        farPrivate = sh({"wg", "genkey"}).trimmed();
        farPublic = sh({"wg", "pubkey"}, nullptr, farPrivate.toLatin1()).trimmed();
        nearPrivate = sh({"wg", "genkey"}).trimmed();
        nearPublic = sh({"wg", "pubkey"}, nullptr, nearPrivate.toLatin1()).trimmed();
        const QStringList setup = {
            "ip link add qv0 type veth peer name qv1 netns " + far,
            // No IPv6 on the wire: its link-local address would still be settling when
            // the namespace's state is first recorded.
            "sysctl -qw net.ipv6.conf.qv0.disable_ipv6=1",
            "ip address add 192.0.2.1/24 dev qv0", "ip link set qv0 up",
            "ip route add default via 192.0.2.2",
            farSide("ip address add 192.0.2.2/24 dev qv1"), farSide("ip link set qv1 up"), farSide("ip link set lo up"),
            farSide("ip address add 203.0.113.10/32 dev lo"),
        };
        for (const QString &command : setup) {
            sh(command.split(' '), &code);
            QVERIFY2(code == 0, qPrintable(command));
        }
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
        // An HTTP server that answers with the caller's address, and a UDP listener that never answers.
        spawn(farSide("python3 -c").split(' ')
              << "import http.server as h\n"
                 "class H(h.BaseHTTPRequestHandler):\n"
                 "  def do_GET(s):\n"
                 "    b=s.client_address[0].encode(); s.send_response(200); s.send_header('Content-Length',str(len(b))); s.end_headers(); s.wfile.write(b)\n"
                 "  def log_message(s,*a): pass\n"
                 "h.ThreadingHTTPServer(('0.0.0.0',8080),H).serve_forever()\n");
        spawn(farSide("python3 -c").split(' ')
              << "import socket,time\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\ns.bind(('192.0.2.2',51999))\n"
                 "while True: s.recv(2048)\n");

        QProcess *bus = spawn({"dbus-daemon", "--config-file=" + CliProcess::sourceDirectory() + "/tests/support/empty-session-bus.conf",
                               "--print-address=1", "--nofork"});
        QVERIFY(bus->waitForReadyRead(10000));
        busAddress = QString::fromUtf8(bus->readLine()).trimmed();
        QVERIFY(server.listen());
        cli = std::make_unique<CliProcess>(QStringLiteral("reserve"));
        cli->setEnv(QStringLiteral("QOR_API_BASE"), server.baseUrl().toString());
        cli->setEnv(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
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
        QCOMPARE(stopService(), 0);
        if (!baseline.isEmpty())
            QVERIFY2(changesFrom(baseline).isEmpty(), qPrintable(changesFrom(baseline)));
        for (auto &helper : helpers) {
            helper->terminate();
            if (!helper->waitForFinished(5000)) {
                helper->kill();
                helper->waitForFinished(5000);
            }
        }
        helpers.clear();
        if (!far.isEmpty()) {
            sh({"ip", "netns", "del", far});
            sh({"ip", "link", "del", "qv0"});
        }
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
