#include "app_fixture.h"

#include "core/cascade_document.h"
#include "tunnel/tavrin_entries.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {
const QString startFailure = QStringLiteral(
    "Не удалось начать подключение. Возможно, активно защищённое подключение другого приложения — отключите его и попробуйте снова.");

QString awgConfigs(const QStringList &confs)
{
    QJsonArray entries;
    for (const QString &conf : confs)
        entries.append(QJsonObject{{QStringLiteral("server"), QStringLiteral("s")}, {QStringLiteral("host"), QStringLiteral("h")},
                                   {QStringLiteral("conf"), conf}});
    return QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

// The connect operation clears switchingChannels whichever way it ends.
bool connectEnded(AppState &app)
{
    return !app.switchingChannels;
}
} // namespace

class TestConnectionControl : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void mainChannelConnects()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        f.clearTrace();
        app.tapGlobe();
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(f.settle([&] { return !app.switchingChannels; }));
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        const auto balancer = SubscriptionCatalog::parse(*app.xrayConfigsJSON()).balancerConfig;
        const QVariantMap configuration = f.lastProviderConfiguration(TunnelSource::Main);
        QCOMPARE(configuration.value(QStringLiteral("configContent")).toString(), *balancer);
        QVERIFY(f.launcher.launches.isEmpty()); // no cascade, no Tavrin client
        f.report(TunnelSource::Main, VpnStatus::Connected);
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        QVERIFY(!app.connectionError());
        const QStringList lines = f.traceLines();
        QCOMPARE(lines.mid(0, 3), (QStringList{"tap globe (state=disconnected, target=Qor AI Network)", "connect -> Qor AI Network",
                                               "auto: cascade=standard, запасной ход=false"}));
        QVERIFY(lines.contains(QStringLiteral("main: starting (cascade=standard)")));
    }

    void signedOutConnectEndsQuietly()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.tapGlobe();
        QVERIFY(f.settle([&] { return connectEnded(app); }));
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(!app.connectionError());
        QVERIFY(!f.profiles.calls().filter(QStringLiteral("start")).size());
    }

    void reserveChannelProgressAndDeadline()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("awg_conf"), awgConfigs({"[Interface]\nA", "", "[Interface]\nB", "[Interface]\nC"})}});
        f.profiles.setStatusOnStart(std::nullopt); // the platform takes the start but nothing comes up
        f.clearTrace();
        app.enableReserve();
        QCOMPARE(app.target(), ConnectionTarget::reserve());
        QCOMPARE(app.connectMode(), ConnectMode::Reserve);
        QVERIFY(f.settle([&] { return f.traceLines().contains(QStringLiteral("reserve: starting, 3 servers")); }));
        QCOMPARE(app.connectionProgress(), QStringLiteral("Подбираю сервер (может занять до 90 секунд)"));
        QCOMPARE(f.lastProviderConfiguration(TunnelSource::Reserve).value(QStringLiteral("wgQuickConfigs")).toStringList(),
                 (QStringList{"[Interface]\nA", "[Interface]\nB", "[Interface]\nC"}));
        // 10 s per configuration plus 10, counted from the start request.
        const QDateTime started = f.clock.now();
        QVERIFY(!f.settle([&] { return connectEnded(app); }, 39500ms));
        QVERIFY(f.settle([&] { return connectEnded(app); }, 1s));
        QVERIFY(started.msecsTo(f.clock.now()) <= 40500);
        QCOMPARE(app.connectionError(), startFailure);
        QVERIFY(!app.connectionProgress());
        QVERIFY(f.traceLines().contains(QStringLiteral("connect FAILED: ") + startFailure));
        // The reserve mode is not remembered across a restart.
        QCOMPARE(f.sharedDefaults.textValue(QStringLiteral("settings.connectMode")), std::nullopt);
    }

    void failuresWithTheirTexts_data()
    {
        QTest::addColumn<QString>("awg");
        QTest::addColumn<QString>("tavrinKey");
        QTest::addColumn<ConnectMode>("mode");
        QTest::addColumn<bool>("reserve");
        QTest::addColumn<QString>("error");
        QTest::newRow("reserve list of empty confs") << awgConfigs({"", ""}) << "k" << ConnectMode::Auto << true
                                                     << "Нет доступных резервных серверов";
        QTest::newRow("reserve list that is not a list") << "{}" << "k" << ConnectMode::Auto << true << "Нет доступных резервных серверов";
        QTest::newRow("tavrin without key") << QString() << " \n\t " << ConnectMode::Tavrin << false
                                            << "Tavrin не подключён к этому аккаунту — обратитесь в поддержку";
    }

    void failuresWithTheirTexts()
    {
        QFETCH(QString, awg);
        QFETCH(QString, tavrinKey);
        QFETCH(ConnectMode, mode);
        QFETCH(bool, reserve);
        QFETCH(QString, error);
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("awg_conf"), awg}, {QStringLiteral("tavrin_key"), tavrinKey}});
        app.selectMode(mode);
        f.clearTrace();
        if (reserve)
            app.enableReserve();
        else
            app.tapGlobe();
        QVERIFY(f.settle([&] { return connectEnded(app); }));
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(app.connectionError(), error);
        // No second try: fallback belongs to auto mode on the balancer.
        QCOMPARE(f.traceLines().filter(QStringLiteral("connect -> ")).size(), 1);
        QVERIFY(f.profiles.calls().filter(QStringLiteral("start")).isEmpty());
    }

    void missingBalancerAsksToSignInAgain()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("xray_configs"), xrayConfigsMember({"10.0.0.1:443"}, false)}});
        app.tapGlobe();
        QVERIFY(f.settle([&] { return connectEnded(app); }));
        QCOMPARE(app.connectionError(), QStringLiteral("Нет активного доступа — войдите заново"));
    }

    void nodeNeverRunsThroughTheCascade()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        app.selectMode(ConnectMode::Tavrin);
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);
        const DirectNode node = app.directNodes().at(0);
        app.selectNode(node);
        QVERIFY(f.settle([&] { return !app.switchingChannels; }));
        QCOMPARE(app.cascadeMode(), CascadeMode::Standard);
        QCOMPARE(f.lastProviderConfiguration(TunnelSource::Main).value(QStringLiteral("configContent")).toString(), node.config);
        QVERIFY(f.launcher.launches.isEmpty());
        QCOMPARE(f.standardDefaults.textValue(QStringLiteral("session.selectedNodeEndpoint")), node.endpoint);
        QCOMPARE(app.preferredTarget, ConnectionTarget::node(node));
    }

    void tavrinCascadeStartsTheClientAndBypassesItsEntries()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("tavrin_key"), QStringLiteral("  secret-key\n")}});
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        app.selectMode(ConnectMode::Tavrin);
        app.tapGlobe();
        QVERIFY(f.settle([&] { return !app.switchingChannels && f.launcher.launches.size() == 1; }));
        const auto launch = f.launcher.launches.at(0);
        QCOMPARE(launch->program, TavrinHelper::executablePath());
        QCOMPARE(launch->arguments.size(), 11);
        QCOMPARE(launch->arguments.at(5), f.tavrinResolver->serverList().text);
        QCOMPARE(launch->arguments.at(10), QStringLiteral("127.0.0.1:1080"));
        const QVariantMap configuration = f.lastProviderConfiguration(TunnelSource::Main);
        QCOMPARE(configuration.value(QStringLiteral("configContent")).toString(), CascadeDocument::filled(1080));
        QStringList bypass = configuration.value(QStringLiteral("bypassIPs")).toStringList();
        QStringList builtIn = f.tavrinResolver->builtInAddresses();
        bypass.sort();
        builtIn.sort();
        QCOMPARE(bypass, builtIn); // nothing resolved: the built-in addresses, once each
        QVERIFY(!configuration.contains(QStringLiteral("tavrinKey")));
    }

    void autoModeTriesTheSecondVariantOnce()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.profiles.setStatusOnStart(std::nullopt); // neither variant comes up
        f.clearTrace();
        app.tapGlobe();
        QVERIFY(f.settle([&] { return connectEnded(app) && app.connectionError(); }, 60s));
        const QStringList lines = f.traceLines();
        QCOMPARE(lines.filter(QStringLiteral("connect -> ")).size(), 2);
        QVERIFY(lines.contains(QStringLiteral("auto: первый канал не поднялся, пробую второй")));
        QVERIFY(lines.contains(QStringLiteral("auto: cascade=tavrin, запасной ход=true")));
        QCOMPARE(lines.filter(QStringLiteral("connect FAILED: ")).size(), 2);
        QCOMPARE(app.connectionError(), startFailure);
        QCOMPARE(f.launcher.launches.size(), 1);
    }

    void autoModeWithoutKeyShowsTheFirstError()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("tavrin_key"), QString()}});
        f.profiles.failOn(FakeProfileService::Call::Start, PlatformError(QStringLiteral("NEVPNErrorDomain"), 5, QStringLiteral("занято")));
        f.clearTrace();
        app.tapGlobe();
        QVERIFY(f.settle([&] { return connectEnded(app) && app.connectionError(); }));
        QCOMPARE(f.traceLines().filter(QStringLiteral("connect -> ")).size(), 1);
        QVERIFY(app.connectionError()->startsWith(QStringLiteral("[startVPNTunnel]")) || !app.connectionError()->isEmpty());
    }

    void stopDuringStartIsQuiet()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.profiles.setStatusOnStart(std::nullopt);
        f.clearTrace();
        app.tapGlobe();
        QVERIFY(f.settle([&] { return f.traceLines().contains(QStringLiteral("main: starting (cascade=standard)")); }));
        f.clock.advance(1s);
        app.tapGlobe(); // the user stops while the platform has not brought the tunnel up
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        f.settle([] { return false; }, 20s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(!app.connectionError());
        QVERIFY(f.traceLines().filter(QStringLiteral("connect FAILED")).isEmpty());
        QCOMPARE(f.traceLines().filter(QStringLiteral("connect -> ")).size(), 1);
    }

    void globeIgnoredWhileDisconnecting()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        app.setConnectionState(ConnectionState::Disconnecting);
        f.clearTrace();
        app.tapGlobe();
        QCOMPARE(f.traceLines(), QStringList{"tap globe (state=disconnecting, target=Qor AI Network)"});
        QCOMPARE(app.connectionState(), ConnectionState::Disconnecting);
    }

    void corporateGate_data()
    {
        QTest::addColumn<QString>("storedUntil");  // stored record's end: "past", "future" or "" (none)
        QTest::addColumn<int>("storedAgeDays");
        QTest::addColumn<QStringList>("answers");   // refresh answers in order: "closed", "open", "down"
        QTest::addColumn<QString>("refusal");       // "" when the connect goes on
        QTest::addColumn<QStringList>("lines");
        const QString closedText = QStringLiteral("Рабочее окно компании закрылось сегодня в ");
        const QString expired = QStringLiteral("Не удалось получить правила компании. Подключитесь к интернету и попробуйте снова");
        QTest::newRow("fresh answer closes the window") << "" << 0 << QStringList{"closed"} << closedText
                                                         << QStringList{"connect refused: corporate window closed"};
        QTest::newRow("old rules and no server") << "future" << 8 << QStringList{"down"} << expired
                                                 << QStringList{"connect refused: stored policy expired"};
        QTest::newRow("stale closed, server down twice, rules fresh") << "past" << 1 << QStringList{"down", "down"} << QString()
            << QStringList{"window closed by stale data — asking again", "window unknown — server decides"};
        QTest::newRow("stale closed, server down twice, rules old") << "past" << 8 << QStringList{"down", "down"} << expired
            << QStringList{"window closed by stale data — asking again", "window unknown — server decides", "connect refused: stored policy expired"};
        QTest::newRow("stale closed, fresh answer open") << "past" << 1 << QStringList{"down", "open"} << QString()
                                                         << QStringList{"window closed by stale data — asking again"};
        QTest::newRow("stale closed, fresh answer closed") << "past" << 1 << QStringList{"down", "closed"} << closedText
            << QStringList{"window closed by stale data — asking again", "connect refused: corporate window closed"};
    }

    void corporateGate()
    {
        QFETCH(QString, storedUntil);
        QFETCH(int, storedAgeDays);
        QFETCH(QStringList, answers);
        QFETCH(QString, refusal);
        QFETCH(QStringList, lines);
        AppFixture f;
        const QDateTime now = f.clock.now();
        const auto qorWith = [](const QDateTime &until) {
            return QJsonObject{{QStringLiteral("company"), QStringLiteral("Acme")},
                               {QStringLiteral("session"), QJsonObject{{QStringLiteral("until"), until.toString(Qt::ISODate)}}}};
        };
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        // The stored record was saved storedAgeDays ago.
        f.clock.setNow(now.addDays(-storedAgeDays));
        QJsonObject stored{{QStringLiteral("company"), QStringLiteral("Acme")}};
        if (!storedUntil.isEmpty())
            stored = qorWith(storedUntil == QStringLiteral("past") ? now.addSecs(-60) : now.addSecs(3600));
        f.storeSession(QStringLiteral("tok"), catalogJson({"10.0.0.1:443"}),
                       QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("qor"), stored}}).toJson(QJsonDocument::Compact)));
        f.clock.setNow(now);
        f.server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::raw("unavailable", 503));
        AppState &app = f.start();
        QVERIFY(f.startupDone()); // the start-up refresh failed: the stored record stays
        for (const QString &answer : answers) {
            // An unusable answer rather than a dropped connection, which the HTTP stack would retry.
            if (answer == QStringLiteral("down"))
                f.server.enqueue(QStringLiteral("refresh/"), ScriptedAnswer::raw("unavailable", 503));
            else
                f.server.enqueue(QStringLiteral("refresh/"), ScriptedAnswer::json(okAnswer(
                    {{QStringLiteral("qor"), qorWith(answer == QStringLiteral("closed") ? now.addSecs(-60) : now.addSecs(3600))}})));
        }
        f.clearTrace();
        app.tapGlobe();
        QVERIFY(f.settle([&] { return connectEnded(app); }));
        const QStringList trace = f.traceLines();
        QStringList gateLines;
        for (const QString &line : trace) {
            if (line.startsWith(QStringLiteral("window")) || line.startsWith(QStringLiteral("connect refused")))
                gateLines.append(line);
        }
        QCOMPARE(gateLines, lines);
        if (refusal.isEmpty()) {
            QVERIFY(!app.connectionError());
            QVERIFY(trace.contains(QStringLiteral("main: starting (cascade=standard)")));
        } else {
            QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
            QVERIFY2(app.connectionError()->startsWith(refusal), qPrintable(*app.connectionError()));
            QVERIFY(!trace.contains(QStringLiteral("main: starting (cascade=standard)")));
        }
    }

    void selectModeWhileDisconnectedForgetsTheNode()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        app.setTarget(ConnectionTarget::node(app.directNodes().at(0)));
        f.standardDefaults.setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("10.0.0.1:443"));
        f.clearTrace();
        app.selectMode(ConnectMode::Main);
        QCOMPARE(app.connectMode(), ConnectMode::Main);
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QVERIFY(!f.standardDefaults.contains(QStringLiteral("session.selectedNodeEndpoint")));
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(f.traceLines().filter(QStringLiteral("connect -> ")).isEmpty());

        app.selectMode(ConnectMode::Reserve); // ignored
        QCOMPARE(app.connectMode(), ConnectMode::Main);
    }

    void selectModeWhileConnectedReconnectsOnTheBalancer()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clearTrace();
        app.selectMode(ConnectMode::Tavrin);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QCOMPARE(f.traceLines().value(0), QStringLiteral("connect -> Qor AI Network"));
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);
    }

    void reserveBlockedByCompanyOnlyShowsAToast()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("qor"), QJsonObject{{QStringLiteral("reserve"), false}}}});
        QVERIFY(app.reserveBlockedByCompany());
        app.enableReserve();
        QCOMPARE(app.toast(), QStringLiteral("Недоступно в корпоративном доступе. Обратитесь к администратору вашей компании"));
        QCOMPARE(app.connectMode(), ConnectMode::Auto);
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        f.clock.advance(4900ms);
        QVERIFY(app.toast());
        f.clock.advance(100ms);
        QVERIFY(!app.toast());
    }

    void leavingTheReserveChannel()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("awg_conf"), awgConfigs({"[Interface]\nA"})}});
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        app.selectMode(ConnectMode::Main);
        // Entered from a disconnected state: leaving it stops everything.
        app.enableReserve();
        QVERIFY(f.settle([&] { return !app.switchingChannels; }));
        f.clearTrace();
        app.disableReserve();
        QCOMPARE(f.traceLines(), (QStringList{"tap reserve-off -> main", "stopEverything"}));
        QCOMPARE(app.connectMode(), ConnectMode::Main);
        QCOMPARE(app.target(), ConnectionTarget::balancer());

        // Entered from a working main channel: leaving it reconnects the main channel.
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.enableReserve();
        QVERIFY(app.liveBeforeReserve);
        QVERIFY(f.settle([&] { return !app.switchingChannels; }));
        f.clearTrace();
        app.disableReserve();
        QCOMPARE(f.traceLines().mid(0, 2), (QStringList{"tap reserve-off -> main", "connect -> Qor AI Network"}));
        QCOMPARE(app.connectionProgress(), QStringLiteral("Переключение на основной канал —\nэто может занять до 30 секунд"));
        QCOMPARE(app.reconnectAttempt, 0);
    }

    void extensionAwaitingApprovalHandsOverToThePrompt()
    {
        AppFixture f;
        AppState &app = f.startSignedIn({{QStringLiteral("tavrin_key"), QString()}});
        f.activator.setAutomaticActivationOutcome(FakeExtensionActivator::Outcome::NeedApproval);
        app.tapGlobe();
        QVERIFY(f.settle([&] { return connectEnded(app); }));
        QVERIFY(app.needsExtensionApproval());
        QVERIFY(app.awaitingExtensionApprovalReturn);
        QVERIFY(!app.extensionsApproved);
        QVERIFY(!app.connectionError());
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(f.profiles.calls().filter(QStringLiteral("start")).isEmpty());

        // Once approved, the next connect activates and starts.
        f.activator.setAutomaticActivationOutcome(FakeExtensionActivator::Outcome::Finish);
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        app.tapGlobe();
        QVERIFY(f.settle([&] { return !app.switchingChannels && app.connectionState() == ConnectionState::Connecting; }));
        QVERIFY(app.extensionsApproved);
    }
};

QTEST_GUILESS_MAIN(TestConnectionControl)
#include "test_connection_control.moc"
