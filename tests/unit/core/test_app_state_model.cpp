#include "app_fixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;

namespace {
const QString notice = QStringLiteral("Выбранный узел больше не доступен — включён Qor AI Network");
}

class TestAppStateModel : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void defaultsWithoutStoredSettings()
    {
        AppFixture f;
        f.start();
        AppState &app = f.app();
        QCOMPARE(app.autoReconnectEnabled(), true);
        QCOMPARE(app.appearance(), AppAppearance::System);
        QCOMPARE(app.liquidGlassEnabled(), false);
        QCOMPARE(app.cascadeMode(), CascadeMode::Standard);
        QCOMPARE(app.connectMode(), ConnectMode::Auto);
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QCOMPARE(app.preferredTarget, ConnectionTarget::balancer());
        QVERIFY(!app.connectionError());
        QVERIFY(app.directNodes().isEmpty());
        // Loading writes nothing back.
        QVERIFY(!f.sharedDefaults.contains(QStringLiteral("settings.connectMode")));
    }

    void loadRules_data()
    {
        QTest::addColumn<QString>("connectMode");
        QTest::addColumn<QString>("cascadeMode");
        QTest::addColumn<ConnectMode>("expectedMode");
        QTest::addColumn<CascadeMode>("expectedCascade");
        QTest::newRow("stored main") << "main" << "standard" << ConnectMode::Main << CascadeMode::Standard;
        QTest::newRow("stored tavrin") << "tavrin" << "tavrin" << ConnectMode::Tavrin << CascadeMode::Tavrin;
        QTest::newRow("unknown mode, cascade tavrin") << "turbo" << "tavrin" << ConnectMode::Tavrin << CascadeMode::Tavrin;
        QTest::newRow("unknown mode, other cascade") << "turbo" << "Tavrin" << ConnectMode::Auto << CascadeMode::Standard;
        QTest::newRow("mode missing, cascade tavrin") << QString() << "tavrin" << ConnectMode::Tavrin << CascadeMode::Tavrin;
        QTest::newRow("raw texts are case-sensitive") << "Main" << "standard" << ConnectMode::Auto << CascadeMode::Standard;
    }

    void loadRules()
    {
        QFETCH(QString, connectMode);
        QFETCH(QString, cascadeMode);
        QFETCH(ConnectMode, expectedMode);
        QFETCH(CascadeMode, expectedCascade);
        AppFixture f;
        f.start();
        if (!connectMode.isNull())
            f.sharedDefaults.setText(QStringLiteral("settings.connectMode"), connectMode);
        f.sharedDefaults.setText(QStringLiteral("settings.cascadeMode"), cascadeMode);
        AppState &app = f.restart();
        QCOMPARE(app.connectMode(), expectedMode);
        QCOMPARE(app.cascadeMode(), expectedCascade);
    }

    void nonBooleanAndUnknownStoredValues()
    {
        AppFixture f;
        f.start();
        f.sharedDefaults.setText(QStringLiteral("settings.autoReconnectEnabled"), QStringLiteral("false"));
        f.sharedDefaults.setText(QStringLiteral("settings.liquidGlass"), QStringLiteral("true"));
        f.sharedDefaults.setText(QStringLiteral("settings.appearance"), QStringLiteral("sepia"));
        AppState &app = f.restart();
        QCOMPARE(app.autoReconnectEnabled(), true);
        QCOMPARE(app.liquidGlassEnabled(), false);
        QCOMPARE(app.appearance(), AppAppearance::System);

        f.sharedDefaults.setBool(QStringLiteral("settings.autoReconnectEnabled"), false);
        f.sharedDefaults.setBool(QStringLiteral("settings.liquidGlass"), true);
        f.sharedDefaults.setText(QStringLiteral("settings.appearance"), QStringLiteral("dark"));
        AppState &again = f.restart();
        QCOMPARE(again.autoReconnectEnabled(), false);
        QCOMPARE(again.liquidGlassEnabled(), true);
        QCOMPARE(again.appearance(), AppAppearance::Dark);
    }

    void settingsPersistOnAssignmentAndNotify()
    {
        AppFixture f;
        f.start();
        AppState &app = f.app();
        QSignalSpy modeSpy(&app, &AppState::connectModeChanged);
        app.setAppearance(AppAppearance::Light);
        app.setLiquidGlassEnabled(true);
        app.setAutoReconnectEnabled(false);
        app.setCascadeMode(CascadeMode::Tavrin);
        app.setConnectMode(ConnectMode::Main);
        app.setConnectMode(ConnectMode::Main); // same value: still an assignment, still notified
        QCOMPARE(modeSpy.count(), 2);
        QCOMPARE(f.sharedDefaults.textValue(QStringLiteral("settings.appearance")), QStringLiteral("light"));
        QCOMPARE(f.sharedDefaults.boolValue(QStringLiteral("settings.liquidGlass")), true);
        QCOMPARE(f.sharedDefaults.boolValue(QStringLiteral("settings.autoReconnectEnabled")), false);
        QCOMPARE(f.sharedDefaults.textValue(QStringLiteral("settings.cascadeMode")), QStringLiteral("tavrin"));
        QCOMPARE(f.sharedDefaults.textValue(QStringLiteral("settings.connectMode")), QStringLiteral("main"));
        // Settings go to the shared store only.
        QVERIFY(!f.standardDefaults.contains(QStringLiteral("settings.connectMode")));
    }

    void reserveModeIsNeverWritten()
    {
        AppFixture f;
        f.start();
        f.app().setConnectMode(ConnectMode::Tavrin);
        f.app().setConnectMode(ConnectMode::Reserve);
        QCOMPARE(f.app().connectMode(), ConnectMode::Reserve);
        QCOMPARE(f.sharedDefaults.textValue(QStringLiteral("settings.connectMode")), QStringLiteral("tavrin"));
        QCOMPARE(f.restart().connectMode(), ConnectMode::Tavrin);
    }

    void refreshKeepsPresentNodeAndPrunesLatencies()
    {
        AppFixture f;
        f.start();
        AppState &app = f.app();
        app.setXrayConfigsJSON(catalogJson({"10.0.0.1:443", "10.0.0.2:8443", "10.0.0.3:443"}));
        app.refreshDirectNodes();
        QCOMPARE(app.directNodes().size(), 3);
        app.setNodeLatency(QStringLiteral("10.0.0.1:443"), 40);
        app.setNodeLatency(QStringLiteral("10.0.0.3:443"), 90);
        app.setTarget(ConnectionTarget::node(app.directNodes().at(0)));

        QSignalSpy latencySpy(&app, &AppState::nodeLatencyChanged);
        app.setXrayConfigsJSON(catalogJson({"10.0.0.1:443", "10.0.0.2:8443"}));
        app.refreshDirectNodes();
        QCOMPARE(app.directNodes().size(), 2);
        QCOMPARE(app.nodeLatency().value(QStringLiteral("10.0.0.1:443")), 40u);
        QVERIFY(!app.nodeLatency().contains(QStringLiteral("10.0.0.3:443")));
        QCOMPARE(latencySpy.count(), 1);
        QCOMPARE(app.target().endpoint(), QStringLiteral("10.0.0.1:443"));
        QVERIFY(!app.connectionError());
    }

    void vanishedSelectedNodeFallsBackToBalancer()
    {
        AppFixture f;
        f.start();
        AppState &app = f.app();
        app.setXrayConfigsJSON(catalogJson({"10.0.0.1:443", "10.0.0.2:443"}));
        app.refreshDirectNodes();
        const DirectNode chosen = app.directNodes().at(1);
        app.setTarget(ConnectionTarget::node(chosen));
        app.preferredTarget = app.target();
        f.standardDefaults.setText(QStringLiteral("session.selectedNodeEndpoint"), chosen.endpoint);

        app.setXrayConfigsJSON(catalogJson({"10.0.0.1:443"}));
        app.refreshDirectNodes();
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QCOMPARE(app.preferredTarget, ConnectionTarget::balancer());
        QVERIFY(!f.standardDefaults.contains(QStringLiteral("session.selectedNodeEndpoint")));
        QCOMPARE(app.connectionError(), notice);
    }

    void changedConfigOfSameEndpointKeepsTarget()
    {
        // The target is kept when its endpoint is still listed, even if the node's text changed.
        AppFixture f;
        f.start();
        AppState &app = f.app();
        app.setXrayConfigsJSON(catalogJson({"10.0.0.1:443"}));
        app.refreshDirectNodes();
        app.setTarget(ConnectionTarget::node(DirectNode{QStringLiteral("10.0.0.1:443"), QStringLiteral("{}")}));
        app.refreshDirectNodes();
        QCOMPARE(app.target().endpoint(), QStringLiteral("10.0.0.1:443"));
        QVERIFY(!app.connectionError());
    }

    void absentConfigsEmptyTheListWithoutTouchingTarget()
    {
        AppFixture f;
        f.start();
        AppState &app = f.app();
        app.setXrayConfigsJSON(catalogJson({"10.0.0.1:443"}));
        app.refreshDirectNodes();
        app.setNodeLatency(QStringLiteral("10.0.0.1:443"), 12);
        app.setTarget(ConnectionTarget::node(app.directNodes().at(0)));
        app.setXrayConfigsJSON(std::nullopt);
        app.refreshDirectNodes();
        QVERIFY(app.directNodes().isEmpty());
        QCOMPARE(app.target().endpoint(), QStringLiteral("10.0.0.1:443"));
        QVERIFY(!app.connectionError());
    }

    void selectedNodeRestoreAndLookup()
    {
        AppFixture f;
        f.start();
        AppState &app = f.app();
        app.setXrayConfigsJSON(catalogJson({"10.0.0.1:443", "10.0.0.2:443", "10.0.0.2:443"}));
        app.refreshDirectNodes();
        QVERIFY(!app.savedSelectedNode());
        app.restoreSelectedNode();
        QCOMPARE(app.target(), ConnectionTarget::balancer());

        f.standardDefaults.setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("10.0.0.9:443"));
        QVERIFY(!app.savedSelectedNode());
        app.restoreSelectedNode();
        QCOMPARE(app.target(), ConnectionTarget::balancer());

        f.standardDefaults.setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("10.0.0.2:443"));
        QCOMPARE(app.savedSelectedNode()->endpoint, QStringLiteral("10.0.0.2:443"));
        QCOMPARE(app.target(), ConnectionTarget::balancer()); // the look-up alone changes nothing
        app.restoreSelectedNode();
        QCOMPARE(app.target(), ConnectionTarget::node(app.directNodes().at(1)));
        QCOMPARE(app.preferredTarget, app.target());
    }

    void latencyOrderAndCount()
    {
        AppFixture f;
        f.start();
        AppState &app = f.app();
        app.setXrayConfigsJSON(catalogJson({"a.example:1", "b.example:2", "c.example:3", "d.example:4", "e.example:5"}));
        app.refreshDirectNodes();
        QCOMPARE(app.measuredNodeCount(), 0);
        app.setNodeLatency(QStringLiteral("d.example:4"), 30);
        app.setNodeLatency(QStringLiteral("b.example:2"), 80);
        app.setNodeLatency(QStringLiteral("e.example:5"), 30);
        app.setNodeLatency(QStringLiteral("gone.example:9"), 1); // not a listed node: not counted
        QCOMPARE(app.measuredNodeCount(), 3);
        QStringList order;
        for (const DirectNode &node : app.nodesByLatency())
            order.append(node.endpoint);
        QCOMPARE(order, (QStringList{"d.example:4", "e.example:5", "b.example:2", "a.example:1", "c.example:3"}));
    }

    void connectionDurationAndStateText_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << qint64(0) << "00:00:00";
        QTest::newRow("one hour, two minutes, three seconds") << qint64(3723) << "01:02:03";
        QTest::newRow("last second of the first day") << qint64(86399) << "23:59:59";
        QTest::newRow("one day") << qint64(86400) << "1д 00:00:00";
        QTest::newRow("1d 2h 3m 4s") << qint64(93784) << "1д 02:03:04";
        QTest::newRow("twelve days") << qint64(12 * 86400 + 59) << "12д 00:00:59";
        QTest::newRow("date in the future") << qint64(-5) << "00:00:00";
    }

    void connectionDurationAndStateText()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, expected);
        AppFixture f;
        f.start();
        AppState &app = f.app();
        const QDateTime since = QDateTime(QDate(2026, 1, 31), QTime(14, 5, 9), Qt::UTC);
        QCOMPARE(app.connectionDuration(since.addSecs(seconds)), QStringLiteral("00:00:00"));
        app.setConnectionState(ConnectionState::Connected, since);
        QCOMPARE(app.connectionDuration(since.addSecs(seconds).addMSecs(999)), expected);
        QCOMPARE(app.stateText(), QStringLiteral("connected(2026-01-31 14:05:09 +0000)"));
        app.setConnectionState(ConnectionState::Disconnecting);
        QCOMPARE(app.stateText(), QStringLiteral("disconnecting"));
        QVERIFY(!app.connectedSince().isValid());
    }

    void targetNamesAndRawTexts()
    {
        QCOMPARE(ConnectionTarget::balancer().name(), QStringLiteral("Qor AI Network"));
        QCOMPARE(ConnectionTarget::reserve().name(), QStringLiteral("Резерв"));
        QCOMPARE(ConnectionTarget::node(DirectNode{QString(), QString()}).name(), QStringLiteral("Узел 8261"));
        QVERIFY(ConnectionTarget::node(DirectNode{"h:1", "x"}) != ConnectionTarget::node(DirectNode{"h:1", "y"}));
        QCOMPARE(rawText(ConnectMode::Auto), QStringLiteral("auto"));
        QCOMPARE(rawText(ConnectMode::Reserve), QStringLiteral("reserve"));
        QCOMPARE(rawText(CascadeMode::Standard), QStringLiteral("standard"));
        QCOMPARE(rawText(AppAppearance::Dark), QStringLiteral("dark"));
        QCOMPARE(rawText(TunnelSource::Reserve), QStringLiteral("reserve"));
        QCOMPARE(caseName(AuthStage::WaitingForTelegram), QStringLiteral("waitingForTelegram"));
    }
};

QTEST_GUILESS_MAIN(TestAppStateModel)
#include "test_app_state_model.moc"
