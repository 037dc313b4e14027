#include "main_provider.h"

#include "capture_plan.h"
#include "engine_process.h"
#include "host_lookup.h"
#include "proxy_core_document.h"
#include "proxy_servers.h"
#include "service_log.h"

#include "runtime/qt_clock.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

using namespace std::chrono_literals;

namespace qor::service {

namespace {

constexpr auto readyPoll = 2ms; // the core listens some 20 ms after its start: look often
constexpr auto counterPoll = 1s;

// Whether a socket of this network namespace listens on the TCP port (either family).
bool tcpListening(quint16 port)
{
    const QByteArray suffix = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // header
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() > 3 && fields[1].endsWith(suffix) && fields[3] == "0A") // 0A: LISTEN
                return true;
        }
    }
    return false;
}

} // namespace

MainProvider::MainProvider(Settings settings, QObject *parent) : TunnelProvider(parent), m_settings(std::move(settings)) {}

MainProvider::~MainProvider()
{
    m_stop.cancel();
    m_wait.cancel();
}

void MainProvider::start()
{
    run();
}

void MainProvider::stop()
{
    m_stop.cancel();
    m_wait.cancel();
}

std::optional<InterfaceCounters> MainProvider::counters() const
{
    return m_up ? m_counters : std::nullopt;
}

std::chrono::milliseconds MainProvider::remaining() const
{
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now()));
}

QString MainProvider::coreName() const
{
    return m_settings.paths.xray.isEmpty() ? QStringLiteral("v2ray") : QStringLiteral("xray");
}

QCoro::Task<> MainProvider::cleanLeftovers(EnginePaths paths)
{
    if (!paths.ip.isEmpty() && !paths.nft.isEmpty())
        co_await runCommands(capture_plan::leftovers(paths));
}

QCoro::Task<> MainProvider::run()
{
    QPointer<MainProvider> self(this);
    m_deadline = std::chrono::steady_clock::now() + m_settings.startLimit;
    const QString reason = co_await bringUp();
    if (!self)
        co_return;
    if (!reason.isEmpty()) {
        co_await takeDown();
        if (!self)
            co_return;
        qCInfo(lcService) << "main channel failed:" << reason;
        Q_EMIT ended(false, stopping() ? QString() : QString::fromUtf8("Основной канал не подключился: ") + reason);
        co_return;
    }
    m_up = true;
    m_counters = InterfaceCounters{};
    qCInfo(lcService) << "main channel up through" << coreName();
    Q_EMIT connected();
    while (!m_wait.isCancelled()) {
        co_await QtClock::shared().sleep(counterPoll, m_wait);
        if (!self)
            co_return;
        if (!m_wait.isCancelled())
            co_await readCounters();
        if (!self)
            co_return;
    }
    const bool stopped = stopping();
    const QString detail = m_core ? m_core->failureDetail() : QString();
    co_await takeDown();
    if (!self)
        co_return;
    m_up = false;
    Q_EMIT ended(true, stopped ? QString()
                               : QString::fromUtf8("Основной канал прервался: ядро ") + coreName()
                                     + QString::fromUtf8(" завершилось") + (detail.isEmpty() ? QString() : QString::fromUtf8(": ") + detail));
}

QCoro::Task<QString> MainProvider::bringUp()
{
    QPointer<MainProvider> self(this);
    const EnginePaths &paths = m_settings.paths;
    const QString program = paths.xray.isEmpty() ? paths.v2ray : paths.xray;
    if (program.isEmpty())
        co_return QString::fromUtf8("не установлено ядро основного канала — установите v2ray (sudo apt install v2ray) или xray");
    if (paths.nft.isEmpty() || paths.ip.isEmpty())
        co_return QString::fromUtf8("не найдены программы nft (nftables) и ip (iproute2)");
    const ProxyCore core = paths.xray.isEmpty() ? ProxyCore::V2Ray : ProxyCore::Xray;

    // Checked before anything is looked up or started.
    CaptureSettings capture;
    capture.tproxyPort = m_settings.tproxyPort;
    capture.geositePath = paths.geosite;
    const auto checked = coreDocument(m_settings.configContent, core, m_settings.policy, capture);
    if (const QString *error = std::get_if<QString>(&checked))
        co_return *error;

    capture_plan::Settings plan;
    plan.tproxyPort = m_settings.tproxyPort;
    plan.coreMark = capture.outboundMark;
    const QJsonArray outbounds = QJsonDocument::fromJson(m_settings.configContent.toUtf8()).object().value("outbounds").toArray();
    // Named, not a temporary: GCC 12 mishandles temporaries that live across a co_await.
    const QList<ProxyServer> servers = std::get<QList<ProxyServer>>(proxyServers(outbounds));
    for (const ProxyServer &server : servers) {
        if (capture.serverAddresses.contains(server.host))
            continue;
        const auto address = co_await lookUpHost(server.host, remaining());
        if (!self || stopping())
            co_return QString::fromUtf8("остановлено");
        if (const QString *error = std::get_if<QString>(&address))
            co_return *error;
        capture.serverAddresses.insert(server.host, std::get<QHostAddress>(address));
        plan.servers.append(std::get<QHostAddress>(address));
    }
    for (const QString &text : std::as_const(m_settings.bypass)) {
        const QHostAddress address(text.trimmed());
        if (address.isNull())
            qCWarning(lcService) << "ignoring a bypass entry that is not an address:" << text.left(64);
        else
            plan.bypass.append(address);
    }
    const auto document = coreDocument(m_settings.configContent, core, m_settings.policy, capture);
    if (const QString *error = std::get_if<QString>(&document))
        co_return *error;

    EngineProcess::Launch launch;
    launch.program = program;
    launch.arguments = core == ProxyCore::Xray ? QStringList{QStringLiteral("run"), QStringLiteral("-config"), QStringLiteral("stdin:")}
                                               : QStringList{QStringLiteral("-config"), QStringLiteral("stdin:")};
    if (!paths.geosite.isEmpty()) {
        const QString assets = QFileInfo(paths.geosite).path();
        launch.environment.insert(QStringLiteral("V2RAY_LOCATION_ASSET"), assets);
        launch.environment.insert(QStringLiteral("XRAY_LOCATION_ASSET"), assets);
    }
    launch.input = std::get<QByteArray>(document);
    launch.groupId = plan.coreGroup;
    m_core = std::make_unique<EngineProcess>();
    connect(m_core.get(), &EngineProcess::exited, this, [this] { m_wait.cancel(); });
    if (!m_core->start(launch))
        co_return QString::fromUtf8("ядро ") + coreName() + QString::fromUtf8(" не запустилось: ") + m_core->failureDetail();

    // The rules go in while the core starts: nothing is reported up before both are in place.
    const capture_plan::Plan captured = capture_plan::forSettings(plan, paths);
    m_undo = captured.undo;
    QCoro::Task<CommandResult> applying = runCommands(captured.apply);
    const bool listening = co_await awaitListening();
    if (!self)
        co_return QString();
    const CommandResult applied = co_await applying;
    if (!self || stopping())
        co_return QString::fromUtf8("остановлено");
    if (!listening) {
        if (!m_core->isRunning())
            co_return QString::fromUtf8("ядро ") + coreName() + QString::fromUtf8(" завершилось: ") + m_core->failureDetail();
        co_return QString::fromUtf8("ядро ") + coreName() + QString::fromUtf8(" не открыло порт перехвата ")
            + QString::number(m_settings.tproxyPort);
    }
    if (!applied.ok)
        co_return QString::fromUtf8("не удалось направить трафик в туннель: ") + QString::fromUtf8(applied.standardError).trimmed();
    if (!m_core->isRunning())
        co_return QString::fromUtf8("ядро ") + coreName() + QString::fromUtf8(" завершилось: ") + m_core->failureDetail();
    co_return QString();
}

QCoro::Task<bool> MainProvider::awaitListening()
{
    QPointer<MainProvider> self(this);
    for (;;) {
        if (!self || m_wait.isCancelled() || !m_core->isRunning())
            co_return false;
        if (tcpListening(m_settings.tproxyPort))
            co_return true;
        if (remaining() <= 0ms)
            co_return false;
        co_await QtClock::shared().sleep(std::min(readyPoll, remaining()), m_wait);
    }
}

QCoro::Task<> MainProvider::readCounters()
{
    QPointer<MainProvider> self(this);
    const CommandResult listed = co_await runCommand(capture_plan::counterQuery(m_settings.paths));
    if (!self || !listed.ok)
        co_return;
    if (const auto counters = capture_plan::parseCounters(listed.standardOutput))
        m_counters = counters; // an unreadable answer keeps the last reading
}

QCoro::Task<> MainProvider::takeDown()
{
    QPointer<MainProvider> self(this);
    const QList<SystemCommand> undo = std::exchange(m_undo, {});
    if (!undo.isEmpty())
        co_await runCommands(undo);
    if (!self)
        co_return;
    if (m_core)
        disconnect(m_core.get(), nullptr, this, nullptr);
    m_core.reset(); // ends the core
}

} // namespace qor::service
