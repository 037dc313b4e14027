#include "reserve_provider.h"

#include "host_lookup.h"
#include "resolved_dns.h"
#include "route_plan.h"
#include "service_log.h"
#include "wireguard_engine.h"

#include "runtime/qt_clock.h"

#include <QFile>
#include <QPointer>

#include <net/if.h>

using namespace std::chrono_literals;

namespace qor::service {

namespace {

constexpr auto engineStartLimit = 5s;
// A handshake with a near server takes a few milliseconds: look often.
constexpr auto handshakePoll = 10ms;
constexpr int keepaliveForHandshake = 25;

QString seconds(std::chrono::milliseconds limit)
{
    return QString::number(double(limit.count()) / 1000.0, 'g', 3) + QStringLiteral(" с");
}

QString engineName(const QString &program)
{
    return program.section(QLatin1Char('/'), -1);
}

} // namespace

ReserveProvider::ReserveProvider(QStringList configs, Settings settings, QObject *parent)
    : TunnelProvider(parent), m_configs(std::move(configs)), m_settings(std::move(settings))
{
}

ReserveProvider::~ReserveProvider()
{
    m_stop.cancel();
    m_wait.cancel();
}

void ReserveProvider::start()
{
    run();
}

void ReserveProvider::stop()
{
    m_stop.cancel();
    m_wait.cancel();
}

std::optional<InterfaceCounters> ReserveProvider::counters() const
{
    if (!m_up)
        return std::nullopt;
    // The kernel's counters of the link, which came up with the tunnel. Read through
    // /proc, which shows this process's network namespace (sysfs may show another).
    return ProcNetDevCounters(QStringLiteral("/proc/self/net/dev"), m_settings.link).read().value(m_settings.link);
}

std::chrono::milliseconds ReserveProvider::remaining() const
{
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now()));
}

QCoro::Task<> ReserveProvider::cleanLeftovers(EnginePaths paths, QString link)
{
    if (!paths.ip.isEmpty())
        co_await runCommands(route_plan::leftovers(link, paths));
    QFile::remove(WireGuardEngine::socketPathFor(link));
}

QCoro::Task<> ReserveProvider::run()
{
    QPointer<ReserveProvider> self(this);
    QStringList reasons;
    for (qsizetype i = 0; i < m_configs.size(); ++i) {
        QString label = QString::fromUtf8("Сервер ") + QString::number(i + 1);
        const auto parsed = WgQuickConfig::parse(m_configs[i]);
        if (const QString *error = std::get_if<QString>(&parsed)) {
            reasons << label + QString::fromUtf8(": конфигурация повреждена — ") + *error;
            continue;
        }
        const WgQuickConfig &config = std::get<WgQuickConfig>(parsed);
        label += QString::fromUtf8(" (") + config.peers.constFirst().endpointHost + QLatin1Char(')');
        m_wait = CancelToken::create();
        if (stopping())
            m_wait.cancel();
        m_deadline = std::chrono::steady_clock::now() + m_settings.handshakeTimeout;
        const QString reason = co_await bringUp(config);
        if (!self)
            co_return;
        if (reason.isEmpty()) {
            m_up = true;
            qCInfo(lcService) << "reserve channel up through configuration" << i + 1;
            Q_EMIT connected();
            // Up until stopped or until the engine ends.
            while (!m_wait.isCancelled())
                co_await QtClock::shared().sleep(24h, m_wait);
            if (!self)
                co_return;
            const bool stopped = stopping();
            co_await takeDown();
            if (!self)
                co_return;
            m_up = false;
            m_ended = true;
            Q_EMIT ended(true, stopped ? QString()
                                       : QString::fromUtf8("Резервный канал прервался: движок WireGuard завершился"));
            co_return;
        }
        co_await takeDown();
        if (!self)
            co_return;
        if (stopping())
            break;
        qCInfo(lcService) << "reserve configuration" << i + 1 << "failed:" << reason;
        reasons << label + QString::fromUtf8(": ") + reason;
    }
    m_ended = true;
    if (stopping()) {
        Q_EMIT ended(false, QString());
        co_return;
    }
    if (reasons.isEmpty())
        reasons << QString::fromUtf8("в подписке нет ни одной конфигурации");
    Q_EMIT ended(false, QString::fromUtf8("Резервный канал не подключился.\n") + reasons.join(QLatin1Char('\n')));
}

QCoro::Task<std::variant<QList<uapi::ResolvedEndpoint>, QString>> ReserveProvider::resolveEndpoints(WgQuickConfig config)
{
    QPointer<ReserveProvider> self(this);
    QList<uapi::ResolvedEndpoint> endpoints;
    for (const WgQuickPeer &peer : std::as_const(config.peers)) {
        const auto address = co_await lookUpHost(peer.endpointHost, remaining());
        if (!self)
            co_return QString();
        if (const QString *error = std::get_if<QString>(&address))
            co_return *error;
        endpoints.append({std::get<QHostAddress>(address), peer.endpointPort});
    }
    co_return endpoints;
}

QCoro::Task<QString> ReserveProvider::bringUp(WgQuickConfig config)
{
    QPointer<ReserveProvider> self(this);
    const EnginePaths &paths = m_settings.paths;
    const bool amnezia = !config.amnezia.isNeutral();
    const QString program = amnezia ? paths.amneziawgGo : paths.wireguardGo;
    if (program.isEmpty())
        co_return amnezia ? QString::fromUtf8("нужен движок AmneziaWG (amneziawg-go), он не установлен")
                          : QString::fromUtf8("движок WireGuard (wireguard-go) не установлен");
    if (paths.ip.isEmpty())
        co_return QString::fromUtf8("не найдена программа ip (iproute2)");

    const auto resolved = co_await resolveEndpoints(config);
    if (!self || stopping())
        co_return QString::fromUtf8("остановлено");
    if (const QString *error = std::get_if<QString>(&resolved))
        co_return *error;
    const auto &endpoints = std::get<QList<uapi::ResolvedEndpoint>>(resolved);

    // The service starts clean and cleans after every run; only a stale control
    // socket of an engine that died may be in the way.
    QFile::remove(WireGuardEngine::socketPathFor(m_settings.link));
    m_engine = std::make_unique<WireGuardEngine>(program, m_settings.link);
    connect(m_engine.get(), &WireGuardEngine::exited, this, [this] { m_wait.cancel(); });
    const bool started = co_await m_engine->start(std::min<std::chrono::milliseconds>(engineStartLimit, std::max(1000ms, remaining())));
    if (!self || stopping())
        co_return QString::fromUtf8("остановлено");
    if (!started) {
        const QString detail = m_engine->failureDetail();
        co_return QString::fromUtf8("движок ") + engineName(program) + QString::fromUtf8(" не запустился")
            + (detail.isEmpty() ? QString() : QString::fromUtf8(": ") + detail);
    }

    const auto configured = co_await m_engine->set(uapi::setRequest(config, endpoints, route_plan::table, amnezia));
    if (!self || stopping())
        co_return QString::fromUtf8("остановлено");
    if (configured != 0)
        co_return QString::fromUtf8("движок отверг конфигурацию (errno ") + QString::number(configured.value_or(-1)) + QLatin1Char(')');

    SystemCommand linkUp;
    linkUp.program = paths.ip;
    linkUp.arguments = QStringList{QString::fromUtf8("link"), QString::fromUtf8("set"), QString::fromUtf8("up"),
                                   QString::fromUtf8("dev"), m_settings.link};
    const CommandResult up = co_await runCommand(linkUp);
    if (!self || stopping())
        co_return QString::fromUtf8("остановлено");
    if (!up.ok)
        co_return QString::fromUtf8("не удалось поднять интерфейс: ") + QString::fromUtf8(up.standardError).trimmed();

    if (!co_await awaitHandshake(config)) {
        if (!self || stopping())
            co_return QString::fromUtf8("остановлено");
        if (m_engine && !m_engine->isRunning())
            co_return QString::fromUtf8("движок ") + engineName(program) + QString::fromUtf8(" завершился: ") + m_engine->failureDetail();
        co_return QString::fromUtf8("сервер не ответил за ") + seconds(m_settings.handshakeTimeout);
    }

    // Only now is traffic steered into the tunnel: a silent server never cuts the
    // machine off while it is being tried.
    if (config.routesAllIPv4()) {
        QFile mark(QString::fromUtf8("/proc/sys/net/ipv4/conf/all/src_valid_mark"));
        if (mark.open(QIODevice::WriteOnly))
            mark.write("1\n");
    }
    const route_plan::Plan plan = route_plan::forConfig(config, m_settings.link, paths, route_plan::strictReversePathFilter());
    m_undo = plan.undo;
    const CommandResult routed = co_await runCommands(plan.apply);
    if (!self || stopping())
        co_return QString::fromUtf8("остановлено");
    if (!routed.ok)
        co_return QString::fromUtf8("не удалось настроить маршруты: ") + QString::fromUtf8(routed.standardError).trimmed();

    if (!config.dnsServers.isEmpty() || !config.dnsSearchDomains.isEmpty()) {
        if (ResolvedDns::isAvailable()) {
            m_interfaceIndex = int(::if_nametoindex(m_settings.link.toUtf8().constData()));
            m_dnsApplied = co_await ResolvedDns::apply(m_interfaceIndex, config.dnsServers, config.dnsSearchDomains,
                                                       config.routesAllIPv4() || config.routesAllIPv6());
            if (!self)
                co_return QString::fromUtf8("остановлено");
            if (!m_dnsApplied)
                qCWarning(lcService) << "systemd-resolved refused the tunnel's DNS servers";
        } else {
            qCWarning(lcService) << "systemd-resolved is not running: the tunnel's DNS servers are not set";
        }
    }
    if (!m_engine || !m_engine->isRunning())
        co_return QString::fromUtf8("движок ") + engineName(program) + QString::fromUtf8(" завершился: ") + m_engine->failureDetail();
    co_return QString();
}

QCoro::Task<bool> ReserveProvider::awaitHandshake(WgQuickConfig config)
{
    QPointer<ReserveProvider> self(this);
    // Turning a keepalive on makes the engine start a handshake at once; the
    // configuration's own interval is put back once the peer has answered.
    for (const WgQuickPeer &peer : std::as_const(config.peers)) {
        if (peer.persistentKeepalive == 0)
            co_await m_engine->set(uapi::keepaliveRequest(peer.publicKey, keepaliveForHandshake));
        if (!self || m_wait.isCancelled())
            co_return false;
    }
    for (;;) {
        const auto status = co_await m_engine->get();
        if (!self || m_wait.isCancelled())
            co_return false;
        if (status && status->error == 0 && status->latestHandshake > 0)
            break;
        if (remaining() <= 0ms)
            co_return false;
        co_await QtClock::shared().sleep(std::min(handshakePoll, remaining()), m_wait);
        if (!self || m_wait.isCancelled())
            co_return false;
    }
    for (const WgQuickPeer &peer : std::as_const(config.peers)) {
        if (peer.persistentKeepalive == 0)
            co_await m_engine->set(uapi::keepaliveRequest(peer.publicKey, 0));
        if (!self)
            co_return false;
    }
    co_return true;
}

QCoro::Task<> ReserveProvider::takeDown()
{
    QPointer<ReserveProvider> self(this);
    if (m_dnsApplied) {
        co_await ResolvedDns::revert(m_interfaceIndex);
        if (!self)
            co_return;
        m_dnsApplied = false;
    }
    const QList<SystemCommand> undo = std::exchange(m_undo, {});
    if (!undo.isEmpty())
        co_await runCommands(undo);
    if (!self)
        co_return;
    if (m_engine)
        disconnect(m_engine.get(), nullptr, this, nullptr);
    m_engine.reset(); // ends the engine, which takes its interface with it
    co_await cleanLeftovers(m_settings.paths, m_settings.link);
}

} // namespace qor::service
