// The commands that set up and take down the reserve channel's routes and the main
// channel's capture, and how they are run. nftables checks the capture script (never
// applied) in a private network namespace.

#include "service/capture_plan.h"
#include "service/route_plan.h"

#include <QCoroTask>
#include <QProcess>
#include <QTest>

#include <unistd.h>

using namespace qor::service;

namespace {

const EnginePaths paths{"/sbin/ip", "/sbin/nft", {}, {}, {}, {}, {}};
const QString testLink = QStringLiteral("qor-test");

capture_plan::Settings captureSettings()
{
    capture_plan::Settings s;
    s.servers = {QHostAddress("192.0.2.2"), QHostAddress("2001:db8::2")};
    s.bypass = {QHostAddress("198.51.100.7")};
    return s;
}

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
    config.peers = {WgQuickPeer{{}, {}, {}, 0, prefixes(allowedIps), 0}};
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

class TestRoutingPlans : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultRoutesOfBothFamilies()
    {
        auto wg = config({"10.0.0.2/32", "fd00::2/128"}, {"0.0.0.0/0", "::/0"});
        wg.mtu = 1280;
        const auto plan = route_plan::forConfig(wg, testLink, paths);
        QCOMPARE(texts(plan.apply), (QStringList{
            "ip -4 address add 10.0.0.2/32 dev qor-test", "ip -6 address add fd00::2/128 dev qor-test", "ip link set mtu 1280 up dev qor-test",
            "ip -4 rule add not fwmark 51888 table 51888 priority 31101", "ip -4 rule add table main suppress_prefixlength 0 priority 31100",
            "ip -4 route add 0.0.0.0/0 dev qor-test table 51888", "nft -f -",
            "ip -6 rule add not fwmark 51888 table 51888 priority 31101", "ip -6 rule add table main suppress_prefixlength 0 priority 31100",
            "ip -6 route add ::/0 dev qor-test table 51888", "nft -f -"}));
        const QString ipv4Script = QString::fromUtf8(plan.apply[6].input);
        const QString ipv6Script = QString::fromUtf8(plan.apply[10].input);
        QVERIFY(ipv4Script.startsWith("add table ip qor-connectd\n") && !ipv4Script.contains("fd00"));
        QVERIFY(ipv4Script.contains("add rule ip qor-connectd preraw iifname != \"qor-test\" ip daddr 10.0.0.2 fib saddr type != local drop\n"));
        QVERIFY(ipv4Script.contains("postmangle meta l4proto udp mark 51888 ct mark set mark\n"));
        QVERIFY(ipv6Script.contains("preraw iifname != \"qor-test\" ip6 daddr fd00::2 fib") && !ipv6Script.contains("10.0.0.2"));
        // Without a strict reverse-path filter nothing needs connection tracking.
        const QString untracked = QString::fromUtf8(route_plan::forConfig(wg, testLink, paths, false).apply[6].input);
        QVERIFY(untracked.contains("preraw") && !untracked.contains("ct mark"));

        QCOMPARE(texts(plan.undo), (QStringList{"nft delete table ip6 qor-connectd?", "ip -6 route flush table 51888?",
                                                "ip -6 rule del priority 31100?", "ip -6 rule del priority 31101?",
                                                "nft delete table ip qor-connectd?", "ip -4 route flush table 51888?",
                                                "ip -4 rule del priority 31100?", "ip -4 rule del priority 31101?"}));

        const auto withoutNft = route_plan::forConfig(wg, testLink, EnginePaths{paths.ip, {}, {}, {}, {}, {}, {}});
        QCOMPARE(withoutNft.apply.size(), plan.apply.size() - 2);
        QVERIFY(std::none_of(withoutNft.undo.begin(), withoutNft.undo.end(),
                             [](const auto &command) { return command.program.isEmpty(); }));
    }

    // Only prefixes outside the tunnel address's own subnet get a route, longest first,
    // host bits cleared and duplicates dropped; the undo deletes them in reverse.
    void mainTableRoutes()
    {
        const struct { QStringList addresses, allowedIps, routes; } rows[] = {
            {{"10.0.0.2/32"}, {"10.0.0.0/8", "192.0.2.0/24"}, {"192.0.2.0/24", "10.0.0.0/8"}},
            {{"10.0.0.2/32"}, {"10.1.2.3/8", "10.0.0.0/8", "2001:db8::1/32"}, {"2001:db8::/32", "10.0.0.0/8"}},
            {{"10.8.0.2/24", "fd00::2/64"}, {"10.8.0.0/24", "10.8.0.1/32", "10.9.0.0/16", "fd00::1/128"}, {"10.9.0.0/16"}}};
        for (const auto &row : rows) {
            const auto plan = route_plan::forConfig(config(row.addresses, row.allowedIps), testLink, paths);
            QStringList added, deleted;
            for (const QString &route : row.routes) {
                const QString family = route.contains(':') ? "-6" : "-4";
                added.append(QString("ip %1 route add %2 dev qor-test").arg(family, route));
                deleted.prepend(QString("ip %1 route del %2 dev qor-test?").arg(family, route));
            }
            QCOMPARE(texts(plan.apply).mid(row.addresses.size() + 1), added);
            QCOMPARE(texts(plan.undo), deleted);
            QCOMPARE(plan.apply.constLast().program, paths.ip); // no nft
        }
    }

    void leftovers()
    {
        QCOMPARE(texts(route_plan::leftovers(testLink, paths)),
                 (QStringList{"ip link del dev qor-test?", "ip -4 rule del priority 31100?", "ip -4 rule del priority 31101?",
                              "ip -4 route flush table 51888?", "ip -6 rule del priority 31100?", "ip -6 rule del priority 31101?",
                              "ip -6 route flush table 51888?", "nft delete table ip qor-connectd?", "nft delete table ip6 qor-connectd?"}));
    }

    // What capture leaves outside; the core's own packets are never marked, DNS always is.
    void captureLeavesOutsideAndCounts()
    {
        const QString script = QString::fromUtf8(capture_plan::nftScript(captureSettings()));
        for (const char *outside : {"127.0.0.0/8", "192.168.0.0/16", "192.0.2.2", "198.51.100.7", "fe80::/10", "2001:db8::2"})
            QVERIFY2(script.contains(QLatin1String(outside)), outside);
        QVERIFY(script.contains("meta skgid 51889 goto core") && script.contains("meta mark 51889 goto core"));
        QVERIFY(script.indexOf("th dport 53") < script.indexOf("ip daddr @outside4 return"));
        const auto plan = capture_plan::forSettings(captureSettings(), paths);
        QCOMPARE(plan.apply.first().arguments.join(' '), "-4 rule add fwmark 51890 table 51890 priority 31200");
        QCOMPARE(plan.apply.last().input, capture_plan::nftScript(captureSettings()));
        QVERIFY(std::all_of(plan.undo.begin(), plan.undo.end(), [](const SystemCommand &c) { return c.mayFail; }));
    }

    void nftablesAcceptsTheCaptureScript()
    {
        if (::geteuid() != 0 || !QFile::exists("/usr/sbin/nft"))
            QSKIP("checking an nftables script needs root and nft");
        QProcess nft;
        nft.setProcessChannelMode(QProcess::MergedChannels);
        nft.start("unshare", {"-n", "/usr/sbin/nft", "-c", "-f", "-"});
        nft.write(capture_plan::nftScript(captureSettings()));
        nft.closeWriteChannel();
        QVERIFY(nft.waitForFinished(20000));
        QVERIFY2(nft.exitCode() == 0, nft.readAll().constData());
    }

    // Input is written and closed, the exit code and standard error kept; a program
    // that cannot start is -1.
    void runCommand()
    {
        const std::tuple<SystemCommand, int, QByteArray> rows[] = {
            {{"/bin/cat", {}, "line\n"}, 0, ""}, {{"/bin/grep", {"-qx", "line"}, "line\n"}, 0, ""},
            {{"/bin/grep", {"-qx", "line"}, "other\n"}, 1, ""}, {{"/bin/cat", {"/nonexistent/qor-test"}, {}}, 1, "No such file"},
            {{"/nonexistent/qor-test", {}, {}}, -1, "No such file"}};
        for (const auto &[command, exitCode, standardError] : rows) {
            const auto result = QCoro::waitFor(qor::service::runCommand(command));
            QVERIFY2(result.ok == (exitCode == 0) && result.exitCode == exitCode, qPrintable(command.text()));
            QVERIFY2(result.standardError.contains(standardError), result.standardError.constData());
        }
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

QTEST_GUILESS_MAIN(TestRoutingPlans)
#include "test_routing_plans.moc"
