#pragma once

#include "tunnel/latency_probe.h"

#include <QList>
#include <QObject>
#include <QStringList>

#include <chrono>
#include <memory>
#include <vector>

class QTcpServer;

namespace qor {
class LoopbackHttpServer;
}

namespace qor::demo {

// The loopback servers of the demo besides the account server: the direct nodes,
// each answering a new connection with one byte after a small delay of its own (so
// measured latencies are real and differ), the balancer's endpoint, the port the
// Tavrin entries are looked up on, and a web server with the connectivity probe
// endpoints and the login bot's page.
//
// Node ports are kept from one run to the next (the stored session names them); a
// port that is taken is left to whoever holds it, normally another demo process of
// the same user serving the same node.
class DemoNetwork : public QObject {
    Q_OBJECT
public:
    struct Layout {
        QList<quint16> nodePorts;
        quint16 balancerPort = 0;
        quint16 tavrinPort = 0;
        bool isComplete() const;
    };

    // Milliseconds each node waits before it answers, in node order.
    static const QList<int> &nodeDelays();

    explicit DemoNetwork(QObject *parent = nullptr);
    ~DemoNetwork() override;

    // Listens on every port of `preferred` (new free ports where it has none);
    // false when the web server or a port without a preference cannot listen.
    bool start(const Layout &preferred);

    Layout layout() const { return m_layout; }
    // How many node listeners this process runs itself.
    int ownNodeListeners() const;

    // The four probe addresses ("/generate_204", "/cdn-cgi/trace", "/hotspot-detect.html").
    QStringList probeUrls() const;
    // The login bot's address on the web server; the deep link adds the token.
    QString deepLinkBase() const;
    quint16 webPort() const { return m_webPort; }

    // A latency attempt that counts until the node's first byte arrives, not just
    // until the loopback connection opens (which the kernel answers at once).
    static LatencyProbe::Attempt latencyAttempt(std::chrono::milliseconds limit = std::chrono::milliseconds(3000));

private:
    std::unique_ptr<QTcpServer> listen(quint16 preferredPort, quint16 *port);
    void serveNode(QTcpServer *server, int delayMs);

    Layout m_layout;
    std::vector<std::unique_ptr<QTcpServer>> m_listeners;
    std::unique_ptr<LoopbackHttpServer> m_web;
    quint16 m_webPort = 0;
    int m_ownNodes = 0;
};

} // namespace qor::demo
