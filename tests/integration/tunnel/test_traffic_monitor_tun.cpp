#include "manual_clock.h"
#include "tunnel/traffic_monitor.h"

#include <QFile>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qor;
using namespace std::chrono_literals;

namespace {

// A TUN interface "utunN" with 10.77.0.1/24, up. Needs CAP_NET_ADMIN; the wrapper
// gives the test a network namespace of its own.
struct Tun {
    int fd = -1;
    QString name;
    QString error;

    bool open()
    {
        fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return fail("open /dev/net/tun");
        struct ifreq ifr {};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(ifr.ifr_name, "utun%d", IFNAMSIZ - 1);
        if (::ioctl(fd, TUNSETIFF, &ifr) != 0)
            return fail("TUNSETIFF");
        name = QString::fromLatin1(ifr.ifr_name);
        // No IPv6 chatter (router solicitations) in the counters.
        QFile ipv6("/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6");
        if (ipv6.open(QIODevice::WriteOnly))
            ipv6.write("1");
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct ifreq a {};
        std::memcpy(a.ifr_name, ifr.ifr_name, IFNAMSIZ);
        auto *in = reinterpret_cast<sockaddr_in *>(&a.ifr_addr);
        in->sin_family = AF_INET;
        ::inet_pton(AF_INET, "10.77.0.1", &in->sin_addr);
        bool ok = ::ioctl(s, SIOCSIFADDR, &a) == 0;
        ::inet_pton(AF_INET, "255.255.255.0", &in->sin_addr);
        ok = ok && ::ioctl(s, SIOCSIFNETMASK, &a) == 0;
        ok = ok && ::ioctl(s, SIOCGIFFLAGS, &a) == 0;
        a.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ok && ::ioctl(s, SIOCSIFFLAGS, &a) == 0;
        ::close(s);
        return ok || fail("configure interface");
    }
    bool fail(const char *what)
    {
        error = QString::fromLatin1(what) + ": " + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    ~Tun()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QByteArray ipv4Packet(int size)
{
    QByteArray p(size, '\0');
    auto *b = reinterpret_cast<unsigned char *>(p.data());
    b[0] = 0x45;
    b[2] = quint8(size >> 8);
    b[3] = quint8(size);
    b[8] = 64;
    b[9] = IPPROTO_UDP;
    const unsigned char src[4] = {198, 51, 100, 9}, dst[4] = {203, 0, 113, 9};
    std::memcpy(b + 12, src, 4);
    std::memcpy(b + 16, dst, 4);
    return p;
}

} // namespace

class TestTrafficMonitorTun : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void countsRealTunnelTraffic()
    {
        if (::geteuid() != 0)
            QSKIP("a TUN interface needs root");
        Tun tun;
        if (!tun.open())
            QSKIP(qPrintable("no TUN interface: " + tun.error));

        ManualClock clock;
        ProcNetDevCounters kernel(QStringLiteral("/proc/net/dev"), QStringLiteral("utun"));
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
        struct sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        ::inet_pton(AF_INET, "10.77.0.2", &to.sin_addr);
        const QByteArray payload(100, 'x');
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(::sendto(udp, payload.constData(), size_t(payload.size()), 0, reinterpret_cast<sockaddr *>(&to),
                              sizeof to),
                     ssize_t(payload.size()));
        }
        // Everything taken off the interface counts as sent, ours and any chatter
        // of the kernel's that came first.
        qint64 taken = 0;
        int ours = 0;
        while (ours < 3) {
            struct pollfd p {tun.fd, POLLIN, 0};
            QVERIFY(::poll(&p, 1, 5000) == 1);
            unsigned char buffer[2048];
            const ssize_t n = ::read(tun.fd, buffer, sizeof buffer);
            QVERIFY(n > 0);
            taken += n;
            if (n == 128 && (buffer[0] >> 4) == 4 && buffer[9] == IPPROTO_UDP)
                ++ours;
        }
        ::close(udp);
        QVERIFY(taken >= 3 * 128);

        clock.advance(1s);
        QCOMPARE(monitor.downloadBytesPerSecond(), quint64(5 * 1400));
        QCOMPARE(monitor.uploadBytesPerSecond(), quint64(taken));
        QCOMPARE(monitor.sessionDownloadBytes(), quint64(5 * 1400));

        // A quiet second.
        clock.advance(1s);
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u);
        QCOMPARE(monitor.sessionUploadBytes(), quint64(taken));
    }
};

QTEST_GUILESS_MAIN(TestTrafficMonitorTun)
#include "test_traffic_monitor_tun.moc"
