// The main channel and the Tavrin cascade end to end with the real proxy core: the far
// side runs v2ray (VLESS on 192.0.2.2:10086 for the balancer and :10087 for a node, a
// SOCKS "Tavrin entry" on 192.0.2.41:8443), each leaving from its own address in
// 198.51.100.0/24, and a DNS server of its own on 203.0.113.53; the who-am-I server on
// 203.0.113.10 and 192.0.2.41 tells which way a request went.

#include "live_tunnel_bed.h"

#include <QJsonArray>
#include <QTcpSocket>
#include <QTemporaryFile>

using namespace qor;
using namespace qor::test;

namespace {

const QString userId = QStringLiteral("6f7f2a3e-8d1b-4c55-9a3e-0b6f7c1d2e3f");
const QString viaBalancer = QStringLiteral("198.51.100.2"), viaCascade = QStringLiteral("198.51.100.3"),
              viaNode = QStringLiteral("198.51.100.4"), direct = QStringLiteral("192.0.2.1");

QJsonObject vless(const QString &tag, int port)
{
    return QJsonObject{{"tag", tag},
                       {"protocol", "vless"},
                       {"settings", QJsonObject{{"vnext", QJsonArray{QJsonObject{
                                                              {"address", "192.0.2.2"},
                                                              {"port", port},
                                                              {"users", QJsonArray{QJsonObject{{"id", userId}, {"encryption", "none"}}}}}}}}}};
}

// The balancer: two outbounds to the same server behind a balancer, names looked up by the far DNS server.
QJsonObject balancerDocument()
{
    return QJsonObject{
        {"remarks", "Qor AI Network"},
        {"outbounds", QJsonArray{vless("a", 10086), vless("b", 10086)}},
        {"routing", QJsonObject{{"balancers", QJsonArray{QJsonObject{{"tag", "all"}, {"selector", QJsonArray{"a", "b"}}}}},
                                {"rules", QJsonArray{QJsonObject{{"type", "field"}, {"network", "tcp,udp"}, {"balancerTag", "all"}}}}}},
        {"dns", QJsonObject{{"servers", QJsonArray{"203.0.113.53"}}}}};
}

QJsonObject nodeDocument()
{
    return QJsonObject{{"remarks", "Узел"}, {"outbounds", QJsonArray{vless("proxy", 10087)}},
                       {"dns", QJsonObject{{"servers", QJsonArray{"203.0.113.53"}}}}};
}

const char *farCore = R"({"log": {"loglevel": "warning"},
  "inbounds": [
    {"tag": "balancer", "listen": "192.0.2.2", "port": 10086, "protocol": "vless", "settings": {"clients": [{"id": "%1"}], "decryption": "none"}},
    {"tag": "node", "listen": "192.0.2.2", "port": 10087, "protocol": "vless", "settings": {"clients": [{"id": "%1"}], "decryption": "none"}},
    {"tag": "entry", "listen": "192.0.2.41", "port": 8443, "protocol": "socks", "settings": {"auth": "noauth"}}],
  "outbounds": [
    {"tag": "via2", "protocol": "freedom", "settings": {"domainStrategy": "UseIPv4"}, "sendThrough": "198.51.100.2"},
    {"tag": "via4", "protocol": "freedom", "settings": {"domainStrategy": "UseIPv4"}, "sendThrough": "198.51.100.4"},
    {"tag": "via3", "protocol": "freedom", "settings": {"domainStrategy": "UseIPv4"}, "sendThrough": "198.51.100.3"}],
  "routing": {"rules": [{"type": "field", "inboundTag": ["node"], "outboundTag": "via4"},
                        {"type": "field", "inboundTag": ["entry"], "outboundTag": "via3"}]},
  "dns": {"servers": ["203.0.113.53"]}})";

} // namespace

class TestMainTunnelLive : public LiveTunnelBed {
    Q_OBJECT

    QTemporaryFile farConfig, dnsLog;

    // The account server hands out this balancer document (with the node) and company object from now on.
    void offerMain(const QJsonValue &balancer, const QJsonObject &qor = {})
    {
        QJsonObject answer = okAnswer({{"session_token", "tok-1"}, {"xray_configs", QJsonArray{balancer, nodeDocument()}}});
        if (!qor.isEmpty())
            answer.insert("qor", qor);
        server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(answer));
        server.setDefault(QStringLiteral("email/verify"), ScriptedAnswer::json(answer));
    }

    QString dnsQueries()
    {
        QFile log(dnsLog.fileName());
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    // What the far HTTP server answers to a BitTorrent handshake (an error page), empty when nothing came back.
    static QByteArray torrentHandshakeAnswer()
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("203.0.113.10"), 8080);
        if (!socket.waitForConnected(3000))
            return {};
        socket.write(QByteArray("\x13" "BitTorrent protocol") + QByteArray(8, '\0') + QByteArray(40, 'x') + "\r\n\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(2000))
            answer += socket.readAll();
        return answer;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (const QString reason = makeFarNamespace({"/usr/bin/v2ray", "/usr/sbin/dnsmasq"}); !reason.isEmpty())
            QSKIP(qPrintable(reason));
        buildFarSide({"203.0.113.10/32", "203.0.113.53/32", "198.51.100.2/32", "198.51.100.3/32", "198.51.100.4/32", "192.0.2.41/32"});
        if (QTest::currentTestFailed())
            return;
        QVERIFY(farConfig.open() && dnsLog.open());
        farConfig.write(QString::fromLatin1(farCore).arg(userId).toUtf8());
        farConfig.flush();
        spawn(farSide("v2ray -config").split(' ') << farConfig.fileName());
        spawn(farSide("dnsmasq --no-daemon --no-resolv --no-hosts --bind-interfaces --listen-address=203.0.113.53 "
                      "--address=/allowed.test/203.0.113.10 --address=/blocked.test/203.0.113.10 --log-queries")
                  .split(' ')
              << "--log-facility=" + dnsLog.fileName());
        makeCli(QStringLiteral("main"));
        QVERIFY(eventually([&] { return whoAmI() == direct; }));
        baseline = networkSnapshot();
        startService();
        offerMain(balancerDocument());
        server.enqueue(QStringLiteral("email/request"), ScriptedAnswer::json({{"status", "sent"}}));
        const CliResult login = qorctl({"login", "email", "user@example.com", "--code", "1234"});
        QVERIFY2(login.exitCode == 0, login.describe());
    }

    void cleanupTestCase()
    {
        // Stopped while its tunnel is up, the service takes it down and ends cleanly.
        if (cli && service)
            QCOMPARE(qorctl({"connect", "--mode", "main"}).exitCode, 0);
        tearDown();
    }

    void cleanup()
    {
        if (!service)
            startService();
        qorctl({"disconnect"});
        offerMain(balancerDocument());
    }

    void balancerAndNodeCarryTrafficAndEverythingIsUndone()
    {
        const CliResult connected = qorctl({"connect", "--mode", "main"});
        QVERIFY2(connected.exitCode == 0, connected.describe());
        QCOMPARE(whoAmI(), viaBalancer);
        // The service reads the capture's counters every second.
        QVERIFY(eventually([&] {
            const QJsonObject fresh = status();
            return fresh.value("sessionDownloadBytes").toDouble() > 0 && fresh.value("sessionUploadBytes").toDouble() > 0;
        }, 5000));
        QCOMPARE(qorctl({"disconnect"}).exitCode, 0);
        QVERIFY2(eventually([&] { return changesFrom(baseline).isEmpty(); }, 10000), qPrintable(changesFrom(baseline)));
        QCOMPARE(whoAmI(), direct);

        const CliResult node = qorctl({"connect", "--node", "192.0.2.2:10087"});
        QVERIFY2(node.exitCode == 0, node.describe());
        QCOMPARE(whoAmI(), viaNode);
    }

    // Names are resolved through the tunnel by the far DNS server; the company's rules hold.
    void companyRulesAndDnsGoThroughTheCore()
    {
        const QString until = QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate);
        offerMain(balancerDocument(),
                  QJsonObject{{"company", "Acme"},
                              {"session", QJsonObject{{"until", until}}},
                              {"policy", QJsonObject{{"block_domains", QJsonArray{"blocked.test"}},
                                                     {"allow_domains", QJsonArray{"allowed.test"}},
                                                     {"block_geosite", QJsonArray{}},
                                                     {"block_torrent", true}}}});
        QCOMPARE(qorctl({"status"}).exitCode, 0); // takes the company's rules
        QVERIFY(!torrentHandshakeAnswer().isEmpty());
        const CliResult connected = qorctl({"connect", "--mode", "main"});
        QVERIFY2(connected.exitCode == 0, connected.describe());
        QCOMPARE(whoAmI(QStringLiteral("allowed.test")), viaBalancer);
        QVERIFY(dnsQueries().contains(QStringLiteral("allowed.test from ") + viaBalancer));
        QCOMPARE(whoAmI(QStringLiteral("blocked.test")), QString());
        QCOMPARE(torrentHandshakeAnswer(), QByteArray());
        QCOMPARE(whoAmI(), viaBalancer);
    }

    // The cascade's SOCKS hop reaches the stand-in Tavrin client, whose entry stays outside the tunnel.
    void cascadeThroughTheTavrinClient()
    {
        cli->setEnv(QStringLiteral("QOR_KVB_LISTEN"), QStringLiteral("1"));
        cli->setEnv(QStringLiteral("QOR_KVB_RELAY"), QStringLiteral("1"));
        const auto unset = qScopeGuard([&] {
            cli->environment().remove(QStringLiteral("QOR_KVB_LISTEN"));
            cli->environment().remove(QStringLiteral("QOR_KVB_RELAY"));
        });
        const auto staying = cli->start({"connect", "--mode", "tavrin", "--stay", "--stop-on-exit"});
        QString seen;
        QVERIFY2(CliProcess::waitForOutput(*staying, QProcess::StandardOutput, QStringLiteral("Подключено"), seen), qPrintable(seen));
        QCOMPARE(whoAmI(), viaCascade);
        QCOMPARE(whoAmI(QStringLiteral("192.0.2.41")), direct);
        staying->terminate();
        QVERIFY(staying->waitForFinished(20000));
        // The client outlives a stop for now; the test ends it.
        const QByteArray client = (CliProcess::buildDirectory() + QStringLiteral("/bundle/Contents/Resources/kvb-client")).toUtf8();
        for (const qint64 pid : processesRunning(client))
            ::kill(pid_t(pid), SIGTERM);
        QVERIFY(eventually([&] { return processesRunning(client).isEmpty(); }, 10000));
        QVERIFY2(eventually([&] { return changesFrom(baseline).isEmpty(); }, 10000), qPrintable(changesFrom(baseline)));
    }

    void unusableDocumentsFailWithTheirReasons_data()
    {
        QTest::addColumn<QJsonValue>("balancer");
        QTest::addColumn<QString>("reason");
        QJsonObject reality = vless("r", 10086);
        reality.insert("streamSettings", QJsonObject{{"security", "reality"}, {"realitySettings", QJsonObject{{"publicKey", "k"}}}});
        QJsonObject farPort = vless("p", 10086);
        QJsonObject settings = farPort["settings"].toObject();
        QJsonArray vnext = settings["vnext"].toArray();
        QJsonObject first = vnext[0].toObject();
        first["port"] = 70000;
        vnext[0] = first;
        settings["vnext"] = vnext;
        farPort["settings"] = settings;
        auto document = [](const QJsonObject &outbound) {
            return QJsonValue(QJsonObject{{"remarks", "Qor AI Network"}, {"outbounds", QJsonArray{outbound}}});
        };
        QTest::newRow("REALITY on v2ray") << document(reality) << QStringLiteral("«reality» не поддерживается ядром v2ray — установите xray");
        QTest::newRow("port out of range") << document(farPort) << QStringLiteral("вне диапазона 1–65535");
        QTest::newRow("no proxy") << document(QJsonObject{{"protocol", "freedom"}}) << QStringLiteral("нет исходящего соединения через прокси-сервер");
    }

    void unusableDocumentsFailWithTheirReasons()
    {
        QFETCH(QJsonValue, balancer);
        QFETCH(QString, reason);
        offerMain(balancer);
        const CliResult failed = qorctl({"connect", "--mode", "main"});
        QCOMPARE(failed.exitCode, 1);
        QVERIFY2(failed.err.contains(QStringLiteral("Основной канал не подключился")) && failed.err.contains(reason), failed.describe());
        QCOMPARE(status().value("connectionState").toString(), QStringLiteral("disconnected"));
        QVERIFY2(changesFrom(baseline).isEmpty(), qPrintable(changesFrom(baseline)));
    }

    void aKilledCoreIsRestartedAndACrashedServiceCleanedUp()
    {
        QCOMPARE(qorctl({"connect", "--mode", "main"}).exitCode, 0);
        const QList<qint64> cores = processesRunning("/usr/bin/v2ray -config stdin:");
        QCOMPARE(cores.size(), 1);
        ::kill(pid_t(cores.first()), SIGKILL);
        QVERIFY(eventually([&] {
            const auto now = processesRunning("/usr/bin/v2ray -config stdin:");
            return now.size() == 1 && now != cores && status().value("connectionState") == QLatin1String("connected");
        }));
        QCOMPARE(whoAmI(), viaBalancer);

        stopService(SIGKILL);
        QVERIFY(!changesFrom(baseline).isEmpty()); // the crashed run's capture
        QVERIFY(eventually([&] { return processesRunning("/usr/bin/v2ray -config stdin:").isEmpty(); }, 10000));
        startService();
        QVERIFY2(changesFrom(baseline).isEmpty(), qPrintable(changesFrom(baseline)));
        QCOMPARE(whoAmI(), direct);
    }
};

QTEST_GUILESS_MAIN(TestMainTunnelLive)
#include "test_main_tunnel_live.moc"
