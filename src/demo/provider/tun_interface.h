#pragma once

#include <QString>

namespace qor::demo {

// A real tunnel interface named "utunN" (the kernel picks N), up while the object
// lives. Creating one needs CAP_NET_ADMIN and /dev/net/tun; without them the
// provider runs without an interface.
class TunInterface {
public:
    TunInterface() = default;
    TunInterface(const TunInterface &) = delete;
    TunInterface &operator=(const TunInterface &) = delete;
    ~TunInterface();

    // False (with a reason) when no interface could be made.
    bool create(QString *reason);
    void close();

    bool isOpen() const { return m_fd >= 0; }
    QString name() const { return m_name; }

    // Feeds about `bytes` of inbound packets into the interface, so that its
    // received-bytes counter moves as it would with real traffic.
    void injectInbound(quint64 bytes);

private:
    int m_fd = -1;
    QString m_name;
};

} // namespace qor::demo
