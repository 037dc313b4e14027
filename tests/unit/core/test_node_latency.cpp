#include "app_fixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {
AppState &withNodes(AppFixture &f, const QStringList &endpoints)
{
    AppState &app = f.start();
    app.setXrayConfigsJSON(catalogJson(endpoints));
    app.refreshDirectNodes();
    return app;
}
} // namespace

class TestNodeLatency : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void emptyListEndsAtOnce()
    {
        AppFixture f;
        AppState &app = f.start();
        app.setConnectionState(ConnectionState::Connected, f.clock.now());
        app.measureNodeLatency();
        QVERIFY(!app.measuringLatency());
        QVERIFY(!app.latencyNeedsDisconnect());
        QVERIFY(app.nodeLatency().isEmpty());
    }

    void resultsArriveAsTheyFinish()
    {
        AppFixture f;
        AppState &app = withNodes(f, {"fast.example:443", "dead.example:443", "slow.example:8443"});
        f.latencies.insert(QStringLiteral("fast.example"), 40);
        f.latencies.insert(QStringLiteral("slow.example"), 900);
        app.setNodeLatency(QStringLiteral("dead.example:443"), 77); // an earlier measurement
        QSignalSpy latencySpy(&app, &AppState::nodeLatencyChanged);
        app.measureNodeLatency();
        QVERIFY(app.measuringLatency());
        f.clock.advance(100ms);
        QCOMPARE(app.nodeLatency().value(QStringLiteral("fast.example:443")), 40u);
        QVERIFY(!app.nodeLatency().contains(QStringLiteral("slow.example:8443")));
        QVERIFY(app.measuringLatency());
        f.clock.advance(3s);
        QVERIFY(!app.measuringLatency());
        QCOMPARE(app.nodeLatency().value(QStringLiteral("slow.example:8443")), 900u);
        QCOMPARE(app.nodeLatency().value(QStringLiteral("dead.example:443")), 77u); // a failure keeps the old value
        QCOMPARE(latencySpy.count(), 2);
        QVERIFY(!app.latencyNeedsDisconnect());
        QCOMPARE(f.measuredHosts.size(), 3);
    }

    void allUnreachableWhileATunnelIsUp_data()
    {
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<bool>("needsDisconnect");
        QTest::newRow("connected") << ConnectionState::Connected << true;
        QTest::newRow("connecting") << ConnectionState::Connecting << true;
        QTest::newRow("disconnected") << ConnectionState::Disconnected << false;
    }

    void allUnreachableWhileATunnelIsUp()
    {
        QFETCH(ConnectionState, state);
        QFETCH(bool, needsDisconnect);
        AppFixture f;
        AppState &app = withNodes(f, {"a.example:1", "b.example:2"});
        app.setConnectionState(state, f.clock.now());
        app.measureNodeLatency();
        f.clock.advance(10s);
        QVERIFY(!app.measuringLatency());
        QCOMPARE(app.latencyNeedsDisconnect(), needsDisconnect);
    }

    void secondCallWhileRunningIsDropped()
    {
        AppFixture f;
        AppState &app = withNodes(f, {"a.example:1"});
        app.measureNodeLatency();
        app.measureNodeLatency();
        QCOMPARE(f.measuredHosts.size(), 1);
        QVERIFY(app.measuringLatency());
        f.clock.advance(4s);
        QVERIFY(!app.measuringLatency());
    }

    void inFlightMeasurementsAreBounded()
    {
        AppFixture f;
        QStringList endpoints;
        for (int i = 0; i < 7; ++i)
            endpoints.append(QStringLiteral("n%1.example:443").arg(i));
        AppState &app = f.start();
        auto services = f.services();
        services.latencyConcurrency = [] { return 2; };
        f.state.reset();
        f.state = std::make_unique<AppState>(services);
        AppState &bounded = *f.state;
        bounded.setXrayConfigsJSON(catalogJson(endpoints));
        bounded.refreshDirectNodes();
        for (int i = 0; i < 7; ++i)
            f.latencies.insert(QStringLiteral("n%1.example").arg(i), 100);
        Q_UNUSED(app)
        bounded.measureNodeLatency();
        QCOMPARE(f.measuredHosts.size(), 2);
        f.clock.advance(100ms);
        QCOMPARE(f.measuredHosts.size(), 4);
        f.clock.advance(300ms);
        QCOMPARE(f.measuredHosts.size(), 7);
        QVERIFY(!bounded.measuringLatency());
        QCOMPARE(bounded.measuredNodeCount(), 7);
    }
};

QTEST_GUILESS_MAIN(TestNodeLatency)
#include "test_node_latency.moc"
