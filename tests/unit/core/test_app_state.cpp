// AppState's own rules: loaded settings, the node list, the session. Login, refresh, deletion, sign-out and settings
// across processes are in test_cli_account (through qorctl), transport faults in test_account_faults.

#include "app_fixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
QString settings(const AppState &app) // mode, cascade, auto-reconnect, appearance, liquid glass
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

const QString revokedNotice = u"Доступ отозван — учётной записи больше нет. Войдите заново"_s;

QString session(const AppState &app) // stage, token, node count, sign-out notice
{
    return caseName(app.authStage()) + u' ' + app.sessionToken.value_or(u"-"_s) + u' ' + QString::number(app.directNodes().size()) + u' '
        + app.signOutNotice().value_or(u"-"_s);
}
} // namespace

class TestAppState : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void loadRules()
    {
        const QString defaults = u" reconnect system -"_s;
        // Stored settings.<key> values (a text, or a boolean) and what loading makes of them.
        const QList<std::pair<QVariantMap, QString>> table{
            {{}, u"auto standard"_s + defaults},
            {{{"connectMode", "main"}, {"cascadeMode", "standard"}}, u"main standard"_s + defaults},
            {{{"connectMode", "tavrin"}, {"cascadeMode", "tavrin"}}, u"tavrin tavrin"_s + defaults},
            {{{"connectMode", "turbo"}, {"cascadeMode", "tavrin"}}, u"tavrin tavrin"_s + defaults}, // unknown mode: from the cascade
            {{{"connectMode", "turbo"}, {"cascadeMode", "Tavrin"}}, u"auto standard"_s + defaults},
            {{{"connectMode", "Main"}}, u"auto standard"_s + defaults}, // raw texts are case-sensitive
            {{{"autoReconnectEnabled", "false"}, {"liquidGlass", "true"}, {"appearance", "sepia"}}, u"auto standard"_s + defaults},
            {{{"autoReconnectEnabled", false}, {"liquidGlass", true}, {"appearance", "dark"}}, u"auto standard - dark glass"_s}};
        for (const auto &[stored, expected] : table) {
            AppFixture f;
            for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
                if (it->typeId() == QMetaType::Bool)
                    f.sharedDefaults.setBool(u"settings."_s + it.key(), it->toBool());
                else
                    f.sharedDefaults.setText(u"settings."_s + it.key(), it->toString());
            }
            QCOMPARE(settings(f.start()), expected);
            QVERIFY2(f.sharedDefaults.contains(u"settings.connectMode"_s) == stored.contains(u"connectMode"_s), qPrintable(expected)); // loading writes nothing
        }
    }

    void connectModeIsAlwaysNotifiedAndNeverStoredAsReserve()
    {
        AppFixture f;
        AppState &app = f.start();
        QSignalSpy modeSpy(&app, &AppState::connectModeChanged);
        app.setCascadeMode(CascadeMode::Tavrin);
        app.setConnectMode(ConnectMode::Main);
        app.setConnectMode(ConnectMode::Main); // same value: still an assignment, still notified
        app.setConnectMode(ConnectMode::Reserve);
        QCOMPARE(modeSpy.count(), 3);
        QVERIFY(!f.standardDefaults.contains(u"settings.connectMode"_s)); // settings go to the shared store only
        QCOMPARE(settings(f.restart()), u"main tavrin reconnect system -"_s);
    }

    void nodeListRefreshAndTheSelectedNode()
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

        // The stored selection is restored only when listed; the look-up alone changes nothing.
        withNodes(f, {"10.0.0.1:443", "10.0.0.2:443", "10.0.0.2:443"});
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

    // Real measurements are in test_connect_live; the order, the count and the edges need no network.
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
        app.setConnectionState(ConnectionState::Disconnected);
        app.measureNodeLatency(); // no node answers (the fixture knows none of them)
        f.clock.advance(4s);
        QVERIFY(!app.measuringLatency() && !app.latencyNeedsDisconnect()); // with no tunnel there is nothing to disconnect
        QCOMPARE(app.measuredNodeCount(), 3); // a failure keeps the earlier values
    }

    // Signed in at once, over a running tunnel; refusals change nothing, a revocation stops, signs out and explains.
    void storedSessionKeepsItsTokenUntilRevoked()
    {
        AppFixture f;
        f.storeSession(u"tok-1"_s, catalogJson({"10.0.0.1:443"}));
        const QString running = f.addRunningProfile(TunnelSource::Main);
        int loadsSeenAtRefresh = -1;
        // A token in the answer is ignored: the session keeps the one it was sent with.
        ScriptedAnswer answer = ScriptedAnswer::json(okAnswer({{u"session_token"_s, u"tok-NEW"_s}, {u"username"_s, u"ivan"_s}}));
        f.server.setHandler(u"refresh/"_s, [&](const RecordedRequest &) {
            loadsSeenAtRefresh = int(f.profiles.calls().count(u"loadAll"_s));
            return answer;
        });
        AppState &app = f.start();
        QCOMPARE(session(app), u"loggedIn tok-1 1 -"_s); // before any answer
        QVERIFY(f.startupDone());
        QCOMPARE(loadsSeenAtRefresh, 2); // both managers loaded first
        QCOMPARE(app.telegramUsername(), u"ivan"_s);
        QVERIFY(f.session.load()->sessionToken == u"tok-1"_s && f.session.load()->username == u"ivan"_s);
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        const QString revoked = u"idle - 0 "_s + revokedNotice;
        for (const auto &[refusal, after] : {std::pair(ScriptedAnswer::json({{u"status"_s, u"no_subscription"_s}}), u"loggedIn tok-1 1 -"_s),
                                             std::pair(ScriptedAnswer::dropped(), u"loggedIn tok-1 1 -"_s),
                                             std::pair(ScriptedAnswer::json({{u"status"_s, u"invalid_session"_s}}), revoked)}) {
            answer = refusal;
            f.clearTrace();
            std::optional<bool> refreshed;
            collect(app.refreshSession(), refreshed);
            QVERIFY(f.waitFor([&] { return refreshed.has_value(); }));
            QCOMPARE(refreshed, std::optional<bool>(false));
            QCOMPARE(session(app), after);
            QCOMPARE(f.session.load().value_or(Session::Saved()).username, after == revoked ? std::nullopt : std::optional<QString>(u"ivan"_s));
        }
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(f.traceLines().mid(0, 2), (QStringList{"access revoked by server", "stopEverything"}));
        QVERIFY(f.waitFor([&] { return f.profiles.calls().contains(u"stop "_s + running); }));
        for (const RecordedRequest &request : f.server.requests(u"refresh/"_s))
            QCOMPARE(request.path, u"refresh/tok-1"_s);
    }

    void okLoginStoresTheSessionForTheNextRun()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setSignOutNotice(revokedNotice);
        TelegramLoginResult::Session payload;
        payload.subscriptionURL = u"https://sub.example.com/x"_s; // what makes a stored session
        payload.xrayConfigsJSON = catalogJson({"10.0.0.1:443", "10.0.0.2:443"});
        payload.tavrinKey = u"key"_s;
        payload.sessionToken = u"tok-9"_s;
        payload.corporate = CorporateAccess::parse(QJsonObject{{u"qor"_s, QJsonObject{{u"company"_s, u"Acme"_s}, {u"reserve"_s, false}}}});
        app.applyLoginResult(TelegramLoginResult::makeOk(payload));
        QCOMPARE(session(app), u"loggedIn tok-9 2 -"_s);
        QVERIFY(app.isCorporate() && !app.corporateFromStorage());
        const auto saved = f.session.load();
        QVERIFY(saved && saved->sessionToken == u"tok-9"_s && saved->tavrinKey == u"key"_s);
        QCOMPARE(saved->corporateJSON, payload.corporate->rawJSON);
        QCOMPARE(saved->corporateSavedAt, f.clock.now());
        payload.sessionToken.reset(); // a later ok without a token keeps the token it has
        app.applyLoginResult(TelegramLoginResult::makeOk(payload));
        QCOMPARE(app.sessionToken, u"tok-9"_s);
        QCOMPARE(f.session.load()->sessionToken, u"tok-9"_s);
        // The next run restores the stored company record as stale; one that no longer parses is dropped, the session stays.
        AppState &again = f.restart();
        QVERIFY(again.isCorporate() && again.corporateFromStorage() && again.reserveBlockedByCompany());
        QCOMPARE(again.corporateSavedAt(), std::optional<QDateTime>(f.clock.now()));
        f.storeSession(u"tok"_s, {}, u"{not json"_s);
        AppState &broken = f.restart();
        QCOMPARE(broken.authStage(), AuthStage::LoggedIn);
        QVERIFY(!broken.isCorporate() && !broken.corporateFromStorage());
    }

    void signOutAndStopKeepsTheSettings()
    {
        AppFixture f;
        f.storeSession(u"tok"_s, catalogJson({"10.0.0.1:443"}));
        f.standardDefaults.setText(u"session.selectedNodeEndpoint"_s, u"10.0.0.1:443"_s);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QCOMPARE(app.target().endpoint(), u"10.0.0.1:443"_s); // restored with the session
        app.setConnectMode(ConnectMode::Main);
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.signOutAndStop();
        QCOMPARE(session(app), u"idle - 0 -"_s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(app.userInitiatedStop && app.expectedDisconnect && !f.session.load());
        QCOMPARE(f.sharedDefaults.textValue(u"settings.connectMode"_s), u"main"_s);
        QVERIFY(f.standardDefaults.contains(u"session.selectedNodeEndpoint"_s));
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "test_app_state.moc"
