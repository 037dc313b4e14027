#include "fixed_tunnel_bypass.h"
#include "app_fixture.h"

#include "tunnel/tavrin_entries.h"

#include <QDir>
#include <QFile>
#include <QFutureInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>

namespace qor::test {

namespace {
struct RecordedChild final : ChildProcess {
    explicit RecordedChild(std::shared_ptr<AppFixture::RecordingLauncher::Launch> launch)
        : m_launch(std::move(launch)) {}
    void terminate() override { m_launch->terminated = true; }
    qint64 processId() const override { return 4242; }
    std::shared_ptr<AppFixture::RecordingLauncher::Launch> m_launch;
};
} // namespace

std::unique_ptr<ChildProcess> AppFixture::RecordingLauncher::launch(const QString &program, const QStringList &arguments)
{
    auto record = std::make_shared<Launch>(Launch{program, arguments, false});
    launches.append(record);
    return std::make_unique<RecordedChild>(record);
}

AppFixture::AppFixture()
{
    counters.set(QStringLiteral("utun7"), 0, 0);
    QDir().mkpath(scratch.filePath(QStringLiteral("trace")));
    trace = std::make_unique<StateTrace>(scratch.filePath(QStringLiteral("trace")), clock);

    server.listen();
    AccountTransport::Settings settings;
    settings.baseAddress = server.baseUrl().toString();
    settings.shortTimeout = std::chrono::seconds(3);
    settings.longTimeout = std::chrono::seconds(3);
    login = std::make_unique<TelegramLoginService>(clock, AccountTransport(settings), QStringLiteral("https://t.example/QorBot"));

    traffic = std::make_unique<TrafficMonitor>(clock, counters);
    traffic->start();

    activator.setAutomaticActivationOutcome(FakeExtensionActivator::Outcome::Finish);
    activator.setAutomaticDeactivationOutcome(FakeExtensionActivator::Outcome::Finish);
    extensions = std::make_unique<SystemExtensionManager>(activator);

    // Entry look-ups are refused at once, so the built-in addresses stay in use.
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 closedPort = closed.serverPort();
    closed.close();
    QList<TavrinEntries::Entry> entries = TavrinEntries::all();
    for (auto &entry : entries)
        entry.host = QStringLiteral("127.0.0.1");
    TavrinResolver::Options options;
    options.port = closedPort;
    options.bypass = std::make_shared<FixedTunnelBypass>(PathDecision{});
    tavrinResolver = std::make_unique<TavrinResolver>(clock, entries, options);
    tavrinHelper = std::make_unique<TavrinHelper>(launcher);
}

AppFixture::~AppFixture()
{
    state.reset();
    teardown.cancel();
    // A cancelled sleep resumes through the event loop: drained here, or its frame outlives the fixture.
    traffic.reset();
    ManualClock::drainEvents();
}

AppServices AppFixture::services()
{
    AppServices s{clock, sharedDefaults, standardDefaults, session, *trace, *login, tunnel, reserveTunnel, *traffic,
                  *extensions, *tavrinResolver, *tavrinHelper};
    s.openAddress = [this](const QUrl &url) { openedAddresses.append(url); };
    s.probeConnectivity = [this]() -> QCoro::Task<bool> {
        ++probeCalls;
        if (probeAnswers.empty())
            co_return false;
        const bool answer = probeAnswers.front();
        probeAnswers.pop_front();
        co_return answer;
    };
    s.measureLatency = [this](QString host, quint16, int) -> QCoro::Task<std::optional<quint64>> {
        measuredHosts.append(host);
        // Each answer takes a moment of virtual time, so results arrive one by one.
        const auto latency = latencies.value(host);
        const bool answered = co_await clock.sleep(std::chrono::milliseconds(latency ? *latency : 3000), teardown);
        co_return answered ? latency : std::nullopt;
    };
    return s;
}

AppState &AppFixture::start()
{
    state = std::make_unique<AppState>(services());
    return *state;
}

AppState &AppFixture::restart()
{
    state.reset();
    ManualClock::drainEvents();
    return start();
}

bool AppFixture::waitFor(const std::function<bool()> &condition, int realMilliseconds)
{
    ManualClock::drainEvents();
    return QTest::qWaitFor(condition, realMilliseconds);
}

bool AppFixture::startupDone()
{
    return waitFor([this] { return state && state->isStartupFinished(); });
}

bool AppFixture::settle(const std::function<bool()> &condition, std::chrono::milliseconds virtualLimit,
                        std::chrono::milliseconds step)
{
    std::chrono::milliseconds spent{0};
    for (;;) {
        ManualClock::drainEvents();
        if (condition())
            return true;
        // Give loopback replies a moment of real time before moving virtual time.
        QTest::qWait(1);
        if (condition())
            return true;
        if (spent >= virtualLimit)
            return false;
        clock.advance(step);
        spent += step;
    }
}

AppState &AppFixture::startSignedIn(const QJsonObject &refreshExtra)
{
    storeSession(QStringLiteral("tok"), catalogJson({QStringLiteral("10.0.0.1:443")}));
    server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(okAnswer(refreshExtra)));
    AppState &app = start();
    startupDone();
    return app;
}

QVariantMap AppFixture::lastProviderConfiguration(TunnelSource source) const
{
    const QString identifier = source == TunnelSource::Main ? TunnelManager::providerIdentifier() : ReserveTunnelManager::providerIdentifier();
    const auto history = profiles.saveHistory();
    for (auto it = history.crbegin(); it != history.crend(); ++it) {
        if (it->protocol && it->protocol->providerBundleIdentifier == identifier)
            return it->protocol->providerConfiguration;
    }
    return {};
}

QStringList AppFixture::traceLines()
{
    trace->waitForWrites();
    QFile file(trace->directory() + QStringLiteral("/state-trace.txt"));
    QStringList lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.append(line.section(QLatin1Char(' '), 1));
    return lines;
}

void AppFixture::clearTrace()
{
    trace->waitForWrites();
    QFile::remove(trace->directory() + QStringLiteral("/state-trace.txt"));
}

QString AppFixture::addRunningProfile(TunnelSource source, VpnStatus status)
{
    VpnProfile profile;
    profile.localizedDescription = QStringLiteral("Qor Connect");
    profile.enabled = true;
    profile.protocol = TunnelProviderProtocol{
        source == TunnelSource::Main ? TunnelManager::providerIdentifier() : ReserveTunnelManager::providerIdentifier(),
        QStringLiteral("Qor Connect"), {}};
    const QString id = profiles.addStored(profile);
    profiles.setStatus(id, status);
    return id;
}

void AppFixture::report(TunnelSource source, VpnStatus status)
{
    const auto &profile = source == TunnelSource::Main ? tunnel.profile() : reserveTunnel.profile();
    profiles.setStatus(profile ? profile->id : QString(), status);
    ManualClock::drainEvents();
}

void AppFixture::storeSession(const QString &token, const QString &xrayConfigs, const std::optional<QString> &corporateJSON)
{
    Session::Saved saved;
    saved.username = QStringLiteral("user");
    saved.subscriptionURL = QStringLiteral("https://sub.example.com/u");
    if (!xrayConfigs.isEmpty())
        saved.xrayConfigsJSON = xrayConfigs;
    saved.tavrinKey = QStringLiteral("tavrin-key");
    saved.sessionToken = token;
    saved.corporateJSON = corporateJSON;
    session.save(saved);
}

QJsonArray xrayConfigsMember(const QStringList &endpoints, bool withBalancer)
{
    QJsonArray configs;
    const auto outbound = [](const QString &remarks, const QString &endpoint) {
        const int colon = endpoint.lastIndexOf(QLatin1Char(':'));
        const QJsonObject server{{QStringLiteral("address"), endpoint.left(colon)},
                                 {QStringLiteral("port"), endpoint.mid(colon + 1).toInt()}};
        return QJsonObject{{QStringLiteral("remarks"), remarks},
                           {QStringLiteral("outbounds"),
                            QJsonArray{QJsonObject{{QStringLiteral("protocol"), QStringLiteral("vless")},
                                                   {QStringLiteral("settings"), QJsonObject{{QStringLiteral("vnext"), QJsonArray{server}}}}}}}};
    };
    if (withBalancer)
        configs.append(outbound(QStringLiteral("Qor AI Network"), QStringLiteral("balancer.example.com:443")));
    for (const QString &endpoint : endpoints)
        configs.append(outbound(endpoint, endpoint));
    return configs;
}

QString catalogJson(const QStringList &endpoints, bool withBalancer)
{
    QJsonArray entries;
    for (const auto &value : xrayConfigsMember(endpoints, withBalancer)) {
        QJsonObject config = value.toObject();
        const QString name = config.value(QStringLiteral("remarks")).toString();
        entries.append(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("config"), QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact))}});
    }
    return QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

QJsonObject okAnswer(const QJsonObject &extra)
{
    QJsonObject answer{{QStringLiteral("status"), QStringLiteral("ok")},
                       {QStringLiteral("username"), QStringLiteral("user")},
                       {QStringLiteral("subscription_url"), QStringLiteral("https://sub.example.com/u")},
                       {QStringLiteral("xray_configs"), xrayConfigsMember({QStringLiteral("10.0.0.1:443")})},
                       {QStringLiteral("tavrin_key"), QStringLiteral("tavrin-key")},
                       {QStringLiteral("subscription_status"), QStringLiteral("active")}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        answer.insert(it.key(), it.value());
    return answer;
}

} // namespace qor::test
