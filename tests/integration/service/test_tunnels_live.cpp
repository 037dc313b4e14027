// Both channels end to end with the real engines (root, in the wrapper's namespaces): qor-connectd on a private bus,
// qorctl against a scripted account server, a far side over a veth pair (192.0.2.1 here, .2 there) with WireGuard,
// v2ray (balancer, node and a SOCKS "Tavrin entry", each leaving from its own 198.51.100.x), DNS and a who-am-I server.

#include "../cli/cli_process.h"
#include "app_fixture.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QJsonArray>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <QtEndian>

#include <csignal>
#include <net/if.h>
#include <unistd.h>

using namespace qor;
using namespace qor::test;

namespace {

const QString userId = "6f7f2a3e-8d1b-4c55-9a3e-0b6f7c1d2e3f", direct = "192.0.2.1", viaReserve = "198.51.100.1",
              viaBalancer = "198.51.100.2", viaCascade = "198.51.100.3", viaNode = "198.51.100.4";
const QStringList toMain{"connect", "--mode", "main"}, toReserve{"connect", "--reserve"};
const QByteArray mainEngine = "/usr/bin/v2ray -config stdin:", reserveEngine = "/usr/bin/wireguard-go -f qor-reserve";

// Runs a shell command to its end.
CliResult sh(const QString &command)
{
    QProcess process;
    process.start("sh", {"-c", command});
    process.closeWriteChannel();
    return CliProcess::finish(process, 20000);
}

// Everything a tunnel may change in this namespace, one sorted line each.
const QString snapshot = "{ ip -o link; ip -o address; ip rule; ip -6 rule; ip route show table all; ip -6 route show table all; nft list ruleset; } | sort";

// The process ids, in this network namespace, whose command line starts with this.
QStringList processesRunning(const QByteArray &commandLine)
{
    return sh(QStringLiteral("pgrep --ns %1 --nslist net -f '^%2'").arg(::getpid()).arg(QString::fromUtf8(commandLine))).out.split('\n', Qt::SkipEmptyParts);
}

QJsonObject vless(const QString &tag, int port)
{
    const QJsonObject server{{"address", "192.0.2.2"}, {"port", port}, {"users", QJsonArray{QJsonObject{{"id", userId}, {"encryption", "none"}}}}};
    return {{"tag", tag}, {"protocol", "vless"}, {"settings", QJsonObject{{"vnext", QJsonArray{server}}}}};
}

// A document of these outbounds, names looked up by the far DNS server; more than one go behind a balancer.
QJsonObject document(const QString &remarks, const QJsonArray &outbounds)
{
    QJsonObject doc{{"remarks", remarks}, {"outbounds", outbounds}, {"dns", QJsonObject{{"servers", QJsonArray{"203.0.113.53"}}}}};
    if (outbounds.size() > 1)
        doc.insert("routing", QJsonObject{{"balancers", QJsonArray{QJsonObject{{"tag", "all"}, {"selector", QJsonArray{"a", "b"}}}}},
                                          {"rules", QJsonArray{QJsonObject{{"type", "field"}, {"network", "tcp,udp"}, {"balancerTag", "all"}}}}});
    return doc;
}
const QJsonObject balancer = document("Qor AI Network", {vless("a", 10086), vless("b", 10086)});

const char *farCore = R"({"log": {"loglevel": "warning"},
  "inbounds": [{"tag": "balancer", "listen": "192.0.2.2", "port": 10086, "protocol": "vless", "settings": {"clients": [{"id": "%1"}], "decryption": "none"}},
    {"tag": "node", "listen": "192.0.2.2", "port": 10087, "protocol": "vless", "settings": {"clients": [{"id": "%1"}], "decryption": "none"}},
    {"tag": "entry", "listen": "192.0.2.41", "port": 8443, "protocol": "socks", "settings": {"auth": "noauth"}}],
  "outbounds": [{"tag": "via2", "protocol": "freedom", "settings": {"domainStrategy": "UseIPv4"}, "sendThrough": "198.51.100.2"},
    {"tag": "via4", "protocol": "freedom", "settings": {"domainStrategy": "UseIPv4"}, "sendThrough": "198.51.100.4"},
    {"tag": "via3", "protocol": "freedom", "settings": {"domainStrategy": "UseIPv4"}, "sendThrough": "198.51.100.3"}],
  "routing": {"rules": [{"type": "field", "inboundTag": ["node"], "outboundTag": "via4"}, {"type": "field", "inboundTag": ["entry"], "outboundTag": "via3"}]},
  "dns": {"servers": ["203.0.113.53"]}})";

const char *whoAmIServer = "import http.server as h\nclass H(h.BaseHTTPRequestHandler):\n"
                           "  def do_GET(s): s.send_response(200); s.end_headers(); s.wfile.write(s.client_address[0].encode())\n"
                           "  def log_message(s,*a): pass\nh.ThreadingHTTPServer(('0.0.0.0',8080),H).serve_forever()\n";

// What the far HTTP server at this host saw as our address; empty when it did not answer.
QString whoAmI(const QString &host = "203.0.113.10")
{
    return sh("curl -s -m 5 http://" + host + ":8080/").out.trimmed();
}

// What the far HTTP server answers to a BitTorrent handshake (an error page), empty when nothing came back.
QString torrentHandshakeAnswer()
{
    return sh("bash -c 'exec 3<>/dev/tcp/203.0.113.10/8080 && printf \"\\x13BitTorrent protocol%48s\\r\\n\\r\\n\" >&3 && timeout 3 cat <&3'").out;
}

// systemd-resolved as the service sees it while this lives: records each call, answers every one.
class FakeResolved final : public QDBusVirtualObject {
public:
    QStringList calls;
    QDBusConnection bus;
    const bool registered = bus.registerVirtualObject("/org/freedesktop/resolve1", this) && bus.registerService("org.freedesktop.resolve1");

    explicit FakeResolved(const QString &address) : bus(QDBusConnection::connectToBus(address, "resolved")) {}
    ~FakeResolved() override
    {
        bus.unregisterService("org.freedesktop.resolve1");
        bus.unregisterObject("/org/freedesktop/resolve1");
        QDBusConnection::disconnectFromBus("resolved");
    }
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QVariantList arguments = message.arguments();
        QString call = message.member() + ' ' + arguments.value(0).toString();
        if (message.member() == "SetLinkDNS" || message.member() == "SetLinkDomains") {
            const QDBusArgument list = arguments.value(1).value<QDBusArgument>();
            for (list.beginArray(); !list.atEnd(); list.endStructure()) {
                list.beginStructure();
                const QVariant first = list.asVariant(), second = list.asVariant(); // family and address, or domain and routing only
                call += ' ' + (message.member() == "SetLinkDNS" ? QHostAddress(qFromBigEndian<quint32>(second.toByteArray().constData())).toString()
                                                                 : (second.toBool() ? "~" : "") + first.toString());
            }
            list.endArray();
        } else if (message.member() == "SetLinkDefaultRoute") {
            call += arguments.value(1).toBool() ? " yes" : " no";
        }
        calls << call;
        connection.send(message.createReply());
        return true;
    }
};

} // namespace

class TestTunnelsLive : public QObject {
    Q_OBJECT

    QString far, busAddress, farPublic, nearPrivate;
    std::vector<std::unique_ptr<QProcess>> helpers; // far engines and servers, the bus
    std::unique_ptr<QProcess> service;
    AccountServer server;
    std::unique_ptr<CliProcess> cli;
    QTemporaryFile farConfig, dnsLog, baseline; // the last: the snapshot before any tunnel

    QString farSide(const QString &command) const { return "ip netns exec " + far + ' ' + command; }

    QProcess *spawn(const QStringList &command)
    {
        QProcess *helper = helpers.emplace_back(std::make_unique<QProcess>()).get();
        helper->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper->start(command.first(), command.mid(1));
        helper->waitForStarted();
        return helper;
    }

    // Runs the commands until one fails; empty, or what the failing one said.
    static QByteArray failing(const QStringList &commands)
    {
        const CliResult result = sh("set -e; " + commands.join("; "));
        return result.exitCode == 0 ? QByteArray() : result.describe();
    }

    QString reserveConfig(const QString &endpoint, const QString &extra = {}) const
    {
        return QStringLiteral("[Interface]\nPrivateKey = %1\nAddress = 198.51.100.1/24\nDNS = 198.51.100.53\n%3\n"
                              "[Peer]\nPublicKey = %2\nEndpoint = %4\nAllowedIPs = 0.0.0.0/0\n")
            .arg(nearPrivate, farPublic, extra, endpoint);
    }

    // The account server's answer from now on: the balancer and a node, the reserve
    // configurations (default: the working one) and the company object.
    void offer(const QJsonObject &main = balancer, QStringList reserve = {}, const QJsonObject &qor = {})
    {
        QJsonArray entries;
        for (const QString &conf : reserve.isEmpty() ? QStringList{reserveConfig("192.0.2.2:51820")} : reserve)
            entries.append(QJsonObject{{"server", "reserve"}, {"host", "192.0.2.2"}, {"conf", conf}});
        QJsonObject answer = okAnswer({{"session_token", "tok-1"}, {"xray_configs", QJsonArray{main, document("Узел", {vless("proxy", 10087)})}},
                                       {"awg_conf", QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact))}});
        if (!qor.isEmpty())
            answer.insert("qor", qor);
        for (const char *path : {"refresh/", "email/verify"})
            server.setDefault(path, ScriptedAnswer::json(answer));
    }

    void startService(const QStringList &extra = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", busAddress);
        environment.insert("QOR_BUNDLE_DIR", CliProcess::buildDirectory() + "/bundle");
        service = std::make_unique<QProcess>();
        service->setProcessEnvironment(environment);
        service->setProcessChannelMode(QProcess::ForwardedChannels);
        service->start(CliProcess::buildDirectory() + "/bin/qor-connectd",
                       QStringList{"--state-dir", cli->home() + "/service", "--trace-dir", cli->home() + "/trace", "--handshake-timeout", "3"} + extra);
        QVERIFY(service->waitForStarted());
        QVERIFY(QTest::qWaitFor([&] {
            return sh("dbus-send --bus=" + busAddress + " --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner "
                      "string:com.qorvpn.connect.Tunnels").out.contains("true");
        }, 30000));
    }

    // The service's exit code (-1: it did not end normally).
    int stopService(int signal = SIGTERM)
    {
        if (!service)
            return 0;
        ::kill(pid_t(service->processId()), signal);
        const int code = CliProcess::finish(*service, 15000).exitCode;
        service.reset();
        return code;
    }

    CliResult qorctl(const QStringList &arguments) { return cli->run(arguments, {}, 60000); }
    QString connectionState() { return qorctl({"status", "--json"}).json().value("connectionState").toString(); }
    // Exit code 0: nothing differs from the baseline; else the lines gone (<) and added (>).
    CliResult changes() { return sh(snapshot + " | diff " + baseline.fileName() + " -"); }
    bool undone(int limitMs = 0) { return QTest::qWaitFor([&] { return changes().exitCode == 0; }, limitMs); }

public:
    ~TestTunnelsLive() override
    {
        if (!far.isEmpty()) // also when a failed start-up skipped the teardown
            sh("ip netns del " + far);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("real tunnels need root (CI runs as root)");
        for (const QString tool : {"/usr/sbin/ip", "/usr/sbin/nft", "/usr/bin/dbus-daemon", "/usr/bin/wireguard-go", "/usr/bin/wg", "/usr/bin/v2ray",
                                   "/usr/sbin/dnsmasq", "/usr/bin/curl"}) {
            if (!QFileInfo(tool).isExecutable())
                QSKIP(qPrintable("missing " + tool));
        }
        if (const QString name = QStringLiteral("qorfar%1").arg(::getpid()); sh("ip netns add " + name).exitCode == 0)
            far = name;
        else
            QSKIP("cannot make a network namespace here");
        const auto keyPair = [] { return sh("key=$(wg genkey); echo $key; echo $key | wg pubkey").out.split('\n'); };
        const QStringList farKeys = keyPair(), nearKeys = keyPair();
        farPublic = farKeys.value(1);
        nearPrivate = nearKeys.value(0);
        QVERIFY(farConfig.open() && dnsLog.open());
        QVERIFY(farConfig.write(QString::fromLatin1(farCore).arg(userId).toUtf8()) > 0 && farConfig.flush());

        // The wire (no IPv6 on it: its link-local address would still be settling when the
        // baseline is taken), the far side's addresses and its servers.
        QStringList setup{"ip link add qv0 type veth peer name qv1 netns " + far, "sysctl -qw net.ipv6.conf.qv0.disable_ipv6=1",
                          "ip address add 192.0.2.1/24 dev qv0", "ip link set qv0 up", "ip route add default via 192.0.2.2",
                          farSide("ip address add 192.0.2.2/24 dev qv1"), farSide("ip link set qv1 up"), farSide("ip link set lo up")};
        for (const QString address : {"203.0.113.10/32", "203.0.113.53/32", "198.51.100.2/32", "198.51.100.3/32", "198.51.100.4/32", "192.0.2.41/32"})
            setup << farSide("ip address add " + address + " dev lo");
        QCOMPARE(failing(setup), QByteArray());
        spawn(farSide("python3 -c").split(' ') << whoAmIServer);
        spawn(farSide("v2ray -config").split(' ') << farConfig.fileName());
        spawn(farSide("dnsmasq --no-daemon --no-resolv --no-hosts --bind-interfaces --listen-address=203.0.113.53 --log-queries "
                      "--address=/allowed.test/203.0.113.10 --address=/blocked.test/203.0.113.10").split(' ')
              << "--log-facility=" + dnsLog.fileName());
        // A UDP listener that never answers, and the WireGuard peer on 192.0.2.2:51820.
        spawn(farSide("python3 -c").split(' ') << "import socket\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                                                  "s.bind(('192.0.2.2',51999))\nwhile True: s.recv(2048)\n");
        spawn(farSide("env WG_PROCESS_FOREGROUND=1 wireguard-go -f qpeer0").split(' '));
        QVERIFY(QTest::qWaitFor([&] { return sh(farSide("wg show qpeer0")).exitCode == 0; }, 10000));
        QCOMPARE(failing({"echo " + farKeys.value(0) + " | " + farSide("wg set qpeer0 listen-port 51820 private-key /dev/stdin"),
                          farSide("wg set qpeer0 peer " + nearKeys.value(1) + " allowed-ips 198.51.100.1/32"),
                          farSide("ip address add 198.51.100.5/24 dev qpeer0"), farSide("ip link set qpeer0 up")}),
                 QByteArray());

        QProcess *bus = spawn({"dbus-daemon", "--config-file=" + CliProcess::sourceDirectory() + "/tests/support/empty-session-bus.conf",
                               "--print-address=1", "--nofork"});
        QVERIFY(bus->waitForReadyRead(10000));
        busAddress = QString::fromUtf8(bus->readLine()).trimmed();
        QVERIFY(server.listen());
        // qorctl against this account server and bus, its connectivity probes answered by the far side.
        cli = std::make_unique<CliProcess>("tunnels");
        cli->setEnv("QOR_API_BASE", server.baseUrl().toString());
        cli->setEnv("QOR_PROBE_URLS", "http://203.0.113.10:8080/");
        cli->setEnv("DBUS_SYSTEM_BUS_ADDRESS", busAddress);
        cli->setEnv("QOR_KVB_LISTEN", "1"); // the stand-in Tavrin client (run by the cascade only) listens and relays
        cli->setEnv("QOR_KVB_RELAY", "1");
        QVERIFY(QTest::qWaitFor([&] { return whoAmI() == direct; }, 30000));
        QVERIFY(baseline.open() && sh(snapshot + " > " + baseline.fileName()).exitCode == 0);
        startService();
        offer();
        server.enqueue("email/request", ScriptedAnswer::json({{"status", "sent"}}));
        const CliResult login = qorctl({"login", "email", "user@example.com", "--code", "1234"});
        QVERIFY2(login.exitCode == 0, login.describe());
    }

    void cleanupTestCase()
    {
        QCOMPARE(stopService(), 0);
        QVERIFY2(baseline.size() == 0 || undone(), qPrintable(changes().out));
        for (auto &helper : helpers) {
            helper->kill();
            helper->waitForFinished(5000);
        }
        if (!far.isEmpty())
            sh("ip link del qv0");
    }

    void cleanup()
    {
        if (!service)
            startService();
        qorctl({"disconnect"});
        offer();
    }

    // Each channel carries traffic the far side sees from the tunnel's address (the reserve's DNS server goes to
    // systemd-resolved); everything is undone however the tunnel ends (disconnect, service stop; a crash's leftovers
    // by the next run, the main engine going with the service). A killed engine is restarted; a silent first reserve
    // server is passed over; the company's rules hold.
    void trafficGoesThroughTheTunnelAndEverythingIsUndone_data()
    {
        QTest::addColumn<QStringList>("connect");
        QTest::addColumn<QStringList>("reserve");
        QTest::addColumn<QString>("via");
        QTest::addColumn<QString>("ending");
        for (const auto &[channel, connect, via] : {std::tuple("main", toMain, viaBalancer), std::tuple("reserve", toReserve, viaReserve)}) {
            for (const QString ending : {"engine killed, then disconnect", "service stopped", "service killed"})
                QTest::addRow("%s: %s", channel, qPrintable(ending)) << connect << QStringList() << via << ending;
        }
        QTest::newRow("main: a node") << QStringList{"connect", "--node", "192.0.2.2:10087"} << QStringList() << viaNode << "disconnect";
        QTest::newRow("main: the company's rules") << toMain << QStringList() << viaBalancer << "company's rules, then disconnect";
        QTest::newRow("reserve, the first server silent")
            << toReserve << QStringList{reserveConfig("192.0.2.2:51999"), reserveConfig("192.0.2.2:51820")} << viaReserve << "disconnect";
    }

    void trafficGoesThroughTheTunnelAndEverythingIsUndone()
    {
        QFETCH(QStringList, connect);
        QFETCH(QStringList, reserve);
        QFETCH(QString, via);
        QFETCH(QString, ending);
        std::optional<FakeResolved> resolved; // where it runs: each row but the silent server's, which sees the service go on without it
        if (reserve.isEmpty())
            QVERIFY(resolved.emplace(busAddress).registered);
        const bool company = ending.startsWith("company");
        const QJsonObject policy{{"block_domains", QJsonArray{"blocked.test"}}, {"allow_domains", QJsonArray{"allowed.test"}},
                                 {"block_geosite", QJsonArray{}}, {"block_torrent", true}};
        offer(balancer, reserve, company ? QJsonObject{{"company", "Acme"}, {"policy", policy},
                                                       {"session", QJsonObject{{"until", QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate)}}}}
                                         : QJsonObject());
        QVERIFY(!company || (qorctl({"status"}).exitCode == 0 && !torrentHandshakeAnswer().isEmpty())); // the rules taken, not yet in force
        const CliResult connected = qorctl(connect);
        QVERIFY2(connected.exitCode == 0, connected.describe());
        QCOMPARE(whoAmI(), via);
        if (company) { // names are resolved through the tunnel by the far DNS server
            QCOMPARE(whoAmI("allowed.test"), viaBalancer);
            QFile log(dnsLog.fileName());
            QVERIFY(log.open(QIODevice::ReadOnly) && log.readAll().contains(("allowed.test from " + viaBalancer).toUtf8()));
            QCOMPARE(whoAmI("blocked.test"), QString());
            QCOMPARE(torrentHandshakeAnswer(), QString());
        }
        const QString link = QString::number(::if_nametoindex("qor-reserve"));
        if (resolved) {
            QCOMPARE(resolved->calls, (connect != toReserve ? QStringList() : QStringList{"SetLinkDNS " + link + " 198.51.100.53",
                                                                                      "SetLinkDomains " + link + " ~.", "SetLinkDefaultRoute " + link + " yes"}));
        }
        QJsonObject status;
        QVERIFY2(QTest::qWaitFor([&] {
            status = qorctl({"status", "--json"}).json();
            return status.value("sessionDownloadBytes").toDouble() > 0 && status.value("sessionUploadBytes").toDouble() > 0;
        }, connect == toReserve ? 0 : 5000), QJsonDocument(status).toJson().constData()); // the main capture's counters are read every second
        QCOMPARE(status.value("connectionState").toString(), "connected");
        if (ending.startsWith("engine killed")) {
            const QByteArray engine = connect == toReserve ? reserveEngine : mainEngine;
            const QStringList engines = processesRunning(engine);
            QCOMPARE(engines.size(), 1);
            ::kill(pid_t(engines.first().toInt()), SIGKILL);
            QVERIFY(QTest::qWaitFor([&] {
                const auto now = processesRunning(engine);
                return now.size() == 1 && now != engines && connectionState() == "connected";
            }, 30000));
            QCOMPARE(whoAmI(), via);
        }
        const QString linkAtEnd = QString::number(::if_nametoindex("qor-reserve")); // (a restarted engine made a new one)
        if (ending.startsWith("service")) {
            const int signal = ending == "service stopped" ? SIGTERM : SIGKILL;
            QCOMPARE(stopService(signal), signal == SIGTERM ? 0 : -1);
            QCOMPARE(undone(), signal == SIGTERM);
            if (signal == SIGKILL && connect == toMain)
                QVERIFY(QTest::qWaitFor([&] { return processesRunning(mainEngine).isEmpty(); }, 10000));
            startService();
            QVERIFY2(undone(), qPrintable(changes().out));
            QCOMPARE(connectionState(), "disconnected");
        } else {
            QCOMPARE(qorctl({"disconnect"}).exitCode, 0);
            QVERIFY2(undone(10000), qPrintable(changes().out));
        }
        QCOMPARE(whoAmI(), direct);
        if (resolved && connect == toReserve && ending != "service killed")
            QCOMPARE(resolved->calls.last(), "RevertLink " + linkAtEnd);
    }

    // A refusal names its channel and reason and leaves nothing behind (the main documents'
    // reasons: test_service refusals). wireguard-go only in a scratch folder: ending at once, or absent.
    void unusableConfigurationsFailWithTheirReasons_data()
    {
        QTest::addColumn<QJsonObject>("main");
        QTest::addColumn<QStringList>("reserve");
        QTest::addColumn<QString>("service"); // empty: the usual one
        QTest::addColumn<QStringList>("reason");
        const auto ofMain = [](const QString &reason) { return QStringList{"Основной канал не подключился", reason}; };
        const auto ofReserve = [](const QString &reason) { return QStringList{"Резервный канал не подключился", reason}; };
        const QStringList working{reserveConfig("192.0.2.2:51820")};
        QJsonObject reality = vless("r", 10086);
        reality.insert("streamSettings", QJsonObject{{"security", "reality"}, {"realitySettings", QJsonObject{{"publicKey", "k"}}}});
        QTest::newRow("main: REALITY on v2ray") << document("Qor AI Network", {reality}) << QStringList() << ""
                                                << ofMain("«reality» не поддерживается ядром v2ray — установите xray");
        QTest::newRow("reserve: silent server") << balancer << QStringList{reserveConfig("192.0.2.2:51999")} << "" << ofReserve("не ответил за 3 с");
        QTest::newRow("reserve: key of the wrong length") << balancer << QStringList{reserveConfig("192.0.2.2:51820").replace(nearPrivate, "c2hvcnQ=")} << ""
                                                          << ofReserve("неверный ключ PrivateKey");
        QTest::newRow("reserve: unresolvable endpoint") << balancer << QStringList{reserveConfig("nowhere.invalid:51820")} << ""
                                                        << ofReserve("адрес сервера «nowhere.invalid» не найден");
        if (!QFileInfo::exists("/usr/bin/amneziawg-go"))
            QTest::newRow("reserve: AmneziaWG") << balancer << QStringList{reserveConfig("192.0.2.2:51820", "Jc = 4\nJmin = 40\nJmax = 70\nH1 = 5")}
                                                << "" << ofReserve("AmneziaWG (amneziawg-go)");
        QTest::newRow("reserve: engine ends at once") << balancer << working << "engine ends at once"
                                                      << QStringList{"движок wireguard-go не запустился"};
        QTest::newRow("reserve: engine absent") << balancer << working << "engine absent"
                                                << QStringList{"не установлен движок резервного канала wireguard-go"};
        QTest::newRow("no service") << balancer << working << "none" << QStringList{"служба туннелей qor-connectd"};
    }

    void unusableConfigurationsFailWithTheirReasons()
    {
        QFETCH(QJsonObject, main);
        QFETCH(QStringList, reserve);
        QFETCH(QString, service);
        QFETCH(QStringList, reason);
        if (!service.isEmpty()) {
            const QString engines = cli->home() + "/engines";
            QDir(engines).removeRecursively();
            QDir().mkpath(engines);
            QVERIFY(service != "engine ends at once" || QFile::copy("/bin/false", engines + "/wireguard-go"));
            QStringList path{engines};
            for (const QString dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
                if (!QFileInfo::exists(dir + "/wireguard-go"))
                    path << dir;
            }
            stopService();
            if (service != "none")
                startService({"--engine-path", path.join(':')});
        }
        const auto usualService = qScopeGuard([&] {
            if (!service.isEmpty())
                stopService(); // cleanup() starts the usual one
        });
        offer(main, reserve);
        const CliResult failed = qorctl(reserve.isEmpty() ? toMain : toReserve);
        QCOMPARE(failed.exitCode, 1);
        for (const QString &part : reason)
            QVERIFY2(failed.err.contains(part), failed.describe());
        QCOMPARE(connectionState(), "disconnected");
        QVERIFY2(undone(), qPrintable(changes().out));
    }

    // The cascade's SOCKS hop reaches the stand-in Tavrin client, whose entry stays outside the tunnel.
    void cascadeThroughTheTavrinClient()
    {
        const auto staying = cli->start({"connect", "--mode", "tavrin", "--stay", "--stop-on-exit"});
        QString seen;
        QVERIFY2(CliProcess::waitForOutput(*staying, QProcess::StandardOutput, "Подключено", seen), qPrintable(seen));
        QCOMPARE(whoAmI(), viaCascade);
        QCOMPARE(whoAmI("192.0.2.41"), direct);
        staying->terminate();
        QVERIFY(staying->waitForFinished(20000));
        // The client outlives a stop for now; the test ends it.
        const QByteArray client = (CliProcess::buildDirectory() + "/bundle/Contents/Resources/kvb-client").toUtf8();
        sh(QStringLiteral("pkill --ns %1 --nslist net -f '^%2'").arg(::getpid()).arg(QString::fromUtf8(client)));
        QVERIFY(QTest::qWaitFor([&] { return processesRunning(client).isEmpty(); }, 10000));
        QVERIFY2(undone(10000), qPrintable(changes().out));
    }
};

QTEST_GUILESS_MAIN(TestTunnelsLive)
#include "test_tunnels_live.moc"
