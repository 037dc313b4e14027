// Node latency with the real probe against loopback listeners: answering ones,
// silent ones (a full accept queue, so an attempt waits until its limit) and a
// closed port.

#include "live_app.h"

#include "../../bench/loopback_farm.h"

#include <QSignalSpy>

using namespace live;

namespace {

QString endpoint(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

// A server answer whose direct nodes are these endpoints.
QJsonObject answerWithNodes(const QStringList &endpoints)
{
    QJsonArray configs{mainConfig("Qor AI Network", "balancer.example.com", 443)};
    for (const QString &e : endpoints)
        configs.append(mainConfig(e, e.section(':', 0, 0), e.section(':', 1).toInt()));
    return okAnswer({{"xray_configs", configs}});
}

struct InFlight {
    int now = 0;
    int peak = 0;
};

// The real measurement, counting how many run at once.
QCoro::Task<std::optional<quint64>> countedMeasure(std::shared_ptr<InFlight> counter, QString host, quint16 port, int attempts)
{
    counter->peak = std::max(counter->peak, ++counter->now);
    const auto result = co_await qor::measureLatency(host, port, attempts);
    --counter->now;
    co_return result;
}

} // namespace

class TestNodeLatencyLive : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { prepareEnvironment(); }

    void answeringSilentAndClosedNodes()
    {
        std::vector<std::unique_ptr<LoopbackListener>> listeners;
        QStringList answering, silent;
        for (int i = 0; i < 3; ++i) {
            listeners.push_back(std::make_unique<LoopbackListener>("127.0.0.1", 0, LoopbackListener::Answering));
            answering.append(endpoint(listeners.back()->port()));
        }
        for (int i = 0; i < 2; ++i) {
            listeners.push_back(std::make_unique<LoopbackListener>("127.0.0.1", 0, LoopbackListener::Silent));
            QVERIFY(listeners.back()->isOpen());
            silent.append(endpoint(listeners.back()->port()));
        }
        const QString closed = endpoint(closedLoopbackPort());

        LiveApp f;
        AppState &app = f.signIn(answerWithNodes(QStringList{silent.at(0), answering.at(0), closed} + answering.mid(1) + silent.mid(1)));
        QCOMPARE(app.directNodes().size(), 6);
        app.setNodeLatency(silent.at(0), 77); // from an earlier measurement

        QSignalSpy changes(&app, &AppState::nodeLatencyChanged);
        QList<bool> measuringAtChange;
        QObject receiver; // goes before `measuringAtChange`
        QObject::connect(&app, &AppState::nodeLatencyChanged, &receiver, [&] { measuringAtChange.append(app.measuringLatency()); });
        app.measureNodeLatency();
        QVERIFY(app.measuringLatency());
        app.measureNodeLatency(); // ignored while the first runs
        QVERIFY(app.measuringLatency());
        QVERIFY(f.waitReal([&] { return !app.measuringLatency(); }, 20000));

        for (const QString &e : answering) {
            QVERIFY2(app.nodeLatency().contains(e), qPrintable(e));
            QVERIFY(app.nodeLatency().value(e) < 1000);
        }
        QCOMPARE(app.nodeLatency().value(silent.at(0)), 77u); // a failure keeps the earlier value
        QVERIFY(!app.nodeLatency().contains(silent.at(1)));
        QVERIFY(!app.nodeLatency().contains(closed));
        // One change per answering node (the ignored second call measured nothing),
        // each applied while the silent nodes were still being tried.
        QCOMPARE(changes.count(), 3);
        QCOMPARE(measuringAtChange, (QList<bool>{true, true, true}));
        QVERIFY(!app.latencyNeedsDisconnect());
    }

    void everyNodeFails_data()
    {
        QTest::addColumn<bool>("tunnelUp");
        QTest::newRow("while disconnected") << false;
        QTest::newRow("while the main channel runs") << true;
    }

    void everyNodeFails()
    {
        QFETCH(bool, tunnelUp);
        LoopbackListener silent("127.0.0.1", 0, LoopbackListener::Silent);
        QVERIFY(silent.isOpen());
        LiveApp f;
        AppState &app = f.signIn(answerWithNodes({endpoint(silent.port()), endpoint(closedLoopbackPort())}));
        if (tunnelUp) {
            app.tapGlobe();
            QVERIFY(f.drive([&] { return app.connectionState() == ConnectionState::Connected; }));
        }
        app.measureNodeLatency();
        QVERIFY(f.waitReal([&] { return !app.measuringLatency(); }, 20000));
        QVERIFY(app.nodeLatency().isEmpty());
        QCOMPARE(app.latencyNeedsDisconnect(), tunnelUp);
    }

    void everyNodeIsInFlightAtOnce()
    {
        // More silent nodes than any thread pool of the probe: if attempts held a
        // thread each, only a pool's worth would wait at a time.
        constexpr int nodes = 80;
        LoopbackFarm farm;
        QVERIFY(farm.open(nodes, LoopbackFarm::Silent));
        QStringList endpoints;
        for (quint16 port : farm.ports())
            endpoints.append(endpoint(port));
        LiveApp f;
        AppState &app = f.signIn(answerWithNodes(endpoints));
        QCOMPARE(app.directNodes().size(), nodes);

        const int waitingBefore = LoopbackFarm::synSentSockets();
        app.measureNodeLatency();
        QVERIFY(f.waitReal([&] { return LoopbackFarm::synSentSockets() - waitingBefore >= nodes; }, 2500));
        QVERIFY(f.waitReal([&] { return !app.measuringLatency(); }, 30000));
        QVERIFY(app.nodeLatency().isEmpty());
    }

    void longListsRunInBatches()
    {
        std::vector<std::unique_ptr<LoopbackListener>> listeners;
        QStringList endpoints;
        for (int i = 0; i < 6; ++i) {
            listeners.push_back(std::make_unique<LoopbackListener>("127.0.0.1", 0, LoopbackListener::Answering));
            endpoints.append(endpoint(listeners.back()->port()));
        }
        listeners.push_back(std::make_unique<LoopbackListener>("127.0.0.1", 0, LoopbackListener::Silent));
        QVERIFY(listeners.back()->isOpen());
        endpoints.insert(1, endpoint(listeners.back()->port()));

        LiveApp f;
        auto counter = std::make_shared<InFlight>();
        AppServices services = f.services();
        services.measureLatency = [counter](QString host, quint16 port, int attempts) {
            return countedMeasure(counter, host, port, attempts);
        };
        services.latencyConcurrency = [] { return 2; };
        f.signIn(answerWithNodes(endpoints)); // stores the session; the state below replaces this one
        f.state.reset();
        AppState &app = f.start(services);
        QCOMPARE(app.directNodes().size(), 7);

        app.measureNodeLatency();
        QVERIFY(f.waitReal([&] { return !app.measuringLatency(); }, 20000));
        QCOMPARE(counter->peak, 2);
        QCOMPARE(counter->now, 0);
        QCOMPARE(app.measuredNodeCount(), 6); // every answering node, past the one that stays silent
        QVERIFY(!app.nodeLatency().contains(endpoints.at(1)));
    }
};

QTEST_GUILESS_MAIN(TestNodeLatencyLive)
#include "test_node_latency_live.moc"
