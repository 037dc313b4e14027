#include "../../unit/tunnel/task_outcome.h"
#include "manual_clock.h"
#include "tunnel/platform/linux_profile_service.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/tunnel_manager.h"
#include "tunnel/tunnel_services.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;

namespace {

constexpr int processLimitMs = 30000;

// Real providers move in real time, the managers' pauses in virtual time: step both.
template<typename Done>
bool driveUntil(ManualClock &clock, Done done)
{
    QElapsedTimer real;
    real.start();
    while (!done()) {
        if (real.elapsed() > processLimitMs)
            return false;
        clock.advance(50ms);
        QTest::qWait(5);
    }
    return true;
}

} // namespace

// The managers over the real profile service and the simulated providers.
class TestTunnelManagersLive : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + "/bundle").toUtf8());
        qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.05");
        QDir(tunnel_paths::profilesDirectory()).removeRecursively();
        QDir(tunnel_paths::stateDirectory()).removeRecursively();
    }

    void mainChannelRunsAndSurvivesARestart()
    {
        ManualClock clock;
        auto service = std::make_unique<LinuxProfileService>();
        auto manager = std::make_unique<TunnelManager>(*service, clock);
        QList<int> reports;
        manager->onStatusChange = [&reports](int status) { reports.append(status); };

        const QVariantMap policy{{"block_torrent", true}, {"block_domains", QStringList{"example.org"}}};
        auto started = track(manager->start(QStringLiteral("{\"outbounds\":[]}"), {"192.0.2.41"}, std::nullopt, policy));
        QVERIFY(driveUntil(clock, [&] { return started->done; }));
        QVERIFY2(!started->failed(), qPrintable(started->errorDescription));
        QVERIFY(driveUntil(clock, [&] { return reports.contains(3); }));
        QCOMPARE(reports.first(), 2);
        QCOMPARE(manager->connectionStatus(), std::optional<int>(3));

        // What the provider was handed, as stored.
        const QString id = manager->profile()->id;
        QFile stored(service->profilePath(id));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        const QJsonObject doc = QJsonDocument::fromJson(stored.readAll()).object();
        const QJsonObject conf = doc["protocol"].toObject()["providerConfiguration"].toObject();
        QCOMPARE(conf.keys(), (QStringList{"bypassIPs", "configContent", "policy"}));
        QCOMPARE(doc["protocol"].toObject()["providerBundleIdentifier"].toString(), QStringLiteral("com.qorvpn.connect.mac.tunnel"));
        QVERIFY(doc["onDemandEnabled"].toBool());

        // The application restarts: a new service and manager adopt the running tunnel.
        manager.reset();
        service.reset();
        LinuxProfileService restartedService;
        TunnelManager restarted(restartedService, clock);
        QList<int> afterRestart;
        restarted.onStatusChange = [&afterRestart](int status) { afterRestart.append(status); };
        auto adopted = track(restarted.loadExisting());
        QVERIFY(driveUntil(clock, [&] { return adopted->done; }));
        QCOMPARE(afterRestart, QList<int>{3});

        auto stopped = track(restarted.stopAndWait(10.0));
        QVERIFY(driveUntil(clock, [&] { return stopped->done; }));
        QCOMPARE(restarted.connectionStatus(), std::optional<int>(1));
        QVERIFY(driveUntil(clock, [&] { return !afterRestart.isEmpty() && afterRestart.last() == 1; }));
        QVERIFY(!restarted.profile()->onDemandEnabled);
    }

    void reserveChannelStartsAndStops()
    {
        ManualClock clock;
        LinuxProfileService service;
        ReserveTunnelManager manager(service, clock);
        QList<int> reports;
        manager.onStatusChange = [&reports](int status) { reports.append(status); };
        auto started = track(manager.start({"[Interface]\nPrivateKey = a\n", "[Interface]\nPrivateKey = b\n"}));
        QVERIFY(driveUntil(clock, [&] { return reports.contains(3); }));
        QVERIFY(!started->failed());

        manager.stop();
        QVERIFY(driveUntil(clock, [&] { return reports.last() == 1; }));
        QCOMPARE(manager.connectionStatus(), std::optional<int>(1));
    }

    void demoWiringConnectsTheMainChannel()
    {
        ManualClock clock;
        TunnelServices services(clock, TunnelPlatform::Kind::DemoFiles);
        QList<int> reports;
        services.tunnel.onStatusChange = [&reports](int status) { reports.append(status); };
        auto activation = track(services.extensions.activate(SystemExtensionManager::mainExtensionIdentifier()));
        QVERIFY(driveUntil(clock, [&] { return activation->done; }));
        QCOMPARE(*activation->value, SystemExtensionManager::ActivationResult::Activated);
        QVERIFY(services.extensions.bundleContainsExtension(SystemExtensionManager::reserveExtensionIdentifier()));

        auto started = track(services.tunnel.start(QStringLiteral("{}")));
        QVERIFY(driveUntil(clock, [&] { return reports.contains(3); }));
        auto stopped = track(services.tunnel.stopAndWait(10.0));
        QVERIFY(driveUntil(clock, [&] { return stopped->done; }));
        QCOMPARE(services.tunnel.connectionStatus(), std::optional<int>(1));
    }

    void refusedStartNamesTheStage()
    {
        // A profile whose provider the bundle does not carry.
        qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_TEST_SCRATCH") + "/empty-bundle").toUtf8());
        ManualClock clock;
        LinuxProfileService service;
        TunnelManager manager(service, clock);
        auto started = track(manager.start(QStringLiteral("{}")));
        QVERIFY(driveUntil(clock, [&] { return started->done; }));
        qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + "/bundle").toUtf8());
        QVERIFY(started->failed());
        QCOMPARE(started->errorDescription,
                 QStringLiteral("[startVPNTunnel] domain=com.qorvpn.connect.profiles code=3 Не удалось запустить "
                                "VPN-подключение | underlying: domain=POSIX code=2 No such file or directory"));
    }
};

QTEST_GUILESS_MAIN(TestTunnelManagersLive)
#include "test_tunnel_managers_live.moc"
