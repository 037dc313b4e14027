// Connecting and disconnecting through the real tunnel platform: the profile
// service launches the simulated providers of the build's bundle, the cascade runs
// the stand-in Tavrin client, the extension activator reads the bundle.

#include "live_app.h"

#include "core/cascade_document.h"

#include <QSignalSpy>

using namespace live;

namespace {

const QString tunnelIdentifier = QStringLiteral("com.qorvpn.connect.mac.tunnel");
const QString reserveIdentifier = QStringLiteral("com.qorvpn.connect.mac.reserve");

bool isConnected(AppState &app)
{
    return app.connectionState() == ConnectionState::Connected && !app.switchingChannels;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QStringList strings(const QJsonValue &value)
{
    return value.toVariant().toStringList();
}

// The lines of `lines` that begin with one of the prefixes, in order.
QStringList linesStarting(const QStringList &lines, const QStringList &prefixes)
{
    QStringList result;
    for (const QString &line : lines) {
        for (const QString &prefix : prefixes) {
            if (line.startsWith(prefix)) {
                result.append(line);
                break;
            }
        }
    }
    return result;
}

} // namespace

class TestConnectLive : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { prepareEnvironment(); }

    void mainChannelConnects_data()
    {
        QTest::addColumn<QJsonObject>("extra");
        QTest::addColumn<QJsonObject>("policy");
        QTest::newRow("personal account") << QJsonObject{} << QJsonObject{};
        const QJsonObject qor{{"company", "Acme"},
                              {"policy", QJsonObject{{"name", "Офис"},
                                                     {"block_geosite", QJsonArray{"category-ads"}},
                                                     {"block_domains", QJsonArray{"example.org"}},
                                                     {"block_torrent", true},
                                                     {"dns", QJsonObject{{"doh", "https://dns.example/dns-query"}}}}}};
        // The provider gets the policy's dictionary form: no name, no partial resolver.
        QTest::newRow("company with a traffic policy")
            << QJsonObject{{"qor", qor}}
            << QJsonObject{{"block_geosite", QJsonArray{"category-ads"}}, {"block_domains", QJsonArray{"example.org"}},
                           {"allow_domains", QJsonArray{}}, {"block_torrent", true}};
    }

    void mainChannelConnects()
    {
        QFETCH(QJsonObject, extra);
        QFETCH(QJsonObject, policy);
        LiveApp f;
        AppState &app = f.signIn(okAnswer(extra));
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);

        app.tapGlobe();
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(f.drive([&] { return isConnected(app); }));
        QVERIFY(!app.connectionError());
        QVERIFY(f.tunnelRunning(TunnelSource::Main));
        QCOMPARE(f.providerStatus(TunnelSource::Main), VpnStatus::Connected);

        // What the provider was started with, as the profile service stored it.
        const QJsonObject profile = f.storedProfile(TunnelSource::Main);
        const QJsonObject protocol = profile.value("protocol").toObject();
        QCOMPARE(protocol.value("providerBundleIdentifier").toString(), tunnelIdentifier);
        QVERIFY(profile.value("onDemandEnabled").toBool());
        const QJsonObject configuration = protocol.value("providerConfiguration").toObject();
        QCOMPARE(configuration.value("configContent").toString(),
                 configText(mainConfig("Qor AI Network", "balancer.example.com", 443)));
        QVERIFY(!configuration.contains("bypassIPs"));
        QVERIFY(!configuration.contains("tavrinKey"));
        QCOMPARE(configuration.contains("policy"), !policy.isEmpty());
        QCOMPARE(configuration.value("policy").toObject(), policy);
        QVERIFY(LiveApp::kvbRecord().isEmpty()); // no cascade, no Tavrin client

        const QStringList lines = f.traceLines();
        QCOMPARE(linesStarting(lines, {"tap globe", "connect", "auto:", "main:"}),
                 (QStringList{"tap globe (state=disconnected, target=Qor AI Network)", "connect -> Qor AI Network",
                              "auto: cascade=standard, запасной ход=false", "main: starting (cascade=standard)"}));
        QCOMPARE(linesStarting(lines, {"status 3 from main"}).size(), 1);

        // The channel check asks the local endpoints, which answer: no warning.
        QVERIFY(f.drive([&] { return f.probeServer.requests() > 0; }));
        f.pass(60s);
        QVERIFY(!app.connectionError());
        QCOMPARE(app.connectionState(), ConnectionState::Connected);

        // The globe again is the user's stop: the provider goes, nothing comes back.
        app.tapGlobe();
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(f.waitReal([&] { return !f.tunnelRunning(TunnelSource::Main); }));
        f.pass(60s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(!app.connectionError());
        QCOMPARE(f.traceCount("auto-reconnect armed"), 0);
        QCOMPARE(f.traceCount("connect -> "), 1);
        QVERIFY(!f.storedProfile(TunnelSource::Main).value("onDemandEnabled").toBool());
    }

    void tavrinCascadeConnects()
    {
        LiveApp f;
        AppState &app = f.signIn(okAnswer({{"tavrin_key", "  secret-key\n"}}));
        app.selectMode(ConnectMode::Tavrin);
        app.tapGlobe();
        QVERIFY(f.drive([&] { return isConnected(app); }));
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);
        QVERIFY(f.traceLines().contains("main: starting (cascade=tavrin)"));

        // The tunnel runs the cascade document, pointed at the client's port as a number.
        const QJsonObject configuration = f.providerConfiguration(TunnelSource::Main);
        const QString document = configuration.value("configContent").toString();
        QCOMPARE(document, CascadeDocument::filled(1080));
        QVERIFY(!document.contains("__TAVRIN_PORT__"));
        QJsonParseError error{};
        const QJsonObject parsed = QJsonDocument::fromJson(document.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject tavrinOutbound = parsed.value("outbounds").toArray().at(0).toObject();
        QCOMPARE(tavrinOutbound.value("tag").toString(), QStringLiteral("tavrin"));
        const QJsonObject socksServer = tavrinOutbound.value("settings").toObject().value("servers").toArray().at(0).toObject();
        QCOMPARE(socksServer.value("address").toString(), QStringLiteral("127.0.0.1"));
        QVERIFY(socksServer.value("port").isDouble());
        QCOMPARE(socksServer.value("port").toInt(), 1080);
        QVERIFY(!configuration.contains("tavrinKey"));

        // The client's own entries leave outside the tunnel: the two addresses the
        // look-ups found and the five built-in ones, each once.
        const QStringList bypass = strings(configuration.value("bypassIPs"));
        QStringList expectedBypass = QStringList{"127.0.0.2", "127.0.0.3"} + TavrinEntries::builtInAddresses();
        QCOMPARE(sorted(bypass), sorted(expectedBypass));

        // The client runs with its eleven arguments and a private key file.
        QVERIFY(f.waitReal([] { return !LiveApp::kvbRecord().isEmpty(); }));
        const QJsonObject record = LiveApp::kvbRecord();
        QStringList servers;
        for (int i = 0; i < f.entryList.size(); ++i) {
            const auto &entry = f.entryList.at(i);
            const QString address = i < 2 ? entry.host : TavrinEntries::all().at(i).ip;
            servers.append(address + ":8443@" + entry.pub + "@" + entry.host);
        }
        QCOMPARE(strings(record.value("arguments")),
                 (QStringList{"-key", TavrinHelper::keyFileLocation(), "-carrier", "h2", "-servers", servers.join(','),
                              "-balance", "leastload", "-insecure", "-listen", "127.0.0.1:1080"}));
        QCOMPARE(record.value("keyFileMode").toString(), QStringLiteral("0600"));
        QVERIFY(record.value("keyReadable").toBool());
        const qint64 clientPid = qint64(record.value("pid").toDouble());
        QVERIFY(LiveApp::processAlive(clientPid));
        QFile key(TavrinHelper::keyFileLocation());
        QVERIFY(key.open(QIODevice::ReadOnly));
        QCOMPARE(key.readAll(), QByteArray("secret-key"));
        key.close();

        // Back to the plain channel while connected: the client is told to end, its
        // key is deleted, and the tunnel runs the balancer's own configuration.
        app.selectMode(ConnectMode::Main);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(f.drive([&] { return isConnected(app); }));
        QCOMPARE(app.cascadeMode(), CascadeMode::Standard);
        QVERIFY(f.waitReal([] { return LiveApp::kvbRecord().value("terminated").toBool(); }));
        QVERIFY(!QFile::exists(TavrinHelper::keyFileLocation()));
        const QJsonObject plain = f.providerConfiguration(TunnelSource::Main);
        QCOMPARE(plain.value("configContent").toString(), configText(mainConfig("Qor AI Network", "balancer.example.com", 443)));
        QVERIFY(!plain.contains("bypassIPs"));
        QVERIFY(f.tunnelRunning(TunnelSource::Main));
        QVERIFY(!app.connectionError());
    }

    void reserveEnteredAndLeft_data()
    {
        QTest::addColumn<bool>("fromMain");
        QTest::newRow("entered while disconnected") << false;
        QTest::newRow("entered from a working main channel") << true;
    }

    void reserveEnteredAndLeft()
    {
        QFETCH(bool, fromMain);
        LiveApp f;
        const QStringList confs{"[Interface]\nPrivateKey = a\n", "[Interface]\nPrivateKey = b\n"};
        AppState &app = f.signIn(okAnswer({{"awg_conf", awgConfigs({confs.at(0), QString(), confs.at(1)})}}));
        if (fromMain) {
            app.tapGlobe();
            QVERIFY(f.drive([&] { return isConnected(app); }));
        }
        QStringList progress;
        QObject receiver; // goes before `progress`, taking the connection with it
        QObject::connect(&app, &AppState::connectionProgressChanged, &receiver, [&] { progress.append(app.connectionProgressText()); });

        app.enableReserve();
        QCOMPARE(app.connectMode(), ConnectMode::Reserve);
        QCOMPARE(app.target(), ConnectionTarget::reserve());
        QVERIFY(f.drive([&] { return isConnected(app) && f.providerStatus(TunnelSource::Reserve) == VpnStatus::Connected; }));
        QVERIFY(progress.contains("Подбираю сервер (может занять до 60 секунд)"));
        QVERIFY(!app.connectionProgress());
        QVERIFY(!f.tunnelRunning(TunnelSource::Main)); // every connect stops the other channel first
        const QJsonObject protocol = f.storedProfile(TunnelSource::Reserve).value("protocol").toObject();
        QCOMPARE(protocol.value("providerBundleIdentifier").toString(), reserveIdentifier);
        QCOMPARE(strings(protocol.value("providerConfiguration").toObject().value("wgQuickConfigs")), confs);
        QCOMPARE(f.traceCount("reserve: starting, 2 servers"), 1);

        // The reserve channel gets no main-channel check, even when the endpoints fail.
        f.probeServer.setStatus(500);
        const int probesBefore = f.probeServer.requests();
        f.pass(60s);
        QCOMPARE(f.probeServer.requests(), probesBefore);
        QVERIFY(!app.connectionError());
        QCOMPARE(app.connectionState(), ConnectionState::Connected);

        app.disableReserve();
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QCOMPARE(app.connectMode(), ConnectMode::Auto);
        if (fromMain) {
            QCOMPARE(app.connectionProgress(), QStringLiteral("Переключение на основной канал —\nэто может занять до 30 секунд"));
            QVERIFY(f.drive([&] { return isConnected(app) && f.providerStatus(TunnelSource::Main) == VpnStatus::Connected; }));
            QVERIFY(!app.connectionProgress());
            QVERIFY(f.waitReal([&] { return !f.tunnelRunning(TunnelSource::Reserve); }));
            QVERIFY(f.traceLines().contains("status 1 from reserve IGNORED (active=main, target=Qor AI Network)"));
        } else {
            QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
            QVERIFY(f.waitReal([&] { return !f.tunnelRunning(TunnelSource::Reserve); }));
            f.pass(30s);
            QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
            QVERIFY(!f.tunnel.profile()); // the main channel was never started
        }
        QVERIFY(!app.connectionError());
        QCOMPARE(f.traceCount("tap reserve-off -> auto"), 1);
        QCOMPARE(f.traceCount("auto-reconnect armed"), 0);
    }

    void extensionAwaitingApproval_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::newRow("main extension") << tunnelIdentifier;
        QTest::newRow("reserve extension") << reserveIdentifier;
    }

    void extensionAwaitingApproval()
    {
        QFETCH(QString, identifier);
        LiveApp f;
        AppState &app = f.signIn(okAnswer({{"tavrin_key", ""}}));
        BundleExtensionActivator::setAwaitingApproval(identifier, true);

        app.tapGlobe();
        QVERIFY(f.drive([&] { return !app.switchingChannels && app.connectionState() == ConnectionState::Disconnected; }));
        QVERIFY(app.needsExtensionApproval());
        QVERIFY(app.awaitingExtensionApprovalReturn);
        QVERIFY(!app.extensionsApproved);
        QVERIFY(!app.connectionError()); // the approval prompt takes over; no error text
        QCOMPARE(f.storedProfileCount(), 0);
        QCOMPARE(f.traceCount("connect -> "), 1);

        // The user approves; the next press connects.
        BundleExtensionActivator::setAwaitingApproval(identifier, false);
        app.tapGlobe();
        QVERIFY(f.drive([&] { return isConnected(app); }));
        QVERIFY(app.extensionsApproved);
        QVERIFY(f.tunnelRunning(TunnelSource::Main));
        QVERIFY(!app.connectionError());
    }

    void stopDuringStart_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::newRow("the old tunnel is stopping") << "stopping";
        QTest::newRow("the Tavrin entries are looked up") << "lookup";
        QTest::newRow("the provider is connecting") << "provider";
    }

    void stopDuringStart()
    {
        QFETCH(QString, moment);
        LiveApp f(moment == "lookup" ? LiveApp::Entries::Silent : LiveApp::Entries::TwoFound);
        const QJsonObject demo = moment == "provider" ? QJsonObject{{"stay_connecting", true}} : QJsonObject{};
        AppState &app = f.signIn(okAnswer({{"tavrin_key", "k"}}, demo));
        int startsBefore = 0;
        if (moment == "stopping") {
            app.tapGlobe();
            QVERIFY(f.drive([&] { return isConnected(app); }));
            startsBefore = 1;
            app.selectMode(ConnectMode::Main); // a switch: the connect first stops the running tunnel
            QVERIFY(app.switchingChannels);
        } else if (moment == "lookup") {
            app.selectMode(ConnectMode::Tavrin);
            app.tapGlobe();
            // Past the look-ups' pause; the silent entries keep them running (real time).
            const QDateTime pressed = f.clock.now();
            QVERIFY(f.drive([&] { return pressed.msecsTo(f.clock.now()) >= 3000; }));
            QVERIFY(app.switchingChannels);
            QCOMPARE(f.storedProfileCount(), 0);
        } else {
            app.tapGlobe();
            QVERIFY(f.drive([&] { return f.providerStatus(TunnelSource::Main) == VpnStatus::Connecting; }));
            QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        }
        const int connects = f.traceCount("connect -> ");

        app.tapGlobe(); // the user stops
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        f.pass(30s);
        // Look-ups that outlive the stop end by themselves within their limit.
        QVERIFY(f.waitReal([&] { return !f.tunnelRunning(TunnelSource::Main); }));
        QTest::qWait(moment == "lookup" ? 4500 : 0);
        f.pass(30s);

        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(!app.connectionError());
        QCOMPARE(f.traceCount("connect FAILED"), 0);
        QCOMPARE(f.traceCount("connect -> "), connects);
        QCOMPARE(f.traceCount("main: starting"), startsBefore + (moment == "provider" ? 1 : 0));
        QCOMPARE(f.traceCount("auto-reconnect armed"), 0);
        QVERIFY(!app.switchingChannels);
        QVERIFY(!f.tunnelRunning(TunnelSource::Main));
        QVERIFY(!f.tunnelRunning(TunnelSource::Reserve));
    }
};

QTEST_GUILESS_MAIN(TestConnectLive)
#include "test_connect_live.moc"
