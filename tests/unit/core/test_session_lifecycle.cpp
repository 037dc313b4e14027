#include "app_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;


namespace {
const QString revokedNotice = QStringLiteral("Доступ отозван — учётной записи больше нет. Войдите заново");

QJsonObject corporateMember(const QDateTime &until, int warnMinutes = 10, const QString &reason = QStringLiteral("window"))
{
    return QJsonObject{{QStringLiteral("company"), QStringLiteral("Acme")},
                       {QStringLiteral("warn_minutes"), warnMinutes},
                       {QStringLiteral("session"), QJsonObject{{QStringLiteral("until"), until.toUTC().toString(Qt::ISODate)},
                                                               {QStringLiteral("reason"), reason}}}};
}
} // namespace

class TestSessionLifecycle : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startWithoutStoredSessionSendsNoRefresh()
    {
        AppFixture f;
        AppState &app = f.start();
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QVERIFY(f.startupDone());
        QCOMPARE(f.server.requestCount(QStringLiteral("refresh/")), 0);
        f.clock.advance(901s); // the watch does not refresh a signed-out session either
        QVERIFY(f.waitFor([] { return true; }, 50));
        QCOMPARE(f.server.requestCount(QStringLiteral("refresh/")), 0);
    }

    void storedSessionIsSignedInBeforeAnyAnswerAndRefreshedAfterLoading()
    {
        AppFixture f;
        f.storeSession(QStringLiteral("tok-1"), catalogJson({"10.0.0.1:443"}));
        int loadsSeenAtRefresh = -1;
        f.server.setHandler(QStringLiteral("refresh/"), [&](const RecordedRequest &) {
            loadsSeenAtRefresh = int(f.profiles.calls().count(QStringLiteral("loadAll")));
            return ScriptedAnswer::json(okAnswer());
        });
        AppState &app = f.start();
        QCOMPARE(app.authStage(), AuthStage::LoggedIn); // no answer has arrived yet
        QCOMPARE(app.directNodes().size(), 1);
        QVERIFY(f.startupDone());
        QCOMPARE(f.server.requestCount(QStringLiteral("refresh/")), 1);
        QCOMPARE(f.server.requests(QStringLiteral("refresh/")).at(0).path, QStringLiteral("refresh/tok-1"));
        QCOMPARE(loadsSeenAtRefresh, 2); // both managers loaded first
    }

    void refreshNeverChangesTheToken()
    {
        AppFixture f;
        f.storeSession(QStringLiteral("tok-1"));
        f.server.setDefault(QStringLiteral("refresh/"),
                            ScriptedAnswer::json(okAnswer({{QStringLiteral("session_token"), QStringLiteral("tok-NEW")},
                                                           {QStringLiteral("username"), QStringLiteral("ivan")}})));
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QCOMPARE(app.telegramUsername(), QStringLiteral("ivan"));
        QCOMPARE(app.sessionToken, QStringLiteral("tok-1"));
        QCOMPARE(f.session.load()->sessionToken, QStringLiteral("tok-1"));
        QCOMPARE(f.session.load()->username, QStringLiteral("ivan"));
        // The watch refreshes again after 900 s, still with the old token.
        f.clock.advance(900s);
        QVERIFY(f.waitFor([&] { return f.server.requestCount(QStringLiteral("refresh/")) == 2; }));
        QCOMPARE(f.server.requests(QStringLiteral("refresh/")).at(1).path, QStringLiteral("refresh/tok-1"));
    }

    void failedRefreshChangesNothing_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::newRow("no_subscription") << ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("no_subscription")}});
        QTest::newRow("not json") << ScriptedAnswer::raw("<html>", 502);
        QTest::newRow("dropped") << ScriptedAnswer::dropped();
    }

    void failedRefreshChangesNothing()
    {
        QFETCH(ScriptedAnswer, answer);
        AppFixture f;
        f.storeSession(QStringLiteral("tok-1"), catalogJson({"10.0.0.1:443"}));
        f.server.setDefault(QStringLiteral("refresh/"), answer);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        QCOMPARE(app.directNodes().size(), 1);
        QCOMPARE(f.session.load()->sessionToken, QStringLiteral("tok-1"));
    }

    void revocationWhileConnectedStopsSignsOutAndExplains()
    {
        AppFixture f;
        f.storeSession(QStringLiteral("tok-1"), catalogJson({"10.0.0.1:443"}));
        f.server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(okAnswer()));
        const QString running = f.addRunningProfile(TunnelSource::Main);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QCOMPARE(app.connectionState(), ConnectionState::Connected);

        f.server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("invalid_session")}}));
        f.clearTrace();
        std::optional<bool> result;
        collect(app.refreshSession(), result);
        QVERIFY(f.waitFor([&] { return app.authStage() == AuthStage::Idle; }));
        QCOMPARE(result, std::optional<bool>(false));
        QCOMPARE(app.signOutNotice(), revokedNotice);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(app.directNodes().isEmpty());
        QVERIFY(!f.session.load());
        const QStringList lines = f.traceLines();
        QCOMPARE(lines.value(0), QStringLiteral("access revoked by server"));
        QCOMPARE(lines.value(1), QStringLiteral("stopEverything"));
        QVERIFY(f.waitFor([&] { return f.profiles.calls().contains(QStringLiteral("stop ") + running); }));
    }

    void loginResults_data()
    {
        QTest::addColumn<TelegramLoginResult>("result");
        QTest::addColumn<AuthStage>("expected");
        QTest::newRow("error") << TelegramLoginResult::error(QStringLiteral("bad url")) << AuthStage::Idle;
        QTest::newRow("timed out") << TelegramLoginResult::timedOut() << AuthStage::Idle;
        QTest::newRow("no subscription") << TelegramLoginResult::noSubscription() << AuthStage::NoSubscription;
        QTest::newRow("revoked") << TelegramLoginResult::sessionRevoked() << AuthStage::Idle;
    }

    void loginResults()
    {
        QFETCH(TelegramLoginResult, result);
        QFETCH(AuthStage, expected);
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setAuthStage(AuthStage::WaitingForTelegram);
        app.applyLoginResult(result);
        QCOMPARE(app.authStage(), expected);
        QCOMPARE(bool(app.signOutNotice()), result.kind == TelegramLoginResult::Kind::SessionRevoked);
    }

    void okLoginAppliesAndStoresTheSession()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setSignOutNotice(revokedNotice);
        TelegramLoginResult::Session payload;
        payload.username = QStringLiteral("ivan");
        payload.subscriptionURL = QStringLiteral("https://sub.example.com/x");
        payload.xrayConfigsJSON = catalogJson({"10.0.0.1:443", "10.0.0.2:443"});
        payload.tavrinKey = QStringLiteral("key");
        payload.sessionToken = QStringLiteral("tok-9");
        payload.subscription.isActive = true;
        payload.corporate = CorporateAccess::parse(QJsonObject{{QStringLiteral("qor"), QJsonObject{{QStringLiteral("company"), QStringLiteral("Acme")}}}});
        app.applyLoginResult(TelegramLoginResult::makeOk(payload));
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        QVERIFY(!app.signOutNotice());
        QCOMPARE(app.directNodes().size(), 2);
        QCOMPARE(app.subscription().isActive, std::optional<bool>(true));
        QVERIFY(app.isCorporate());
        QVERIFY(!app.corporateFromStorage());
        const auto saved = f.session.load();
        QVERIFY(saved);
        QCOMPARE(saved->sessionToken, QStringLiteral("tok-9"));
        QCOMPARE(saved->tavrinKey, QStringLiteral("key"));
        QCOMPARE(saved->corporateJSON, payload.corporate->rawJSON);
        QCOMPARE(saved->corporateSavedAt, f.clock.now());

        // A later ok without a token keeps the token it has.
        payload.sessionToken.reset();
        app.applyLoginResult(TelegramLoginResult::makeOk(payload));
        QCOMPARE(app.sessionToken, QStringLiteral("tok-9"));
        QCOMPARE(f.session.load()->sessionToken, QStringLiteral("tok-9"));
    }

    void messengerLoginOpensTheDeepLinkAndAppliesTheResult()
    {
        AppFixture f;
        f.server.setDefault(QStringLiteral("poll/"), ScriptedAnswer::json(okAnswer({{QStringLiteral("session_token"), QStringLiteral("t")}})));
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.startTelegramLogin();
        QCOMPARE(app.authStage(), AuthStage::WaitingForTelegram);
        QCOMPARE(f.openedAddresses.size(), 1);
        QVERIFY(f.openedAddresses.at(0).toString().contains(QStringLiteral("?start=login_")));
        QVERIFY(f.waitFor([&] { return app.authStage() == AuthStage::LoggedIn; }));
        QCOMPARE(app.sessionToken, QStringLiteral("t"));
    }

    void storedCorporateRecordThatNoLongerParsesIsIgnored()
    {
        AppFixture f;
        f.storeSession(QStringLiteral("tok"), {}, QStringLiteral("{not json"));
        AppState &app = f.start();
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        QVERIFY(!app.isCorporate());
        QVERIFY(!app.corporateFromStorage());
    }

    void storedCorporateRecordIsRestoredAsStale()
    {
        AppFixture f;
        const QString raw = QStringLiteral("{\"qor\":{\"company\":\"Acme\",\"reserve\":false}}");
        f.storeSession(QStringLiteral("tok"), {}, raw);
        AppState &app = f.start();
        QVERIFY(app.isCorporate());
        QVERIFY(app.corporateFromStorage());
        QCOMPARE(app.corporateSavedAt(), std::optional<QDateTime>(f.clock.now()));
        QVERIFY(app.reserveBlockedByCompany());
    }

    void signOutClearsSessionButKeepsSettings()
    {
        AppFixture f;
        f.storeSession(QStringLiteral("tok"), catalogJson({"10.0.0.1:443"}));
        f.standardDefaults.setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("10.0.0.1:443"));
        AppState &app = f.start();
        app.setConnectMode(ConnectMode::Main);
        QCOMPARE(app.target().endpoint(), QStringLiteral("10.0.0.1:443"));
        app.signOut();
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QVERIFY(app.directNodes().isEmpty());
        QVERIFY(!app.sessionToken);
        QVERIFY(!f.session.load());
        QCOMPARE(f.sharedDefaults.textValue(QStringLiteral("settings.connectMode")), QStringLiteral("main"));
        QVERIFY(f.standardDefaults.contains(QStringLiteral("session.selectedNodeEndpoint")));
        QVERIFY(app.expectedDisconnect);
    }

    void usersSignOutStopsTheTunnel()
    {
        AppFixture f;
        f.storeSession(QStringLiteral("tok"));
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clearTrace();
        app.signOutAndStop();
        QCOMPARE(f.traceLines().value(0), QStringLiteral("stopEverything"));
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(app.userInitiatedStop);
        QCOMPARE(app.authStage(), AuthStage::Idle);
    }

    void deleteAccount_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("confirmed") << ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")}}) << true;
        QTest::newRow("server error") << ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")}}, 500) << false;
    }

    void deleteAccount()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(bool, deleted);
        AppFixture f;
        f.storeSession(QStringLiteral("tok"));
        f.server.setDefault(QStringLiteral("account/delete"), answer);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(3, TunnelSource::Main);
        std::optional<bool> result;
        collect(app.deleteAccount(), result);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected); // stopped before the answer
        QVERIFY(f.waitFor([&] { return result.has_value(); }));
        QCOMPARE(*result, deleted);
        QCOMPARE(app.authStage(), deleted ? AuthStage::Idle : AuthStage::LoggedIn);
        QCOMPARE(bool(f.session.load()), !deleted);
        QCOMPARE(f.server.requests(QStringLiteral("account/delete")).at(0).jsonBody()[QStringLiteral("session_token")].toString(),
                 QStringLiteral("tok"));
    }

    void refreshWithoutSessionClearsWarning()
    {
        AppFixture f;
        f.storeSession(QStringLiteral("tok"));
        const QDateTime until = f.clock.now().addSecs(5 * 60);
        f.server.enqueue(QStringLiteral("refresh/"), ScriptedAnswer::json(okAnswer({{QStringLiteral("qor"), corporateMember(until)}})));
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QVERIFY(f.waitFor([&] { return app.sessionWarning().has_value(); }));
        f.server.setDefault(QStringLiteral("refresh/"),
                            ScriptedAnswer::json(okAnswer({{QStringLiteral("qor"), QJsonObject{{QStringLiteral("company"), QStringLiteral("Acme")}}}})));
        std::optional<bool> result;
        collect(app.refreshSession(), result);
        QVERIFY(f.waitFor([&] { return result.has_value(); }));
        QVERIFY(*result);
        QVERIFY(!app.sessionWarning());
        f.clock.advance(10min); // the countdown has stopped: no end text appears
        QVERIFY(!app.sessionWarning());
    }
};

QTEST_GUILESS_MAIN(TestSessionLifecycle)
#include "test_session_lifecycle.moc"
