// Connecting, failing and measuring through the real tunnel platform (live_app.h): the
// decisions pinned with fakes in tests/unit/core, proved against real processes and sockets.

#include "live_app.h"

#include "../../bench/loopback_farm.h"
#include "core/cascade_document.h"

#include <QScopeGuard>

using namespace live;

namespace {

const QString tunnelIdentifier = QStringLiteral("com.qorvpn.connect.mac.tunnel");
const QString reserveIdentifier = QStringLiteral("com.qorvpn.connect.mac.reserve");
const QString balancerConfig = compact(mainConfig("Qor AI Network", "balancer.example.com", 443));

QStringList strings(const QJsonValue &value) { return value.toVariant().toStringList(); }

// Listeners of one kind on 127.0.0.1, kept open by `keep`; their endpoints.
QStringList listeners(std::vector<std::unique_ptr<LoopbackListener>> &keep, int count, LoopbackListener::Kind kind)
{
    QStringList endpoints;
    for (int i = 0; i < count; ++i) {
        keep.push_back(std::make_unique<LoopbackListener>("127.0.0.1", 0, kind));
        if (keep.back()->isOpen())
            endpoints.append(QStringLiteral("127.0.0.1:%1").arg(keep.back()->port()));
    }
    return endpoints;
}

QJsonObject answerWithNodes(const QStringList &endpoints)
{
    QJsonArray configs{mainConfig("Qor AI Network", "balancer.example.com", 443)};
    for (const QString &e : endpoints)
        configs.append(mainConfig(e, e.section(':', 0, 0), e.section(':', 1).toInt()));
    return okAnswer({{"xray_configs", configs}});
}

// The real measurement, counting how many run at once.
struct InFlight { int now = 0, peak = 0; };
QCoro::Task<std::optional<quint64>> countedMeasure(std::shared_ptr<InFlight> counter, QString host, quint16 port, int attempts)
{
    counter->peak = std::max(counter->peak, ++counter->now);
    const auto result = co_await qor::measureLatency(host, port, attempts);
    --counter->now;
    co_return result;
}

} // namespace

class TestConnectLive : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { prepareEnvironment(); }

    // Approval, what the provider runs, the channel check (silence warns after 9 rounds of 4), the stop.
    void mainChannelConnects_data()
    {
        QTest::addColumn<QJsonObject>("extra");
        QTest::addColumn<QJsonObject>("configuration"); // what the provider gets
        QTest::addColumn<QString>("awaitingApproval");
        QTest::addColumn<int>("endpoints"); // the HTTP status they answer; 0: none
        // No Tavrin key: auto mode has no second variant to try while approval is pending.
        QTest::newRow("personal account") << QJsonObject{{"tavrin_key", ""}} << QJsonObject{{"configContent", balancerConfig}} << tunnelIdentifier << 404;
        const QJsonObject rules{{"name", "Офис"}, {"block_geosite", QJsonArray{"category-ads"}}, {"block_domains", QJsonArray{"example.org"}},
                                {"block_torrent", true}, {"dns", QJsonObject{{"doh", "https://dns.example/dns-query"}}}};
        // The provider gets the policy's dictionary form: no name, no partial resolver.
        QTest::newRow("company with a traffic policy")
            << QJsonObject{{"tavrin_key", ""}, {"qor", QJsonObject{{"company", "Acme"}, {"policy", rules}}}}
            << QJsonObject{{"configContent", balancerConfig},
                           {"policy", QJsonObject{{"block_geosite", QJsonArray{"category-ads"}}, {"block_domains", QJsonArray{"example.org"}},
                                                  {"allow_domains", QJsonArray{}}, {"block_torrent", true}}}}
            << reserveIdentifier << 0;
    }
    void mainChannelConnects()
    {
        QFETCH(QJsonObject, extra);
        QFETCH(QString, awaitingApproval);
        QFETCH(int, endpoints);
        LiveApp f;
        f.setProbeTimeout(300ms);
        f.setProbeStatus(endpoints);
        AppState &app = f.signIn(okAnswer(extra));
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        // Either extension awaiting approval: its prompt takes over, nothing starts.
        BundleExtensionActivator::setAwaitingApproval(awaitingApproval, true);
        app.tapGlobe();
        QVERIFY(f.drive([&] { return f.settled(); }));
        QVERIFY(app.needsExtensionApproval() && app.awaitingExtensionApprovalReturn && !app.extensionsApproved);
        QCOMPARE(f.summary(), QStringLiteral("disconnected - "));
        QCOMPARE(f.storedProfileCount(), 0);
        BundleExtensionActivator::setAwaitingApproval(awaitingApproval, false);
        f.trace.waitForWrites(); // then the trace starts afresh
        QFile::remove(deployment::traceDirectory() + "/state-trace.txt");

        app.tapGlobe();
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(f.drive([&] { return f.connected(); }));
        QVERIFY(app.extensionsApproved);
        QCOMPARE(f.summary(), QStringLiteral("connected - main"));
        const QJsonObject profile = f.storedProfile(TunnelSource::Main);
        QCOMPARE(profile["protocol"]["providerBundleIdentifier"].toString(), tunnelIdentifier);
        QVERIFY(profile.value("onDemandEnabled").toBool());
        QTEST(f.providerConfiguration(TunnelSource::Main), "configuration");
        QVERIFY(LiveApp::kvbRecord().isEmpty()); // no cascade, no Tavrin client
        QCOMPARE(f.traceLines().filter(QRegularExpression("^(tap globe|connect|auto:|main:)")),
                 (QStringList{"tap globe (state=disconnected, target=Qor AI Network)", "connect -> Qor AI Network",
                              "auto: cascade=standard, запасной ход=false", "main: starting (cascade=standard)"}));
        QCOMPARE(f.traceCount("status 3 from main"), 1);

        QCOMPARE(f.probeRequests(), 0);
        if (endpoints != 0) {
            QVERIFY(f.drive([&] { return f.probeRequests() > 0; }));
            f.pass(120s);
            QVERIFY(f.probeRequests() <= 4); // the first answer ended the check
        } else {
            QVERIFY(f.drive([&] { return app.connectionError().has_value(); }));
            QCOMPARE(f.summary(), "connected " + AppState::networkWarning + " main");
            QCOMPARE(f.probeRequests(), 9 * 4);
            QCOMPARE(f.traceCount("main channel connected but carries no traffic (patient window elapsed)"), 1);
            f.setProbeStatus(204);
            QVERIFY(f.drive([&] { return !app.connectionError(); }, 15s));
        }
        QCOMPARE(f.summary(), QStringLiteral("connected - main"));
        // The globe again is the user's stop: the provider goes, nothing comes back.
        app.tapGlobe();
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(f.waitReal([&] { return !f.tunnelRunning(TunnelSource::Main); }));
        f.pass(60s);
        QCOMPARE(f.summary(), QStringLiteral("disconnected - "));
        QCOMPARE(f.traceCounts({"auto-reconnect armed", "connect -> "}), QStringLiteral("0 1"));
        QVERIFY(!f.storedProfile(TunnelSource::Main).value("onDemandEnabled").toBool());
    }

    void tavrinCascadeConnects()
    {
        LiveApp f;
        AppState &app = f.signIn(okAnswer({{"tavrin_key", "  secret-key\n"}}));
        app.selectMode(ConnectMode::Tavrin);
        app.tapGlobe();
        QVERIFY(f.drive([&] { return f.connected(); }));
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);
        QCOMPARE(f.traceCount("main: starting (cascade=tavrin)"), 1);

        // The tunnel runs the cascade document, pointed at the client's port as a number.
        const QJsonObject configuration = f.providerConfiguration(TunnelSource::Main);
        const QString document = configuration.value("configContent").toString();
        QCOMPARE(document, CascadeDocument::filled(1080));
        const QJsonObject tavrin = QJsonDocument::fromJson(document.toUtf8())["outbounds"][0].toObject();
        QCOMPARE(tavrin.value("tag").toString(), QStringLiteral("tavrin"));
        QCOMPARE(tavrin["settings"]["servers"][0].toObject(), (QJsonObject{{"address", "127.0.0.1"}, {"port", 1080}}));
        QVERIFY(!configuration.contains("tavrinKey"));
        // The client's entries bypass the tunnel: the two found and the five built-in ones, each once.
        QStringList bypass = strings(configuration.value("bypassIPs")), expected = QStringList{"127.0.0.2", "127.0.0.3"} + TavrinEntries::builtInAddresses();
        bypass.sort();
        expected.sort();
        QCOMPARE(bypass, expected);

        // The client runs with its eleven arguments and a private key file.
        QVERIFY(f.waitReal([] { return !LiveApp::kvbRecord().isEmpty(); }));
        const QJsonObject record = LiveApp::kvbRecord();
        QStringList servers;
        for (int i = 0; i < f.entryList.size(); ++i) {
            const auto &entry = f.entryList.at(i);
            servers.append((i < 2 ? entry.host : TavrinEntries::all().at(i).ip) + ":8443@" + entry.pub + "@" + entry.host);
        }
        QCOMPARE(strings(record.value("arguments")),
                 (QStringList{"-key", TavrinHelper::keyFileLocation(), "-carrier", "h2", "-servers", servers.join(','),
                              "-balance", "leastload", "-insecure", "-listen", "127.0.0.1:1080"}));
        QCOMPARE(record.value("keyFileMode").toString(), QStringLiteral("0600"));
        QVERIFY(record.value("keyReadable").toBool());
        QVERIFY(::kill(pid_t(record.value("pid").toInteger()), 0) == 0);
        QFile key(TavrinHelper::keyFileLocation());
        QVERIFY(key.open(QIODevice::ReadOnly) && key.readAll() == "secret-key");

        // Back to the plain channel: the client is told to end, its key deleted, the balancer's config runs.
        app.selectMode(ConnectMode::Main);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(f.drive([&] { return f.connected(); }));
        QCOMPARE(app.cascadeMode(), CascadeMode::Standard);
        QVERIFY(f.waitReal([] { return LiveApp::kvbRecord().value("terminated").toBool(); }));
        QVERIFY(!QFile::exists(TavrinHelper::keyFileLocation()));
        QCOMPARE(f.providerConfiguration(TunnelSource::Main), (QJsonObject{{"configContent", balancerConfig}}));
        QCOMPARE(f.summary(), QStringLiteral("connected - main"));
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
            QVERIFY(f.drive([&] { return f.connected(); }));
        }
        QStringList progress;
        QObject receiver; // goes before `progress`, taking the connection with it
        QObject::connect(&app, &AppState::connectionProgressChanged, &receiver, [&] { progress.append(app.connectionProgress().value_or(QString())); });

        app.enableReserve();
        QCOMPARE(app.connectMode(), ConnectMode::Reserve);
        QCOMPARE(app.target(), ConnectionTarget::reserve());
        // Every connect stops the other channel first.
        QVERIFY(f.drive([&] { return f.connected() && f.summary() == u"connected - reserve"; }));
        QVERIFY(progress.contains("Подбираю сервер (может занять до 60 секунд)"));
        QVERIFY(!app.connectionProgress());
        const QJsonObject profile = f.storedProfile(TunnelSource::Reserve);
        QCOMPARE(profile["protocol"]["providerBundleIdentifier"].toString(), reserveIdentifier);
        QCOMPARE(strings(f.providerConfiguration(TunnelSource::Reserve).value("wgQuickConfigs")), confs);
        QCOMPARE(f.traceCount("reserve: starting, 2 servers"), 1);

        // The reserve channel gets no main-channel check, even when the endpoints fail.
        f.setProbeStatus(500);
        const int probesBefore = f.probeRequests();
        f.pass(60s);
        QCOMPARE(f.probeRequests(), probesBefore);
        QCOMPARE(f.summary(), QStringLiteral("connected - reserve"));

        app.disableReserve();
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QCOMPARE(app.connectMode(), ConnectMode::Auto);
        if (fromMain) {
            QCOMPARE(app.connectionProgress(), QStringLiteral("Переключение на основной канал —\nэто может занять до 30 секунд"));
            QVERIFY(f.drive([&] { return f.connected() && f.summary() == u"connected - main"; }));
            QVERIFY(!app.connectionProgress());
            QVERIFY(f.traceLines().contains("status 1 from reserve IGNORED (active=main, target=Qor AI Network)"));
        } else {
            QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
            f.pass(30s);
            QVERIFY(!f.tunnel.profile()); // the main channel was never started
        }
        QVERIFY(f.waitReal([&] { return !f.tunnelRunning(TunnelSource::Reserve); }));
        QCOMPARE(f.summary(), fromMain ? QStringLiteral("connected - main") : QStringLiteral("disconnected - "));
        QCOMPARE(f.traceCounts({"tap reserve-off -> auto", "auto-reconnect armed"}), QStringLiteral("1 0"));
    }

    // The user stops while a start is under way: all ends quietly, nothing comes back.
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
        if (moment == "stopping") {
            app.tapGlobe();
            QVERIFY(f.drive([&] { return f.connected(); }));
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
            QVERIFY(f.drive([&] { return f.tunnelRunning(TunnelSource::Main); })); // up, but only connecting
            QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        }
        const QString before = f.traceCounts({"connect -> ", "main: starting"});
        app.tapGlobe(); // the user stops
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        f.pass(30s);
        // Look-ups that outlive the stop end by themselves within their limit.
        QVERIFY(f.waitReal([&] { return !f.tunnelRunning(TunnelSource::Main); }));
        QTest::qWait(moment == "lookup" ? 4500 : 0);
        f.pass(30s);
        QVERIFY(f.settled());
        QCOMPARE(f.summary(), QStringLiteral("disconnected - "));
        QCOMPARE(f.traceCounts({"connect -> ", "main: starting"}), before);
        QCOMPARE(f.traceCounts({"connect FAILED", "auto-reconnect armed"}), QStringLiteral("0 0"));
    }

    // A drop, then every start fails: the schedule runs out, the provider's error shown (file consumed).
    void reconnectScheduleAfterADrop()
    {
        LiveApp f;
        const QString dropText = QStringLiteral("Соединение с сервером потеряно");
        const QString failure = QStringLiteral("Сервер недоступен");
        AppState &app = f.signIn(okAnswer({}, {{"drop_after", 0.3}, {"drop_error", dropText}}));
        const auto unset = qScopeGuard([] { qunsetenv("QOR_DEMO_PROVIDER_FAIL"); });
        qint64 lossAt = -1;
        QList<qint64> reconnects; // virtual milliseconds from the loss to each reconnect
        ConnectionState previous = app.connectionState();
        QObject receiver; // goes before the values the connection writes
        QObject::connect(&app, &AppState::connectionStateChanged, &receiver, [&] {
            const ConnectionState now = app.connectionState();
            const qint64 at = f.clock.now().toMSecsSinceEpoch();
            if (now == ConnectionState::Disconnected && previous == ConnectionState::Connected && lossAt < 0)
                lossAt = at;
            else if (now == ConnectionState::Connecting && previous == ConnectionState::Disconnected && lossAt >= 0)
                reconnects.append(at - lossAt);
            previous = now;
        });
        app.tapGlobe();
        QVERIFY(f.drive([&] { return f.connected(); }));
        qputenv("QOR_DEMO_PROVIDER_FAIL", failure.toUtf8()); // every later start fails at once
        QVERIFY(f.drive([&] { return lossAt >= 0; }));
        QCOMPARE(app.connectionError(), dropText);
        QCOMPARE(f.traceCount("auto-reconnect armed"), 1);
        QVERIFY(f.drive([&] { return reconnects.size() == 6 && f.settled(); }, 200s, 120000));
        f.pass(300s);
        QCOMPARE(reconnects, (QList<qint64>{1000, 12000, 25000, 43000, 71000, 109000}));
        QCOMPARE(f.traceCount("connect -> "), 7);
        QCOMPARE(f.summary(), "disconnected " + failure + ' ');
        QVERIFY(f.traceLines().contains("extension error: " + failure));
        QVERIFY(!QFile::exists(deployment::traceDirectory() + "/tunnel-last-error.txt"));
    }

    // The real probe, two in flight, on answering, silent and closed nodes; none answering: disconnect.
    void nodeLatency()
    {
        std::vector<std::unique_ptr<LoopbackListener>> keep;
        const QStringList answering = listeners(keep, 3, LoopbackListener::Answering);
        const QStringList silent = listeners(keep, 2, LoopbackListener::Silent);
        QCOMPARE(answering.size() + silent.size(), 5);
        const QString closed = QStringLiteral("127.0.0.1:%1").arg(closedLoopbackPort());
        LiveApp f;
        auto counter = std::make_shared<InFlight>();
        AppServices services = f.services();
        services.measureLatency = [counter](QString host, quint16 port, int attempts) { return countedMeasure(counter, host, port, attempts); };
        services.latencyConcurrency = [] { return 2; };
        f.signIn(answerWithNodes(QStringList{silent.at(0), answering.at(0), closed} + answering.mid(1) + silent.mid(1)));
        f.state.reset(); // the stored session stays; the state below replaces this one
        AppState &app = f.start(services);
        QCOMPARE(app.directNodes().size(), 6);
        app.tapGlobe();
        QVERIFY(f.drive([&] { return f.connected(); }));
        app.setNodeLatency(silent.at(0), 77); // from an earlier measurement
        QList<bool> measuringAtChange;
        QObject receiver; // goes before `measuringAtChange`
        QObject::connect(&app, &AppState::nodeLatencyChanged, &receiver, [&] { measuringAtChange.append(app.measuringLatency()); });
        app.measureNodeLatency();
        QVERIFY(app.measuringLatency());
        app.measureNodeLatency(); // ignored while the first runs
        QVERIFY(f.waitReal([&] { return !app.measuringLatency(); }, 20000));
        for (const QString &e : answering)
            QVERIFY2(app.nodeLatency().value(e, 1000) < 1000, qPrintable(e));
        QCOMPARE(app.nodeLatency().value(silent.at(0)), 77u); // a failure keeps the earlier value
        QVERIFY(!app.nodeLatency().contains(silent.at(1)) && !app.nodeLatency().contains(closed));
        // One change per answering node (the ignored second call measured nothing), made mid-measurement.
        QCOMPARE(measuringAtChange, (QList<bool>{true, true, true}));
        QCOMPARE(app.measuredNodeCount(), 4); // the answering ones and the one keeping its earlier value
        QCOMPARE(counter->peak, 2);
        QCOMPARE(counter->now, 0);
        QVERIFY(!app.latencyNeedsDisconnect());

        for (int i = 0; i < 3; ++i)
            keep.at(i)->close(); // refused from now on
        app.measureNodeLatency();
        QVERIFY(f.waitReal([&] { return !app.measuringLatency(); }, 20000));
        QVERIFY(app.latencyNeedsDisconnect());
    }

    // More silent nodes than any thread pool: attempts holding a thread each would wait a pool at a time.
    void everyNodeIsInFlightAtOnce()
    {
        constexpr int nodes = 80;
        LoopbackFarm farm;
        QVERIFY(farm.open(nodes, LoopbackFarm::Silent));
        QStringList endpoints;
        for (quint16 port : farm.ports())
            endpoints.append(QStringLiteral("127.0.0.1:%1").arg(port));
        LiveApp f;
        AppState &app = f.signIn(answerWithNodes(endpoints));
        QCOMPARE(app.directNodes().size(), nodes);
        const int waitingBefore = LoopbackFarm::synSentSockets();
        app.measureNodeLatency();
        QVERIFY(f.waitReal([&] { return LoopbackFarm::synSentSockets() - waitingBefore >= nodes; }, 2500));
        QVERIFY(f.waitReal([&] { return !app.measuringLatency(); }, 30000));
        QVERIFY(app.nodeLatency().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConnectLive)
#include "test_connect_live.moc"
