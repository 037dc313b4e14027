// The connect paths the end-to-end tests (tests/integration/core/*_live.cpp) leave
// out: the reserve deadline, failures found before any start, the node choice, the
// mode switch and the company's reserve block.

#include "app_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {
QJsonObject awgConfigs(const QStringList &confs)
{
    QJsonArray entries;
    for (const QString &conf : confs)
        entries.append(QJsonObject{{u"server"_s, u"s"_s}, {u"host"_s, u"h"_s}, {u"conf"_s, conf}});
    return {{u"awg_conf"_s, QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact))}};
}

// State, mode, target and error in one line, so a failure shows all four.
QString summary(const AppState &app)
{
    return caseName(app.connectionState()) + u' ' + rawText(app.connectMode()) + u' ' + app.target().name() + u' '
        + app.connectionError().value_or(u"-"_s);
}

// The connect operation clears switchingChannels whichever way it ends.
bool settled(AppFixture &f, std::chrono::milliseconds limit = 30s)
{
    return f.settle([&] { return !f.app().switchingChannels; }, limit);
}
} // namespace

class TestConnectionControl : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reserveChannelProgressAndDeadline()
    {
        AppFixture f;
        AppState &app = f.startSignedIn(awgConfigs({"[Interface]\nA", "", "[Interface]\nB", "[Interface]\nC"}));
        f.profiles.setStatusOnStart(std::nullopt); // the platform takes the start but nothing comes up
        app.enableReserve();
        QVERIFY(f.settle([&] { return f.traceLines().contains(u"reserve: starting, 3 servers"_s); }));
        QCOMPARE(app.connectionProgress(), u"Подбираю сервер (может занять до 90 секунд)"_s);
        QCOMPARE(f.lastProviderConfiguration(TunnelSource::Reserve).value(u"wgQuickConfigs"_s).toStringList(),
                 (QStringList{"[Interface]\nA", "[Interface]\nB", "[Interface]\nC"}));
        // 10 s per configuration plus 10, counted from the start request.
        const QDateTime started = f.clock.now();
        QVERIFY(!settled(f, 39500ms));
        QVERIFY(settled(f, 1s));
        QVERIFY(started.msecsTo(f.clock.now()) <= 40500);
        const QString failure = u"Не удалось начать подключение. Возможно, активно защищённое подключение другого приложения — "
                                "отключите его и попробуйте снова."_s;
        QCOMPARE(summary(app), u"disconnected reserve Резерв "_s + failure);
        QVERIFY(!app.connectionProgress());
        QVERIFY(f.traceLines().contains(u"connect FAILED: "_s + failure));
        QCOMPARE(f.sharedDefaults.textValue(u"settings.connectMode"_s), std::nullopt); // not remembered across a restart
    }

    void failuresFoundBeforeAnyStart_data()
    {
        QTest::addColumn<QJsonObject>("refreshExtra");
        QTest::addColumn<ConnectMode>("mode");
        QTest::addColumn<QString>("error");
        const QString noReserve = u"Нет доступных резервных серверов"_s;
        QTest::newRow("reserve list of empty confs") << awgConfigs({"", ""}) << ConnectMode::Reserve << noReserve;
        QTest::newRow("reserve list that is not a list") << QJsonObject{{u"awg_conf"_s, u"{}"_s}} << ConnectMode::Reserve << noReserve;
        QTest::newRow("tavrin without key") << QJsonObject{{u"tavrin_key"_s, u" \n\t "_s}} << ConnectMode::Tavrin
                                            << u"Tavrin не подключён к этому аккаунту — обратитесь в поддержку"_s;
        QTest::newRow("no balancer") << QJsonObject{{u"xray_configs"_s, xrayConfigsMember({"10.0.0.1:443"}, false)}} << ConnectMode::Main
                                     << u"Нет активного доступа — войдите заново"_s;
    }

    void failuresFoundBeforeAnyStart()
    {
        QFETCH(QJsonObject, refreshExtra);
        QFETCH(ConnectMode, mode);
        QFETCH(QString, error);
        AppFixture f;
        AppState &app = f.startSignedIn(refreshExtra);
        f.clearTrace();
        app.selectMode(mode); // ignored for the reserve, which only enableReserve enters
        mode == ConnectMode::Reserve ? app.enableReserve() : app.tapGlobe();
        QVERIFY(settled(f));
        QCOMPARE(app.connectionError(), error);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        // No second try: the fallback belongs to auto mode on the balancer.
        QCOMPARE(f.traceLines().filter(u"connect -> "_s).size(), 1);
        QVERIFY(f.profiles.calls().filter(u"start"_s).isEmpty());
    }

    void nodeNeverRunsThroughTheCascade()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        app.selectMode(ConnectMode::Tavrin);
        const DirectNode node = app.directNodes().at(0);
        app.selectNode(node);
        QVERIFY(settled(f));
        QCOMPARE(app.cascadeMode(), CascadeMode::Standard);
        QCOMPARE(f.lastProviderConfiguration(TunnelSource::Main).value(u"configContent"_s).toString(), node.config);
        QVERIFY(f.launcher.launches.isEmpty());
        QCOMPARE(f.standardDefaults.textValue(u"session.selectedNodeEndpoint"_s), node.endpoint);
        QCOMPARE(app.preferredTarget, ConnectionTarget::node(node));
    }

    void selectModeAndTheGlobe()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        // Disconnected: the new mode applies and the chosen node is forgotten.
        app.setTarget(ConnectionTarget::node(app.directNodes().at(0)));
        f.standardDefaults.setText(u"session.selectedNodeEndpoint"_s, u"10.0.0.1:443"_s);
        app.selectMode(ConnectMode::Main);
        QCOMPARE(summary(app), u"disconnected main Qor AI Network -"_s);
        QVERIFY(!f.standardDefaults.contains(u"session.selectedNodeEndpoint"_s));
        app.selectMode(ConnectMode::Reserve); // only enableReserve enters it
        QCOMPARE(app.connectMode(), ConnectMode::Main);
        // Connected: it reconnects on the balancer.
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.selectMode(ConnectMode::Tavrin);
        QCOMPARE(summary(app), u"connecting tavrin Qor AI Network -"_s);
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);
        // A tap while disconnecting is only traced.
        app.setConnectionState(ConnectionState::Disconnecting);
        f.clearTrace();
        app.tapGlobe();
        QCOMPARE(f.traceLines(), QStringList{"tap globe (state=disconnecting, target=Qor AI Network)"});
    }

    void reserveBlockedByCompanyOnlyShowsAToast()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{u"qor"_s, QJsonObject{{u"reserve"_s, false}}}});
        app.enableReserve();
        QCOMPARE(app.toast(), u"Недоступно в корпоративном доступе. Обратитесь к администратору вашей компании"_s);
        QCOMPARE(summary(app), u"disconnected auto Qor AI Network -"_s);
        f.clock.advance(4900ms);
        QVERIFY(app.toast());
        f.clock.advance(100ms);
        QVERIFY(!app.toast());
    }
};

QTEST_GUILESS_MAIN(TestConnectionControl)
#include "test_connection_control.moc"
