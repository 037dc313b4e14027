// The test bed of the real-tunnel tests: qor-connectd on a private bus, qorctl against a
// scripted account server, and a far side in a network namespace of its own joined to
// this one by a veth pair (192.0.2.1 here, 192.0.2.2 there). The far side's servers
// answer with the caller's address, so a test sees which way its traffic went.
#pragma once

#include "../cli/cli_process.h"

#include "app_fixture.h"
#include "demo/account_server.h"

#include <QDirIterator>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace qor::test {

// Runs a command to its end; its standard output.
inline QString sh(const QStringList &command, int *exitCode = nullptr, const QByteArray &input = {})
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
inline QString networkSnapshot()
{
    QString text;
    for (const QStringList &command : {QStringList{"ip", "-o", "link"}, {"ip", "-o", "address"}, {"ip", "rule"},
                                       {"ip", "-6", "rule"}, {"ip", "route", "show", "table", "all"},
                                       {"ip", "-6", "route", "show", "table", "all"}, {"nft", "list", "ruleset"}})
        text += command.join(' ') + QLatin1Char('\n') + sh(command);
    return text;
}

// The lines of the snapshot that differ from the baseline, marked - and +.
inline QString changesFrom(const QString &baseline)
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

// The network namespace of a process, as the kernel names it ("net:[…]").
inline QByteArray networkNamespace(const QString &process)
{
    char target[64] = {};
    const ssize_t length = ::readlink(QFile::encodeName(QStringLiteral("/proc/") + process + QStringLiteral("/ns/net")).constData(),
                                      target, sizeof target - 1);
    return length > 0 ? QByteArray(target, length) : QByteArray();
}

// The process ids, in this network namespace, whose command line starts with this.
inline QList<qint64> processesRunning(const QByteArray &commandLine)
{
    const QByteArray here = networkNamespace(QStringLiteral("self"));
    QList<qint64> pids;
    QDirIterator it(QStringLiteral("/proc"));
    while (it.hasNext()) {
        const QString path = it.next();
        bool ok = false;
        const qint64 pid = it.fileName().toLongLong(&ok);
        QFile cmdline(path + QStringLiteral("/cmdline"));
        if (ok && networkNamespace(it.fileName()) == here && cmdline.open(QIODevice::ReadOnly)
            && cmdline.readAll().replace('\0', ' ').trimmed().startsWith(commandLine))
            pids << pid;
    }
    return pids;
}

// Waits (the event loop running) until check() holds or the limit passes.
inline bool eventually(const std::function<bool()> &check, int limitMs = 30000)
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

// A far-side HTTP server answering every GET with the caller's address.
inline const char *whoAmIServer = "import http.server as h,sys\n"
                                  "class H(h.BaseHTTPRequestHandler):\n"
                                  "  def do_GET(s):\n"
                                  "    b=s.client_address[0].encode(); s.send_response(200); s.send_header('Content-Length',str(len(b))); s.end_headers(); s.wfile.write(b)\n"
                                  "  def log_message(s,*a): pass\n"
                                  "h.ThreadingHTTPServer(('0.0.0.0',int(sys.argv[1])),H).serve_forever()\n";

class LiveTunnelBed : public QObject {
protected:
    QString far;
    std::vector<std::unique_ptr<QProcess>> helpers; // far engines and servers, the bus
    std::unique_ptr<QProcess> service;
    QString busAddress;
    AccountServer server;
    std::unique_ptr<CliProcess> cli;
    QString baseline;

    // Also when a failed start-up skipped the teardown.
    ~LiveTunnelBed() override
    {
        if (!far.isEmpty())
            sh({"ip", "netns", "del", far});
    }

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

    // Makes the far side's network namespace; the reason it cannot be made here (no root,
    // a missing tool — the test names those it needs — or no namespaces), else empty.
    QString makeFarNamespace(const QStringList &tools)
    {
        if (::geteuid() != 0)
            return QStringLiteral("real tunnels need root (CI runs as root)");
        for (const QString &tool : tools + QStringList{"/usr/sbin/ip", "/usr/sbin/nft", "/usr/bin/dbus-daemon"}) {
            if (!QFileInfo(tool).isExecutable())
                return QStringLiteral("missing ") + tool;
        }
        far = QStringLiteral("qorfar%1").arg(::getpid());
        int code = 0;
        sh({"ip", "netns", "add", far}, &code);
        if (code != 0) {
            far.clear();
            return QStringLiteral("cannot make a network namespace here");
        }
        return {};
    }

    // The veth pair, the far side's extra addresses on its loopback, and a who-am-I
    // server on port 8080 of all of them; then the bus and the account server.
    void buildFarSide(const QStringList &farAddresses)
    {
        QStringList setup = {
            "ip link add qv0 type veth peer name qv1 netns " + far,
            // No IPv6 on the wire: its link-local address would still be settling when
            // the namespace's state is first recorded.
            "sysctl -qw net.ipv6.conf.qv0.disable_ipv6=1",
            "ip address add 192.0.2.1/24 dev qv0", "ip link set qv0 up",
            "ip route add default via 192.0.2.2",
            farSide("ip address add 192.0.2.2/24 dev qv1"), farSide("ip link set qv1 up"), farSide("ip link set lo up"),
        };
        for (const QString &address : farAddresses)
            setup << farSide(QStringLiteral("ip address add ") + address + QStringLiteral(" dev lo"));
        for (const QString &command : setup) {
            int code = 0;
            sh(command.split(' '), &code);
            QVERIFY2(code == 0, qPrintable(command));
        }
        spawn(farSide("python3 -c").split(' ') << whoAmIServer << "8080");

        QProcess *bus = spawn({"dbus-daemon", "--config-file=" + CliProcess::sourceDirectory() + "/tests/support/empty-session-bus.conf",
                               "--print-address=1", "--nofork"});
        QVERIFY(bus->waitForReadyRead(10000));
        busAddress = QString::fromUtf8(bus->readLine()).trimmed();
        QVERIFY(server.listen());
    }

    // qorctl for this bed: its account server, its bus, and connectivity probes answered
    // by the far who-am-I server.
    void makeCli(const QString &caseName)
    {
        cli = std::make_unique<CliProcess>(caseName);
        cli->setEnv(QStringLiteral("QOR_API_BASE"), server.baseUrl().toString());
        cli->setEnv(QStringLiteral("QOR_PROBE_URLS"), QStringLiteral("http://203.0.113.10:8080/"));
        cli->setEnv(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
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

    // Stops the service (which must take its tunnel down), checks nothing is left, ends the far side.
    void tearDown()
    {
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

    // What a far HTTP server saw as our address, or empty when it did not answer.
    QString whoAmI(const QString &host = QStringLiteral("203.0.113.10"))
    {
        QNetworkAccessManager network;
        QNetworkRequest request(QUrl(QStringLiteral("http://%1:8080/").arg(host)));
        request.setTransferTimeout(5000);
        std::unique_ptr<QNetworkReply> reply(network.get(request));
        QEventLoop loop;
        connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        return QString::fromUtf8(reply->readAll()).trimmed();
    }

    CliResult qorctl(const QStringList &arguments, int limitMs = 60000) { return cli->run(arguments, {}, limitMs); }
    QJsonObject status() { return qorctl({"status", "--json"}).json(); }
};

} // namespace qor::test
