// Real TUN and TAP interfaces (root, in the wrapper's network namespace): the traffic
// monitor counts what crosses a TUN interface, and the tunnel bypass keeps connections
// off tunnel interfaces by binding them to the physical one with a default route.

#include "manual_clock.h"
#include "tunnel/platform/tunnel_bypass.h"
#include "tunnel/traffic_monitor.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace qor;
using namespace std::chrono_literals;

namespace {

bool ip(const QStringList &arguments)
{
    QProcess p;
    p.start("ip", arguments);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A TUN or TAP device without IPv6 (no router solicitations in the counters), up for
// as long as the object lives.
struct Device {
    int fd = -1;
    QString name;
    bool open(short kind, const char *pattern)
    {
        fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        ifreq ifr{};
        ifr.ifr_flags = short(kind | IFF_NO_PI);
        std::strncpy(ifr.ifr_name, pattern, IFNAMSIZ - 1);
        if (fd < 0 || ::ioctl(fd, TUNSETIFF, &ifr) != 0)
            return false;
        name = QString::fromLatin1(ifr.ifr_name);
        if (QFile ipv6("/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6"); ipv6.open(QIODevice::WriteOnly))
            ipv6.write("1"); // closed, so written, before the interface goes up
        return ip({"link", "set", name, "up"});
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    ~Device() { close(); }
};

// A UDP packet from 198.51.100.9 to 203.0.113.9 of this size, as the far side would send it.
QByteArray ipv4Packet(int size)
{
    QByteArray p(size, '\0');
    const unsigned char header[20] = {0x45, 0, quint8(size >> 8), quint8(size), 0, 0, 0, 0, 64, IPPROTO_UDP, 0, 0, 198, 51, 100, 9, 203, 0, 113, 9};
    std::memcpy(p.data(), header, sizeof header);
    return p;
}

} // namespace

class TestTunInterfaces : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("interfaces and routes need root");
        QFile routes("/proc/net/route");
        if (!routes.open(QIODevice::ReadOnly) || routes.readAll().count('\n') > 1 || !LinuxTunnelBypass::tunnelInterfacesUp().isEmpty())
            QSKIP("not in a private network namespace of the test's own");
    }

    void trafficMonitorCountsRealTunnelTraffic()
    {
        Device tun;
        if (!tun.open(IFF_TUN, "utun%d"))
            QSKIP("no TUN devices here");
        QVERIFY(ip({"addr", "add", "10.77.0.1/24", "dev", tun.name}));
        ManualClock clock;
        ProcNetDevCounters kernel("/proc/net/dev", "utun");
        TrafficMonitor monitor(clock, kernel);
        QVERIFY(monitor.readCounters().contains(tun.name));
        monitor.start();
        monitor.beginSession();

        // Inbound: packets written into the interface are received by the kernel.
        const QByteArray packet = ipv4Packet(1400);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(::write(tun.fd, packet.constData(), size_t(packet.size())), ssize_t(packet.size()));
        // Outbound: datagrams routed to the interface, taken off it by us.
        const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        ::inet_pton(AF_INET, "10.77.0.2", &to.sin_addr);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(::sendto(udp, QByteArray(100, 'x').constData(), 100, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), ssize_t(100));
        ::close(udp);
        // Everything taken off the interface counts as sent, ours and any chatter of the kernel's that came first.
        qint64 taken = 0;
        for (int ours = 0; ours < 3;) {
            pollfd p{tun.fd, POLLIN, 0};
            QVERIFY(::poll(&p, 1, 5000) == 1);
            unsigned char buffer[2048];
            const ssize_t n = ::read(tun.fd, buffer, sizeof buffer);
            QVERIFY(n > 0);
            taken += n;
            ours += n == 128 && (buffer[0] >> 4) == 4 && buffer[9] == IPPROTO_UDP ? 1 : 0;
        }

        clock.advance(1s);
        QCOMPARE(monitor.downloadBytesPerSecond(), quint64(5 * 1400));
        QCOMPARE(monitor.uploadBytesPerSecond(), quint64(taken));
        QCOMPARE(monitor.sessionDownloadBytes(), quint64(5 * 1400));
        clock.advance(1s); // a quiet second
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u);
        QCOMPARE(monitor.sessionUploadBytes(), quint64(taken));
    }

    void bypassTakesThePhysicalPathWhileATunnelIsUp()
    {
        const LinuxTunnelBypass bypass;
        const QHostAddress remote("198.51.100.7");
        QCOMPARE(bypass.decide(remote), PathDecision{});
        Device tun, tap;
        if (!tun.open(IFF_TUN, "utun%d") || !tap.open(IFF_TAP, "qtap%d"))
            QSKIP("no TUN or TAP devices here");
        QVERIFY(LinuxTunnelBypass::isTunnelInterface(tun.name));
        QVERIFY(LinuxTunnelBypass::isTunnelInterface(tap.name));
        QVERIFY(!LinuxTunnelBypass::isTunnelInterface("lo"));
        QVERIFY(!LinuxTunnelBypass::isTunnelInterface("no-such-if"));
        const QStringList up = LinuxTunnelBypass::tunnelInterfacesUp();
        QCOMPARE(QSet<QString>(up.begin(), up.end()), (QSet<QString>{tun.name, tap.name}));
        tap.close();
        QTRY_COMPARE(LinuxTunnelBypass::tunnelInterfacesUp(), QStringList{tun.name});
        // A tunnel and no physical default route: no path that keeps the rule.
        QCOMPARE(bypass.decide(remote).kind, PathDecision::NoPhysicalPath);
        QCOMPARE(bypass.decide(QHostAddress::LocalHost), PathDecision{}); // this host is always reached directly

        if (!ip({"link", "add", "qeth0", "type", "veth", "peer", "name", "qeth1"}))
            QSKIP("no veth devices here");
        QVERIFY(!LinuxTunnelBypass::isTunnelInterface("qeth0"));
        for (const QStringList &command : {QStringList{"link", "set", "qeth1", "up"}, {"link", "set", "qeth0", "up"},
                                           {"addr", "add", "192.0.2.2/24", "dev", "qeth0"}, {"addr", "add", "172.19.0.1/30", "dev", tun.name},
                                           // The tunnel's default route is preferred by metric; it is still never chosen.
                                           {"route", "add", "default", "dev", tun.name, "metric", "5"},
                                           {"route", "add", "default", "via", "192.0.2.1", "dev", "qeth0", "metric", "100"}})
            QVERIFY2(ip(command), qPrintable(command.join(' ')));
        QCOMPARE(bypass.decide(remote), (PathDecision{PathDecision::BindToDevice, "qeth0"}));
        QCOMPARE(LinuxTunnelBypass::physicalDefaultInterface(QAbstractSocket::IPv4Protocol), "qeth0");

        // Without the tunnel no binding is needed.
        tun.close();
        QTRY_VERIFY(LinuxTunnelBypass::tunnelInterfacesUp().isEmpty());
        QCOMPARE(bypass.decide(remote), PathDecision{});
        ip({"link", "del", "qeth0"});
    }
};

QTEST_GUILESS_MAIN(TestTunInterfaces)
#include "test_tun_interfaces.moc"
