#pragma once

#include <QList>
#include <QString>

#include <map>
#include <utility>

namespace qor {

// One network interface as the kernel reports it (rtnetlink RTM_GETLINK), read from
// the calling process's own network namespace.
struct LinkRecord {
    QString name;
    int index = 0;
    unsigned hardwareType = 0; // ARPHRD_* (65534 for a layer-3 TUN device or WireGuard)
    QString kind;              // the driver kind of virtual links ("tun", "wireguard", "veth"...); empty for hardware
    bool up = false;           // administratively up (IFF_UP)
    quint64 receivedBytes = 0; // 64-bit counters: they do not wrap every 4 GiB
    quint64 sentBytes = 0;
};

// Every interface of the current network namespace; empty when the kernel cannot
// be asked.
QList<LinkRecord> readLinks();

// Interface name -> (received bytes, sent bytes). Ordered by name, which is the
// order in which the traffic monitor examines interfaces.
using CounterSnapshot = std::map<QString, std::pair<quint64, quint64>>;

// Where the traffic monitor takes its counters from; tests hand in a scripted one.
class InterfaceCounterSource {
public:
    virtual ~InterfaceCounterSource() = default;
    // The counters of the tunnel interfaces; empty when there are none or they
    // cannot be read.
    virtual CounterSnapshot read() = 0;
};

// The kernel's counters of the interfaces whose names begin with "utun".
class TunnelInterfaceCounters final : public InterfaceCounterSource {
public:
    CounterSnapshot read() override;

    // The process-wide instance, for the composition roots.
    static TunnelInterfaceCounters &shared();
};

} // namespace qor
