#include "app_fixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
// The five settings in one line: mode, cascade, auto-reconnect, appearance, liquid glass.
QString settings(const AppState &app)
{
    return QStringList{rawText(app.connectMode()), rawText(app.cascadeMode()), app.autoReconnectEnabled() ? u"reconnect"_s : u"-"_s,
                       rawText(app.appearance()), app.liquidGlassEnabled() ? u"glass"_s : u"-"_s}
        .join(u' ');
}

QStringList endpoints(const QList<DirectNode> &nodes)
{
    QStringList list;
    for (const DirectNode &node : nodes)
        list.append(node.endpoint);
    return list;
}

AppState &withNodes(AppFixture &f, const QStringList &nodes)
{
    AppState &app = f.state ? f.app() : f.start();
    app.setXrayConfigsJSON(catalogJson(nodes));
    app.refreshDirectNodes();
    return app;
}
} // namespace

class TestAppStateModel : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void loadRules_data()
    {
        QTest::addColumn<QVariantMap>("stored"); // settings.<key>: a text, or a boolean
        QTest::addColumn<QString>("expected");
        const QString defaults = u" reconnect system -"_s;
        QTest::newRow("nothing stored") << QVariantMap{} << u"auto standard"_s + defaults;
        QTest::newRow("stored main") << QVariantMap{{"connectMode", "main"}, {"cascadeMode", "standard"}} << u"main standard"_s + defaults;
        QTest::newRow("stored tavrin") << QVariantMap{{"connectMode", "tavrin"}, {"cascadeMode", "tavrin"}} << u"tavrin tavrin"_s + defaults;
        QTest::newRow("unknown mode, cascade tavrin") << QVariantMap{{"connectMode", "turbo"}, {"cascadeMode", "tavrin"}}
                                                      << u"tavrin tavrin"_s + defaults;
        QTest::newRow("unknown mode, other cascade") << QVariantMap{{"connectMode", "turbo"}, {"cascadeMode", "Tavrin"}}
                                                     << u"auto standard"_s + defaults;
        QTest::newRow("raw texts are case-sensitive") << QVariantMap{{"connectMode", "Main"}} << u"auto standard"_s + defaults;
        QTest::newRow("texts where booleans belong, unknown appearance")
            << QVariantMap{{"autoReconnectEnabled", "false"}, {"liquidGlass", "true"}, {"appearance", "sepia"}} << u"auto standard"_s + defaults;
        QTest::newRow("booleans, dark") << QVariantMap{{"autoReconnectEnabled", false}, {"liquidGlass", true}, {"appearance", "dark"}}
                                        << u"auto standard - dark glass"_s;
    }

    void loadRules()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QString, expected);
        AppFixture f;
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            if (it->typeId() == QMetaType::Bool)
                f.sharedDefaults.setBool(u"settings."_s + it.key(), it->toBool());
            else
                f.sharedDefaults.setText(u"settings."_s + it.key(), it->toString());
        }
        AppState &app = f.start();
        QCOMPARE(settings(app), expected);
        QVERIFY(!f.sharedDefaults.contains(u"settings.connectMode"_s) || stored.contains(u"connectMode"_s)); // loading writes nothing
    }

    void settingsPersistOnAssignmentAndNotify()
    {
        AppFixture f;
        AppState &app = f.start();
        QSignalSpy modeSpy(&app, &AppState::connectModeChanged);
        app.setAppearance(AppAppearance::Light);
        app.setLiquidGlassEnabled(true);
        app.setAutoReconnectEnabled(false);
        app.setCascadeMode(CascadeMode::Tavrin);
        app.setConnectMode(ConnectMode::Main);
        app.setConnectMode(ConnectMode::Main); // same value: still an assignment, still notified
        QCOMPARE(modeSpy.count(), 2);
        app.setConnectMode(ConnectMode::Reserve); // the reserve mode is never written
        QCOMPARE(app.connectMode(), ConnectMode::Reserve);
        QVERIFY(!f.standardDefaults.contains(u"settings.connectMode"_s)); // settings go to the shared store only
        QCOMPARE(settings(f.restart()), u"main tavrin - light glass"_s);
    }

    void nodeListRefresh()
    {
        AppFixture f;
        AppState &app = withNodes(f, {"10.0.0.1:443", "10.0.0.2:8443", "10.0.0.3:443"});
        app.setNodeLatency(u"10.0.0.1:443"_s, 40);
        app.setNodeLatency(u"10.0.0.3:443"_s, 90);
        // The target is kept while its endpoint is listed, even if the node's text changed.
        app.setTarget(ConnectionTarget::node(DirectNode{u"10.0.0.1:443"_s, u"{}"_s}));
        QSignalSpy latencySpy(&app, &AppState::nodeLatencyChanged);
        withNodes(f, {"10.0.0.1:443", "10.0.0.2:8443"});
        QCOMPARE(endpoints(app.directNodes()), (QStringList{"10.0.0.1:443", "10.0.0.2:8443"}));
        QCOMPARE(app.nodeLatency(), (QHash<QString, quint64>{{u"10.0.0.1:443"_s, 40}})); // the gone node's is pruned
        QCOMPARE(latencySpy.count(), 1);
        QCOMPARE(app.target().endpoint(), u"10.0.0.1:443"_s);
        QVERIFY(!app.connectionError());

        // A chosen node that leaves the list: back to the balancer, forgotten, and said.
        app.setTarget(ConnectionTarget::node(app.directNodes().at(1)));
        app.preferredTarget = app.target();
        f.standardDefaults.setText(u"session.selectedNodeEndpoint"_s, u"10.0.0.2:8443"_s);
        withNodes(f, {"10.0.0.1:443"});
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QCOMPARE(app.preferredTarget, ConnectionTarget::balancer());
        QVERIFY(!f.standardDefaults.contains(u"session.selectedNodeEndpoint"_s));
        QCOMPARE(app.connectionError(), u"Выбранный узел больше не доступен — включён Qor AI Network"_s);

        // No catalog at all empties the list without touching the target or the latencies.
        app.setConnectionError(std::nullopt);
        app.setTarget(ConnectionTarget::node(app.directNodes().at(0)));
        app.setXrayConfigsJSON(std::nullopt);
        app.refreshDirectNodes();
        QVERIFY(app.directNodes().isEmpty());
        QCOMPARE(app.target().endpoint(), u"10.0.0.1:443"_s);
        QCOMPARE(app.nodeLatency().size(), 1);
        QVERIFY(!app.connectionError());
    }

    void selectedNodeRestoreAndLookup()
    {
        AppFixture f;
        AppState &app = withNodes(f, {"10.0.0.1:443", "10.0.0.2:443", "10.0.0.2:443"});
        for (const QString &stored : {QString(), u"10.0.0.9:443"_s}) { // nothing stored, or a node no longer listed
            if (!stored.isNull())
                f.standardDefaults.setText(u"session.selectedNodeEndpoint"_s, stored);
            QVERIFY(!app.savedSelectedNode());
            app.restoreSelectedNode();
            QCOMPARE(app.target(), ConnectionTarget::balancer());
        }
        f.standardDefaults.setText(u"session.selectedNodeEndpoint"_s, u"10.0.0.2:443"_s);
        QCOMPARE(app.savedSelectedNode()->endpoint, u"10.0.0.2:443"_s);
        QCOMPARE(app.target(), ConnectionTarget::balancer()); // the look-up alone changes nothing
        app.restoreSelectedNode();
        QCOMPARE(app.target(), ConnectionTarget::node(app.directNodes().at(1)));
        QCOMPARE(app.preferredTarget, app.target());
    }

    void connectionDurationAndStateText()
    {
        AppFixture f;
        AppState &app = f.start();
        const QDateTime since = QDateTime(QDate(2026, 1, 31), QTime(14, 5, 9), Qt::UTC);
        QCOMPARE(app.connectionDuration(since.addSecs(3723)), u"00:00:00"_s); // not connected
        app.setConnectionState(ConnectionState::Connected, since);
        QCOMPARE(app.stateText(), u"connected(2026-01-31 14:05:09 +0000)"_s);
        const QList<std::pair<qint64, QString>> table{{0, u"00:00:00"_s},      {3723, u"01:02:03"_s},     {86399, u"23:59:59"_s},
                                                      {86400, u"1д 00:00:00"_s}, {93784, u"1д 02:03:04"_s}, {12 * 86400 + 59, u"12д 00:00:59"_s},
                                                      {-5, u"00:00:00"_s}}; // a start in the future
        for (const auto &[seconds, text] : table)
            QCOMPARE(app.connectionDuration(since.addSecs(seconds).addMSecs(999)), text);
        app.setConnectionState(ConnectionState::Disconnecting);
        QCOMPARE(app.stateText(), u"disconnecting"_s);
        QVERIFY(!app.connectedSince().isValid());
    }

    // Real measurements are in test_node_latency_live; the order, the count and two edges need no network.
    void latencyOrderCountAndEdges()
    {
        AppFixture f;
        AppState &app = f.start();
        app.setConnectionState(ConnectionState::Connected, f.clock.now());
        app.measureNodeLatency(); // nothing to measure: done at once, and nothing to blame on the tunnel
        QVERIFY(!app.measuringLatency() && !app.latencyNeedsDisconnect());
        withNodes(f, {"a.example:1", "b.example:2", "c.example:3", "d.example:4", "e.example:5"});
        QCOMPARE(app.measuredNodeCount(), 0);
        app.setNodeLatency(u"d.example:4"_s, 30);
        app.setNodeLatency(u"b.example:2"_s, 80);
        app.setNodeLatency(u"e.example:5"_s, 30);
        app.setNodeLatency(u"gone.example:9"_s, 1); // not a listed node: not counted
        QCOMPARE(app.measuredNodeCount(), 3);
        // Measured first, fastest first; ties and the unmeasured keep the list's order.
        QCOMPARE(endpoints(app.nodesByLatency()), (QStringList{"d.example:4", "e.example:5", "b.example:2", "a.example:1", "c.example:3"}));
        app.setConnectionState(ConnectionState::Connecting);
        app.measureNodeLatency(); // no node answers (the fixture knows none of them)
        f.clock.advance(4s);
        QVERIFY(!app.measuringLatency());
        QVERIFY(app.latencyNeedsDisconnect()); // every node failed while a tunnel was coming up
        QCOMPARE(app.measuredNodeCount(), 3);  // a failure keeps the earlier values
    }
};

QTEST_GUILESS_MAIN(TestAppStateModel)
#include "test_app_state_model.moc"
