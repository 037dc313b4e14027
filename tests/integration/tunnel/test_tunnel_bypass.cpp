#include "tunnel/platform/tunnel_bypass.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qor;

namespace {

bool ip(const QStringList &arguments)
{
    QProcess p;
    p.start(QStringLiteral("ip"), arguments);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A TUN or TAP device, up, for as long as the object lives.
struct Device {
    int fd = -1;
    QString name;
    bool open(short kind)
    {
        fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct ifreq ifr {};
        ifr.ifr_flags = short(kind | IFF_NO_PI);
        std::strncpy(ifr.ifr_name, kind == IFF_TUN ? "utun%d" : "qtap%d", IFNAMSIZ - 1);
        if (::ioctl(fd, TUNSETIFF, &ifr) != 0)
            return false;
        name = QString::fromLatin1(ifr.ifr_name);
        return ip({"link", "set", name, "up"});
    }
    ~Device()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Only inside a network namespace of the test's own: the wrapper makes one for root.
bool privateNamespace()
{
    QFile routes(QStringLiteral("/proc/net/route"));
    if (!routes.open(QIODevice::ReadOnly))
        return false;
    return routes.readAll().count('\n') <= 1 && LinuxTunnelBypass::tunnelInterfacesUp().isEmpty();
}

} // namespace

class TestTunnelBypass : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("interfaces and routes need root");
        if (!privateNamespace())
            QSKIP("not in a private network namespace of the test's own");
    }

    void physicalPathWhileATunnelIsUp()
    {
        const LinuxTunnelBypass bypass;
        const QHostAddress remote(QStringLiteral("198.51.100.7"));
        QCOMPARE(bypass.decide(remote), PathDecision{});

        Device tun;
        if (!tun.open(IFF_TUN))
            QSKIP("no TUN devices here");
        QVERIFY(LinuxTunnelBypass::isTunnelInterface(tun.name));
        QCOMPARE(LinuxTunnelBypass::tunnelInterfacesUp(), QStringList{tun.name});
        // A tunnel and no physical default route: no path that keeps the rule.
        QCOMPARE(bypass.decide(remote).kind, PathDecision::NoPhysicalPath);
        // This host is always reached directly.
        QCOMPARE(bypass.decide(QHostAddress::LocalHost), PathDecision{});

        if (!ip({"link", "add", "qeth0", "type", "veth", "peer", "name", "qeth1"}))
            QSKIP("no veth devices here");
        QVERIFY(!LinuxTunnelBypass::isTunnelInterface(QStringLiteral("qeth0")));
        QVERIFY(ip({"link", "set", "qeth1", "up"}));
        QVERIFY(ip({"link", "set", "qeth0", "up"}));
        QVERIFY(ip({"addr", "add", "192.0.2.2/24", "dev", "qeth0"}));
        QVERIFY(ip({"addr", "add", "172.19.0.1/30", "dev", tun.name}));
        // The tunnel's default route is preferred by metric; it is still never chosen.
        QVERIFY(ip({"route", "add", "default", "dev", tun.name, "metric", "5"}));
        QVERIFY(ip({"route", "add", "default", "via", "192.0.2.1", "dev", "qeth0", "metric", "100"}));
        QCOMPARE(bypass.decide(remote), (PathDecision{PathDecision::BindToDevice, QStringLiteral("qeth0")}));
        QCOMPARE(LinuxTunnelBypass::physicalDefaultInterface(QAbstractSocket::IPv4Protocol), QStringLiteral("qeth0"));

        // Without the tunnel no binding is needed.
        ::close(tun.fd);
        tun.fd = -1;
        QTRY_VERIFY(LinuxTunnelBypass::tunnelInterfacesUp().isEmpty());
        QCOMPARE(bypass.decide(remote), PathDecision{});
        ip({"link", "del", "qeth0"});
    }

    void tapDevicesCountAsTunnels()
    {
        Device tap;
        if (!tap.open(IFF_TAP))
            QSKIP("no TAP devices here");
        QVERIFY(LinuxTunnelBypass::isTunnelInterface(tap.name));
        QVERIFY(!LinuxTunnelBypass::isTunnelInterface(QStringLiteral("lo")));
        QVERIFY(!LinuxTunnelBypass::isTunnelInterface(QStringLiteral("no-such-if")));
    }
};

QTEST_GUILESS_MAIN(TestTunnelBypass)
#include "test_tunnel_bypass.moc"
