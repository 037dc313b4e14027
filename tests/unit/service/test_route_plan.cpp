#include "service/route_plan.h"

#include <QCoroTask>
#include <QTest>

using namespace qor::service;

namespace {

const EnginePaths paths = [] {
    EnginePaths p;
    p.ip = QStringLiteral("/sbin/ip");
    p.nft = QStringLiteral("/sbin/nft");
    return p;
}();
const QString testLink = QStringLiteral("qor-test");

QList<IpPrefix> prefixes(const QStringList &texts)
{
    QList<IpPrefix> result;
    for (const QString &text : texts)
        result.append({QHostAddress(text.section('/', 0, 0)), text.section('/', 1).toInt()});
    return result;
}

WgQuickConfig config(const QStringList &addresses, const QStringList &allowedIps)
{
    WgQuickConfig config;
    config.addresses = prefixes(addresses);
    WgQuickPeer peer;
    peer.allowedIps = prefixes(allowedIps);
    config.peers = {peer};
    return config;
}

// Each command as "ip|nft arg…" (the program's directory dropped), mayFail as a trailing "?".
QStringList texts(const QList<SystemCommand> &commands)
{
    QStringList result;
    for (const auto &command : commands)
        result.append(command.text().mid(QStringLiteral("/sbin/").size()) + (command.mayFail ? "?" : ""));
    return result;
}

} // namespace

class TestRoutePlan : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultRoutesOfBothFamilies()
    {
        auto wg = config({"10.0.0.2/32", "fd00::2/128"}, {"0.0.0.0/0", "::/0"});
        wg.mtu = 1280;
        const auto plan = route_plan::forConfig(wg, testLink, paths);
        QCOMPARE(texts(plan.apply), (QStringList{
            "ip -4 address add 10.0.0.2/32 dev qor-test",
            "ip -6 address add fd00::2/128 dev qor-test",
            "ip link set mtu 1280 up dev qor-test",
            "ip -4 rule add not fwmark 51888 table 51888 priority 31101",
            "ip -4 rule add table main suppress_prefixlength 0 priority 31100",
            "ip -4 route add 0.0.0.0/0 dev qor-test table 51888",
            "nft -f -",
            "ip -6 rule add not fwmark 51888 table 51888 priority 31101",
            "ip -6 rule add table main suppress_prefixlength 0 priority 31100",
            "ip -6 route add ::/0 dev qor-test table 51888",
            "nft -f -",
        }));
        const QString ipv4Script = QString::fromUtf8(plan.apply[6].input);
        const QString ipv6Script = QString::fromUtf8(plan.apply[10].input);
        QVERIFY(ipv4Script.startsWith("add table ip qor-connectd\n"));
        QVERIFY(ipv4Script.contains("add rule ip qor-connectd preraw iifname != \"qor-test\" ip daddr 10.0.0.2"
                                    " fib saddr type != local drop\n"));
        QVERIFY(ipv4Script.contains("postmangle meta l4proto udp mark 51888 ct mark set mark\n"));
        QVERIFY(!ipv4Script.contains("fd00"));
        QVERIFY(ipv6Script.contains("preraw iifname != \"qor-test\" ip6 daddr fd00::2 fib"));
        QVERIFY(!ipv6Script.contains("10.0.0.2"));
        // Without a strict reverse-path filter nothing needs connection tracking.
        const QString untracked = QString::fromUtf8(route_plan::forConfig(wg, testLink, paths, false).apply[6].input);
        QVERIFY(untracked.contains("preraw") && !untracked.contains("ct mark"));

        QCOMPARE(texts(plan.undo), (QStringList{
            "nft delete table ip6 qor-connectd?", "ip -6 route flush table 51888?",
            "ip -6 rule del priority 31100?", "ip -6 rule del priority 31101?",
            "nft delete table ip qor-connectd?", "ip -4 route flush table 51888?",
            "ip -4 rule del priority 31100?", "ip -4 rule del priority 31101?",
        }));

        const auto withoutNft = route_plan::forConfig(wg, testLink, [] { EnginePaths p; p.ip = paths.ip; return p; }());
        QCOMPARE(withoutNft.apply.size(), plan.apply.size() - 2);
        QVERIFY(std::none_of(withoutNft.undo.begin(), withoutNft.undo.end(),
                             [](const auto &command) { return command.program.isEmpty(); }));
    }

    void mainTableRoutes_data()
    {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QStringList>("allowedIps");
        QTest::addColumn<QStringList>("routes");
        QTest::newRow("longest prefix first") << QStringList{"10.0.0.2/32"} << QStringList{"10.0.0.0/8", "192.0.2.0/24"}
                                              << QStringList{"192.0.2.0/24", "10.0.0.0/8"};
        QTest::newRow("host bits, duplicates") << QStringList{"10.0.0.2/32"}
                                               << QStringList{"10.1.2.3/8", "10.0.0.0/8", "2001:db8::1/32"}
                                               << QStringList{"2001:db8::/32", "10.0.0.0/8"};
        QTest::newRow("inside the address's subnet")
            << QStringList{"10.8.0.2/24", "fd00::2/64"}
            << QStringList{"10.8.0.0/24", "10.8.0.1/32", "10.9.0.0/16", "fd00::1/128"} << QStringList{"10.9.0.0/16"};
    }

    void mainTableRoutes()
    {
        QFETCH(QStringList, addresses);
        QFETCH(QStringList, allowedIps);
        QFETCH(QStringList, routes);
        const auto plan = route_plan::forConfig(config(addresses, allowedIps), testLink, paths);
        QStringList added, deleted;
        for (const QString &route : routes) {
            const QString family = route.contains(':') ? "-6" : "-4";
            added.append(QString("ip %1 route add %2 dev qor-test").arg(family, route));
            deleted.prepend(QString("ip %1 route del %2 dev qor-test?").arg(family, route));
        }
        QCOMPARE(texts(plan.apply).mid(addresses.size() + 1), added);
        QCOMPARE(texts(plan.undo), deleted);
        QCOMPARE(plan.apply.constLast().program, paths.ip); // no nft
    }

    void leftovers()
    {
        QCOMPARE(texts(route_plan::leftovers(testLink, paths)), (QStringList{
            "ip link del dev qor-test?",
            "ip -4 rule del priority 31100?", "ip -4 rule del priority 31101?", "ip -4 route flush table 51888?",
            "ip -6 rule del priority 31100?", "ip -6 rule del priority 31101?", "ip -6 route flush table 51888?",
            "nft delete table ip qor-connectd?", "nft delete table ip6 qor-connectd?",
        }));
    }

    void runCommand_data()
    {
        QTest::addColumn<SystemCommand>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("standardError");
        QTest::newRow("stdin written and closed") << SystemCommand{"/bin/cat", {}, "line\n"} << 0 << QByteArray();
        QTest::newRow("stdin reaches it") << SystemCommand{"/bin/grep", {"-qx", "line"}, "line\n"} << 0 << QByteArray();
        QTest::newRow("exit code") << SystemCommand{"/bin/grep", {"-qx", "line"}, "other\n"} << 1 << QByteArray();
        QTest::newRow("stderr kept") << SystemCommand{"/bin/cat", {"/nonexistent/qor-test"}, {}} << 1
                                     << QByteArray("No such file");
        QTest::newRow("missing program") << SystemCommand{"/nonexistent/qor-test", {}, {}} << -1
                                         << QByteArray("No such file");
    }

    void runCommand()
    {
        QFETCH(SystemCommand, command);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, standardError);
        const auto result = QCoro::waitFor(qor::service::runCommand(command));
        QCOMPARE(result.ok, exitCode == 0);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.standardError.contains(standardError), result.standardError.constData());
    }

    void runCommandsStopsAtFirstRealFailure()
    {
        const SystemCommand missing{"/nonexistent/qor-test", {}, {}};
        SystemCommand missingMayFail = missing;
        missingMayFail.mayFail = true;
        const auto result = QCoro::waitFor(runCommands({missingMayFail, {"/bin/false", {}, {}}, missing}));
        QVERIFY(!result.ok);
        QCOMPARE(result.exitCode, 1); // neither missing program's -1
        QVERIFY(QCoro::waitFor(runCommands({missingMayFail, {"/bin/true", {}, {}}})).ok);
    }
};

QTEST_GUILESS_MAIN(TestRoutePlan)
#include "test_route_plan.moc"
