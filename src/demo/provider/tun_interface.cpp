#include "tun_interface.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qor::demo {

TunInterface::~TunInterface()
{
    close();
}

bool TunInterface::create(QString *reason)
{
    const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *reason = QStringLiteral("/dev/net/tun: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct ifreq ifr {};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, "utun%d", IFNAMSIZ - 1);
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        *reason = QStringLiteral("TUNSETIFF: ") + QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool up = false;
    if (sock >= 0) {
        struct ifreq flags {};
        std::memcpy(flags.ifr_name, ifr.ifr_name, IFNAMSIZ);
        if (::ioctl(sock, SIOCGIFFLAGS, &flags) == 0) {
            flags.ifr_flags |= IFF_UP;
            up = ::ioctl(sock, SIOCSIFFLAGS, &flags) == 0;
        }
        ::close(sock);
    }
    if (!up) {
        *reason = QStringLiteral("cannot bring the interface up: ") + QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_name = QString::fromLatin1(ifr.ifr_name);
    return true;
}

void TunInterface::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_name.clear();
}

void TunInterface::injectInbound(quint64 bytes)
{
    if (m_fd < 0)
        return;
    // IPv4/UDP from a documentation address to one that is not on this host: the
    // kernel counts it as received on the interface and then drops it.
    constexpr int packetSize = 1400;
    QByteArray packet(packetSize, '\0');
    auto *p = reinterpret_cast<unsigned char *>(packet.data());
    p[0] = 0x45;
    p[2] = packetSize >> 8;
    p[3] = packetSize & 0xff;
    p[8] = 64;
    p[9] = IPPROTO_UDP;
    const unsigned char src[4] = {198, 51, 100, 1};
    const unsigned char dst[4] = {203, 0, 113, 1};
    std::memcpy(p + 12, src, 4);
    std::memcpy(p + 16, dst, 4);
    quint32 sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += quint32(p[i] << 8 | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    const quint16 checksum = quint16(~sum);
    p[10] = checksum >> 8;
    p[11] = checksum & 0xff;
    p[20] = 0x13; // ports 5000 -> 5001
    p[21] = 0x88;
    p[22] = 0x13;
    p[23] = 0x89;
    p[24] = (packetSize - 20) >> 8;
    p[25] = (packetSize - 20) & 0xff;

    for (quint64 sent = 0; sent < bytes; sent += packetSize) {
        if (::write(m_fd, packet.constData(), size_t(packet.size())) < 0)
            break;
    }
}

} // namespace qor::demo
