#include "demo_network.h"

#include "loopback_http_server.h"

#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace qor::demo {

namespace {
Q_LOGGING_CATEGORY(lcDemo, "com.qorvpn.connect.demo")

constexpr int nodeCount = 6;

const char *const botPage = "<!doctype html><meta charset=\"utf-8\"><title>Qor Connect — демо</title>"
                            "<p>Демо-бот Qor Connect: вход подтвердится сам через несколько секунд.</p>";
} // namespace

bool DemoNetwork::Layout::isComplete() const
{
    return nodePorts.size() == nodeCount && balancerPort != 0 && tavrinPort != 0;
}

const QList<int> &DemoNetwork::nodeDelays()
{
    static const QList<int> delays{14, 23, 37, 52, 76, 118};
    return delays;
}

DemoNetwork::DemoNetwork(QObject *parent)
    : QObject(parent)
{
}

DemoNetwork::~DemoNetwork() = default;

std::unique_ptr<QTcpServer> DemoNetwork::listen(quint16 preferredPort, quint16 *port)
{
    auto server = std::make_unique<QTcpServer>();
    if (server->listen(QHostAddress::LocalHost, preferredPort)) {
        *port = server->serverPort();
        return server;
    }
    // Taken: with a preference, another demo process most likely serves it already.
    *port = preferredPort;
    if (preferredPort != 0)
        qCInfo(lcDemo) << "port" << preferredPort << "is taken; leaving it to its holder";
    return nullptr;
}

void DemoNetwork::serveNode(QTcpServer *server, int delayMs)
{
    connect(server, &QTcpServer::newConnection, server, [server, delayMs] {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(delayMs, socket, [socket] {
                socket->write("Q");
                socket->disconnectFromHost();
            });
        }
    });
}

bool DemoNetwork::start(const Layout &preferred)
{
    m_layout = Layout{};
    for (int i = 0; i < nodeCount; ++i) {
        const quint16 wanted = i < preferred.nodePorts.size() ? preferred.nodePorts.at(i) : 0;
        quint16 port = 0;
        auto server = listen(wanted, &port);
        if (port == 0)
            return false;
        if (server) {
            serveNode(server.get(), nodeDelays().at(i));
            m_listeners.push_back(std::move(server));
            ++m_ownNodes;
        }
        m_layout.nodePorts.append(port);
    }
    // The balancer's endpoint and the Tavrin entries only need to accept.
    for (auto [wanted, slot] : {std::pair{preferred.balancerPort, &m_layout.balancerPort},
                                std::pair{preferred.tavrinPort, &m_layout.tavrinPort}}) {
        auto server = listen(wanted, slot);
        if (*slot == 0)
            return false;
        if (server) {
            serveNode(server.get(), 0);
            m_listeners.push_back(std::move(server));
        }
    }

    m_web = std::make_unique<LoopbackHttpServer>([this](const LoopbackHttpServer::Request &request, QTcpSocket *socket) {
        const QString path = request.url.path();
        if (path == u"/generate_204")
            m_web->respond(socket, 204, {}, {});
        else if (path == u"/cdn-cgi/trace")
            m_web->respond(socket, 200, "text/plain", "fl=demo\nip=127.0.0.1\nwarp=off\n");
        else if (path == u"/hotspot-detect.html")
            m_web->respond(socket, 200, "text/html",
                           "<HTML><HEAD><TITLE>Success</TITLE></HEAD><BODY>Success</BODY></HTML>");
        else if (path == u"/bot")
            m_web->respond(socket, 200, "text/html; charset=utf-8", botPage);
        else
            m_web->respond(socket, 404, "text/plain", "Not Found");
    });
    m_webPort = m_web->listen();
    return m_webPort != 0;
}

int DemoNetwork::ownNodeListeners() const
{
    return m_ownNodes;
}

QStringList DemoNetwork::probeUrls() const
{
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(m_webPort);
    return {base + QStringLiteral("/generate_204"), base + QStringLiteral("/generate_204?second"),
            base + QStringLiteral("/cdn-cgi/trace"), base + QStringLiteral("/hotspot-detect.html")};
}

QString DemoNetwork::deepLinkBase() const
{
    return QStringLiteral("http://127.0.0.1:%1/bot").arg(m_webPort);
}

LatencyProbe::Attempt DemoNetwork::latencyAttempt(std::chrono::milliseconds limit)
{
    // Runs on a network thread: the blocking socket calls need no event loop there.
    return [limit](const QString &host, quint16 port, bool) -> std::optional<quint64> {
        const auto start = std::chrono::steady_clock::now();
        const auto remaining = [&] {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            return int(std::max<qint64>(0, (limit - spent).count()));
        };
        QTcpSocket socket;
        socket.connectToHost(host, port);
        if (!socket.waitForConnected(remaining()))
            return std::nullopt;
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(remaining()))
            return std::nullopt;
        return LatencyProbe::wholeMilliseconds(std::chrono::steady_clock::now() - start);
    };
}

} // namespace qor::demo
