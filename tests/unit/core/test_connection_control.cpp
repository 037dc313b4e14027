// Connection control with the in-memory platform: connect decisions, status reports, the main channel's traffic check
// and the reconnect after a loss, step by step; test_connect_live runs them against real providers.

#include "app_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
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

QString summary(const AppState &app) // state, mode, target and error in one line, so a failure shows all four
{
    return caseName(app.connectionState()) + u' ' + rawText(app.connectMode()) + u' ' + app.target().name() + u' '
        + app.connectionError().value_or(u"-"_s);
}

bool settled(AppFixture &f, std::chrono::milliseconds limit = 30s) // a connect clears switchingChannels however it ends
{
    return f.settle([&] { return !f.app().switchingChannels; }, limit);
}

AppState &started(AppFixture &f)
{
    AppState &app = f.start();
    [&] { QVERIFY(f.startupDone()); }(); // its own report of no tunnel must come first
    return app;
}

// Runs the steps on a signed-out app and describes the outcome. A number is a main-channel status report; the words set
// the expected-drop or channel-switch flag, stop (the user's), stop for quitting, auto-reconnect off, or drop the armed reconnect.
QString outcome(const QString &steps)
{
    AppFixture f;
    AppState &app = started(f);
    const QHash<QString, std::function<void()>> actions{{u"expect"_s, [&] { app.expectedDisconnect = true; }},
                                                        {u"switch"_s, [&] { app.switchingChannels = true; }},
                                                        {u"stop"_s, [&] { app.stopEverything(); }},
                                                        {u"quit"_s, [&] { app.stopForQuit(); }},
                                                        {u"off"_s, [&] { app.setAutoReconnectEnabled(false); }},
                                                        {u"cancel"_s, [&] { app.reconnectTask.cancelAndClear(); }}};
    for (const QString &step : steps.split(u' '))
        actions.contains(step) ? actions[step]() : app.handleTunnelStatus(step.toInt(), TunnelSource::Main);
    return QStringList{caseName(app.connectionState()), app.reconnectTask.isPresent() ? u"armed"_s : QString(),
                       f.traffic->isSessionActive() ? u"session"_s : QString(), app.expectedDisconnect ? u"expected"_s : QString()}
        .join(u' ')
        .simplified();
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
        QCOMPARE(app.connectionProgress(), u"Подбираю сервер (может занять до 90 секунд)"_s); // three, the empty one skipped
        const QDateTime started = f.clock.now(); // 10 s per configuration plus 10, counted from the start request
        QVERIFY(!settled(f, 39500ms));
        QVERIFY(settled(f, 1s));
        QVERIFY(started.msecsTo(f.clock.now()) <= 40500);
        const QString failure = u"Не удалось начать подключение. Возможно, активно защищённое подключение другого приложения — "
                                "отключите его и попробуйте снова."_s;
        QCOMPARE(summary(app), u"disconnected reserve Резерв "_s + failure);
        QVERIFY(!app.connectionProgress());
    }

    void failuresWithoutASecondTry()
    {
        const QString noReserve = u"Нет доступных резервных серверов"_s;
        // The refresh's extra members, the mode, the error shown: Auto falls back to the cascade only with a key.
        const QList<std::tuple<QJsonObject, ConnectMode, QString>> table{
            {awgConfigs({"", ""}), ConnectMode::Reserve, noReserve},
            {{{u"awg_conf"_s, u"{}"_s}}, ConnectMode::Reserve, noReserve},
            {{{u"tavrin_key"_s, u" \n\t "_s}}, ConnectMode::Tavrin, u"Tavrin не подключён к этому аккаунту — обратитесь в поддержку"_s},
            {{{u"xray_configs"_s, xrayConfigsMember({"10.0.0.1:443"}, false)}}, ConnectMode::Main, u"Нет активного доступа — войдите заново"_s},
            {{{u"tavrin_key"_s, QString()}}, ConnectMode::Auto, u"[startVPNTunnel] domain=NEVPNErrorDomain code=5 занято"_s}};
        for (const auto &[refreshExtra, mode, error] : table) {
            AppFixture f;
            AppState &app = f.startSignedIn(refreshExtra);
            if (mode == ConnectMode::Auto)
                f.profiles.failOn(FakeProfileService::Call::Start, PlatformError(u"NEVPNErrorDomain"_s, 5, u"занято"_s));
            f.clearTrace();
            app.selectMode(mode); // ignored for the reserve, which only enableReserve enters
            mode == ConnectMode::Reserve ? app.enableReserve() : app.tapGlobe();
            QVERIFY(settled(f));
            QCOMPARE(u"%1 %2 %3 %4"_s.arg(caseName(app.connectionState()), app.connectionError().value_or(u"-"_s))
                         .arg(f.traceLines().filter(u"connect -> "_s).size()).arg(f.profiles.calls().filter(u"start"_s).size()),
                     u"disconnected %1 1 %2"_s.arg(error).arg(mode == ConnectMode::Auto ? 1 : 0));
        }
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
        QVERIFY(app.cascadeMode() == CascadeMode::Standard && f.launcher.launches.isEmpty()); // no Tavrin client
        QCOMPARE(f.lastProviderConfiguration(TunnelSource::Main).value(u"configContent"_s).toString(), node.config);
        QCOMPARE(f.standardDefaults.textValue(u"session.selectedNodeEndpoint"_s), node.endpoint);
        QCOMPARE(app.preferredTarget, ConnectionTarget::node(node));
    }

    void corporateGate_data()
    {
        QTest::addColumn<QString>("stored"); // the stored record's window: closed, open or none
        QTest::addColumn<int>("storedAgeDays");
        QTest::addColumn<QString>("answers"); // the connect's refreshes in order: closed, open or down
        QTest::addColumn<QStringList>("lines"); // the gate's trace
        const QString stale = u"window closed by stale data — asking again"_s, unknown = u"window unknown — server decides"_s;
        const QString closed = u"connect refused: corporate window closed"_s, expired = u"connect refused: stored policy expired"_s;
        QTest::newRow("fresh answer closes the window") << "none" << 0 << "closed" << QStringList{closed};
        QTest::newRow("old rules and no server") << "open" << 8 << "down" << QStringList{expired};
        QTest::newRow("stale closed, server down twice, rules fresh") << "closed" << 1 << "down down" << QStringList{stale, unknown};
        QTest::newRow("stale closed, server down twice, rules old") << "closed" << 8 << "down down" << QStringList{stale, unknown, expired};
        QTest::newRow("stale closed, fresh answer open") << "closed" << 1 << "down open" << QStringList{stale};
        QTest::newRow("stale closed, fresh answer closed") << "closed" << 1 << "down closed" << QStringList{stale, closed};
        QTest::newRow("stale closed, session revoked") << "closed" << 8 << "down revoked" << QStringList{stale}; // signed out: nothing to refuse
    }

    void corporateGate()
    {
        QFETCH(QString, stored);
        QFETCH(int, storedAgeDays);
        QFETCH(QString, answers);
        QFETCH(QStringList, lines);
        AppFixture f;
        const QDateTime now = f.clock.now();
        const auto qor = [&](const QString &window) {
            QJsonObject record{{u"company"_s, u"Acme"_s}};
            if (window != u"none")
                record[u"session"_s] = QJsonObject{{u"until"_s, now.addSecs(window == u"closed" ? -60 : 3600).toString(Qt::ISODate)}};
            return record;
        };
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        f.clock.setNow(now.addDays(-storedAgeDays)); // the stored record was saved then
        f.storeSession(u"tok"_s, catalogJson({"10.0.0.1:443"}), QString::fromUtf8(QJsonDocument(QJsonObject{{u"qor"_s, qor(stored)}}).toJson()));
        f.clock.setNow(now);
        // An unusable answer rather than a dropped connection, which the HTTP stack would retry.
        const ScriptedAnswer down = ScriptedAnswer::raw("unavailable", 503);
        f.server.setDefault(u"refresh/"_s, down); // the start-up refresh fails: the stored record stays
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        for (const QString &answer : answers.split(u' '))
            f.server.enqueue(u"refresh/"_s, answer == u"down"      ? down
                                            : answer == u"revoked" ? ScriptedAnswer::json({{u"status"_s, u"invalid_session"_s}})
                                                                   : ScriptedAnswer::json(okAnswer({{u"qor"_s, qor(answer)}})));
        f.clearTrace();
        app.tapGlobe();
        QVERIFY(settled(f));
        QCOMPARE(f.traceLines().filter(QRegularExpression(u"^(window|connect (refused|FAILED))"_s)), lines);
        const QString refusal = lines.last().endsWith(u"closed")    ? app.corporateClosedMessage()
                                : lines.last().endsWith(u"expired") ? u"Не удалось получить правила компании. Подключитесь к интернету и попробуйте снова"_s
                                                                    : u"-"_s;
        QCOMPARE(app.connectionError().value_or(u"-"_s), refusal);
        QCOMPARE(app.connectionState(), refusal == u"-" && !answers.endsWith(u"revoked") ? ConnectionState::Connecting : ConnectionState::Disconnected);
    }

    void replacedConnectLeavesTheNewerSwitchAlone()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        bool replaced = false;
        f.profiles.onStartRequest = [&] { // a newer connect arrives during the start request; its stop reports a moment later
            if (!std::exchange(replaced, true)) {
                app.connect();
                QMetaObject::invokeMethod(&app, [&] { app.handleTunnelStatus(1, TunnelSource::Main); }, Qt::QueuedConnection);
            }
        };
        QList<ConnectionState> states;
        QObject::connect(&app, &AppState::connectionStateChanged, &app, [&] { states.append(app.connectionState()); });
        app.tapGlobe();
        QVERIFY(settled(f));
        QVERIFY(!states.contains(ConnectionState::Disconnected)); // a switch, not a drop
    }

    void stopEndsTheTavrinClient()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.profiles.setStatusOnStart(VpnStatus::Connecting);
        app.autoFellBackToTavrin = true; // auto's second try: the cascade, chosen right before the entries' prefetch
        const auto stopThere = QObject::connect(&app, &AppState::cascadeModeChanged, &app, [&] { app.stopEverything(); });
        app.connect(std::nullopt, true);
        QVERIFY(!f.settle([&] { return !f.launcher.launches.isEmpty(); }, 3s)); // the prefetch has ended: still no client
        QObject::disconnect(stopThere);
        app.connect(std::nullopt, true);
        QVERIFY(settled(f) && f.launcher.launches.size() == 1);
        const QString keyFile = f.tavrinHelper->keyFile();
        app.tapGlobe();
        QVERIFY(f.launcher.launches[0]->terminated && !QFile::exists(keyFile));
        // A cascade connect that fails with no second try left ends its client too.
        f.profiles.failOn(FakeProfileService::Call::Start, PlatformError(u"NEVPNErrorDomain"_s, 5, u"занято"_s));
        app.selectMode(ConnectMode::Tavrin);
        app.tapGlobe();
        QVERIFY(f.settle([&] { return app.connectionError().has_value() && !app.switchingChannels; }));
        QVERIFY(f.launcher.launches.size() == 2 && f.launcher.launches[1]->terminated);
    }

    void selectModeAndTheGlobe()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        app.setTarget(ConnectionTarget::node(app.directNodes().at(0))); // disconnected: the mode applies, the node is forgotten
        f.standardDefaults.setText(u"session.selectedNodeEndpoint"_s, u"10.0.0.1:443"_s);
        app.selectMode(ConnectMode::Main);
        QCOMPARE(summary(app), u"disconnected main Qor AI Network -"_s);
        QVERIFY(!f.standardDefaults.contains(u"session.selectedNodeEndpoint"_s));
        app.selectMode(ConnectMode::Reserve); // only enableReserve enters it
        QCOMPARE(app.connectMode(), ConnectMode::Main);
        app.handleTunnelStatus(3, TunnelSource::Main); // connected: it reconnects on the balancer
        app.selectMode(ConnectMode::Tavrin);
        QCOMPARE(summary(app), u"connecting tavrin Qor AI Network -"_s);
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);
        app.setConnectionState(ConnectionState::Disconnecting); // a tap now is only traced
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

    void reports()
    {
        // 0 invalid, 1 disconnected, 2 connecting, 3 connected, 4 reasserting, 5 disconnecting
        const QList<std::pair<const char *, const char *>> table{
            {"2", "connecting"},
            {"2 5", "connecting"}, // disconnecting changes nothing
            {"2 3", "connected session"},
            {"3 4", "connecting session"},
            {"3 1", "disconnected armed"},
            {"3 0", "disconnected armed"},
            {"2 1", "disconnected armed"},
            {"2 9", "disconnected"}, // an unknown value only sets the state
            {"3 1 cancel 1", "disconnected"}, // a second drop while disconnected arms nothing new
            {"off 3 1", "disconnected"},
            {"3 stop 1", "disconnected"},    // the user's stop: the drop it causes is expected
            {"3 quit", "connected session expected"}, // the stop for quitting leaves the state to the reports
            {"3 quit 1", "disconnected"},
            {"3 expect 1", "disconnected"}, // an expected drop absorbs exactly one report
            {"3 expect 1 3 1", "disconnected armed"},
            {"3 switch expect 1 0 1", "connecting session"}, // a channel switch absorbs every drop, and ends no session
        };
        for (const auto &[steps, expected] : table)
            QVERIFY2(outcome(QString::fromLatin1(steps)) == QLatin1String(expected), qPrintable(u"%1: %2"_s.arg(steps, outcome(steps))));
    }

    void connectedStartsSessionOnceAndKeepsDate()
    {
        AppFixture f;
        AppState &app = started(f);
        app.reconnectAttempt = 4;
        app.setConnectionProgress(u"x"_s);
        app.expectedDisconnect = true;
        app.handleTunnelStatus(3, TunnelSource::Main);
        const QDateTime since = app.connectedSince();
        QCOMPARE(since, f.clock.now());
        QVERIFY(app.reconnectAttempt == 0 && !app.connectionProgress() && !app.expectedDisconnect);
        f.clock.advance(2s);
        app.reconnectAttempt = 2;
        app.setConnectionProgress(u"y"_s);
        app.handleTunnelStatus(3, TunnelSource::Main);
        QCOMPARE(f.traceLines().last(), u"status 3 from main (state=connected(2026-01-31 12:00:00 +0000), switching=false, expected=false, userStop=false)"_s);
        QCOMPARE(app.connectedSince(), since);
        QVERIFY(app.reconnectAttempt == 0 && !app.connectionProgress());
    }

    void startupAdoptsARunningTunnelAndIgnoresTheOtherChannel()
    {
        for (const TunnelSource source : {TunnelSource::Main, TunnelSource::Reserve}) {
            AppFixture f;
            f.addRunningProfile(source);
            AppState &app = started(f);
            const bool main = source == TunnelSource::Main;
            QCOMPARE(app.target(), main ? ConnectionTarget::balancer() : ConnectionTarget::reserve());
            QVERIFY(app.connectionState() == ConnectionState::Connected && f.traffic->isSessionActive());
            QVERIFY(f.traceLines().contains(u"status 3 from "_s + rawText(source)
                                            + u" (state=disconnected, switching=false, expected=false, userStop=false)"_s));
            f.clearTrace();
            app.handleTunnelStatus(1, main ? TunnelSource::Reserve : TunnelSource::Main);
            QCOMPARE(app.connectionState(), ConnectionState::Connected);
            QCOMPARE(f.traceLines(), QStringList{main ? u"status 1 from reserve IGNORED (active=main, target=Qor AI Network)"_s
                                                      : u"status 1 from main IGNORED (active=reserve, target=Резерв)"_s});
        }
    }

    void channelCheckWarnsAfterThePatientWindowAndEndsWithTheConnection()
    {
        AppFixture f;
        AppState &app = started(f);
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(2900ms);
        QCOMPARE(f.probeCalls, 0); // nothing before 3 s
        f.clock.advance(600ms);
        f.counters.add(u"utun7"_s, 100000, 0); // since the baseline at 3 s: not above the threshold
        f.clock.advance(39400ms); // probes 5 s apart
        QCOMPARE(f.probeCalls, 8);
        QVERIFY(!app.connectionError());
        f.clock.advance(100ms); // the ninth probe, at 43 s, fails: the patient window has passed
        QCOMPARE(f.probeCalls, 9);
        QCOMPARE(app.connectionError(), AppState::networkWarning);
        QVERIFY(f.traceLines().contains(u"main channel connected but carries no traffic (patient window elapsed)"_s));
        f.clock.advance(720s); // twelve re-checks 10 s apart, then the warning stands
        QCOMPARE(f.probeCalls, 21);
        QCOMPARE(app.connectionError(), AppState::networkWarning);

        // The next connection's check leaves other errors alone and ends with the connection.
        app.setAutoReconnectEnabled(false);
        app.handleTunnelStatus(1, TunnelSource::Main);
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.setConnectionError(u"Другая ошибка"_s);
        f.clock.advance(3500ms);
        f.counters.add(u"utun7"_s, 100001, 0); // above the threshold: at the next probe the channel works
        f.clock.advance(60s);
        QCOMPARE(f.probeCalls, 23);
        QCOMPARE(app.connectionError(), u"Другая ошибка"_s); // only its own warning is cleared
        app.handleTunnelStatus(1, TunnelSource::Main);
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(20s);
        const int probes = f.probeCalls;
        app.setConnectionProgress(u"…"_s);
        app.handleTunnelStatus(1, TunnelSource::Main); // a drop during the patient window ends the check
        QVERIFY(!app.connectionProgress());
        f.clock.advance(120s);
        QCOMPARE(f.probeCalls, probes);
        QCOMPARE(app.connectionError(), u"Другая ошибка"_s); // and no warning comes
    }

    void exhaustedReconnectsGiveUpAtOnceAndPendingOnesEnd()
    {
        AppFixture f;
        AppState &app = started(f); // signed out: each reconnect ends at once, starting nothing
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.handleTunnelStatus(1, TunnelSource::Main);
        f.clock.advance(600s);
        QCOMPARE(app.reconnectAttempt, 6); // the whole schedule ran
        QVERIFY(!app.reconnectTask.isPresent() && f.profiles.calls().filter(u"start"_s).isEmpty() && !app.connectionError());
        f.clearTrace();
        app.expectedDisconnect = false;
        app.setConnectionState(ConnectionState::Connecting);
        app.handleTunnelStatus(1, TunnelSource::Main); // until a connection succeeds, a new loss gives up at once
        f.clock.advance(600s);
        QVERIFY(f.traceLines().filter(u"connect -> "_s).isEmpty());
        QCOMPARE(f.server.requestCount(u"refresh/"_s), 0); // signed out, 1200 s: neither the start nor the watch refreshed
        // After a connection, a pending reconnect ends when switched off, brought back by the user meanwhile, or the user's stop.
        const std::function<void()> ends[] = {[&] { app.setAutoReconnectEnabled(false); },
                                              [&] { app.setConnectionState(ConnectionState::Connecting); }, [&] { app.stopEverything(); }};
        for (int way = 0; way < 3; ++way) {
            app.setAutoReconnectEnabled(true);
            app.handleTunnelStatus(3, TunnelSource::Main);
            app.handleTunnelStatus(1, TunnelSource::Main);
            QVERIFY(app.reconnectTask.isPresent());
            f.clearTrace();
            ends[way]();
            f.clock.advance(60s);
            QVERIFY2(!app.reconnectTask.isPresent() && f.traceLines().filter(u"connect -> "_s).isEmpty() && app.reconnectAttempt == (way == 2 ? 0 : 1),
                     qPrintable(QString::number(way)));
        }
    }
};

QTEST_GUILESS_MAIN(TestConnectionControl)
#include "test_connection_control.moc"
