// The account server failing in every way a user can meet it: down, silent or late
// past the time limits, answering garbage or a body over 16 MiB. Each account
// operation must end in its own outcome (a Russian text where the user acted),
// keep the stored session and the settings, and never hang.

#include "app_fixture.h"

#include "account/email_login_service.h"
#include "ui/screens/email_login_form.h"
#include "ui/screens/screen_tasks.h"
#include "ui/screens/state_types.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

enum class Fault { Refused, Fixed, Late, Huge };
Q_DECLARE_METATYPE(Fault)

namespace {

constexpr auto requestLimit = 150ms; // every request's limit, kept small: real time
constexpr qint64 overLimit = 17 * 1024 * 1024;

const QString requestFailedText = QStringLiteral("Не удалось отправить запрос. Проверьте соединение и попробуйте снова.");
const QString verifyFailedText = QStringLiteral("Не удалось проверить код. Проверьте соединение и попробуйте снова.");
const QString rulesUnknownText = QStringLiteral("Не удалось получить правила компании. Подключитесь к интернету и попробуйте снова");
const QString storedRules = QStringLiteral("{\"qor\":{\"company\":\"Acme\",\"reserve\":true}}");

// The answer that would be a success for the request, so that a Late or Huge fault
// proves the limit was applied rather than the content refused.
QJsonObject successFor(const QString &path)
{
    if (path.startsWith(u"email/request"))
        return {{QStringLiteral("status"), QStringLiteral("sent")}};
    if (path.startsWith(u"account/delete"))
        return {{QStringLiteral("status"), QStringLiteral("ok")}};
    return okAnswer({{QStringLiteral("username"), QStringLiteral("changed")}});
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort(); // closed again when it goes
}

// Points the fixture's account client (and an e-mail service) at the faulty server.
struct FaultySetup {
    FaultySetup(AppFixture &f, Fault fault, const ScriptedAnswer &answer)
    {
        AccountTransport::Settings settings;
        settings.baseAddress = fault == Fault::Refused ? QStringLiteral("http://127.0.0.1:%1/api/auth/").arg(closedPort())
                                                       : f.server.baseUrl().toString();
        settings.shortTimeout = requestLimit;
        settings.longTimeout = requestLimit;
        f.login = std::make_unique<TelegramLoginService>(f.clock, AccountTransport(settings), QStringLiteral("https://t.example/QorBot"));
        email = std::make_unique<EmailLoginService>(AccountTransport(settings));
        const QStringList keys{QStringLiteral("poll/"), QStringLiteral("refresh/"), QStringLiteral("account/delete"),
                               QStringLiteral("email/request"), QStringLiteral("email/verify")};
        for (const QString &key : keys) {
            QJsonObject success = successFor(key);
            std::optional<ScriptedAnswer> huge; // built once: the login polls many times
            f.server.setHandler(key, [fault, answer, success, huge](const RecordedRequest &) mutable {
                switch (fault) {
                case Fault::Late:
                    return ScriptedAnswer::json(success).after(4 * requestLimit);
                case Fault::Huge:
                    if (!huge) {
                        success.insert(QStringLiteral("padding"), QString(overLimit, QLatin1Char('a')));
                        huge = ScriptedAnswer::json(success);
                    }
                    return *huge;
                default:
                    return answer;
                }
            });
        }
    }
    std::unique_ptr<EmailLoginService> email;
};

void storeSettings(AppFixture &f)
{
    f.sharedDefaults.setBool(QStringLiteral("settings.autoReconnectEnabled"), false);
    f.sharedDefaults.setText(QStringLiteral("settings.appearance"), QStringLiteral("dark"));
    f.sharedDefaults.setBool(QStringLiteral("settings.liquidGlass"), true);
    f.sharedDefaults.setText(QStringLiteral("settings.cascadeMode"), QStringLiteral("tavrin"));
    f.sharedDefaults.setText(QStringLiteral("settings.connectMode"), QStringLiteral("main"));
    f.standardDefaults.setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("10.0.0.1:443"));
}

QStringList settingsSnapshot(AppFixture &f)
{
    const auto flag = [](std::optional<bool> v) { return v ? QString::number(*v) : QStringLiteral("-"); };
    return {flag(f.sharedDefaults.boolValue(QStringLiteral("settings.autoReconnectEnabled"))),
            f.sharedDefaults.textValue(QStringLiteral("settings.appearance")).value_or(QStringLiteral("-")),
            flag(f.sharedDefaults.boolValue(QStringLiteral("settings.liquidGlass"))),
            f.sharedDefaults.textValue(QStringLiteral("settings.cascadeMode")).value_or(QStringLiteral("-")),
            f.sharedDefaults.textValue(QStringLiteral("settings.connectMode")).value_or(QStringLiteral("-")),
            f.standardDefaults.textValue(QStringLiteral("session.selectedNodeEndpoint")).value_or(QStringLiteral("-"))};
}

} // namespace

class TestAccountFaults : public QObject {
    Q_OBJECT
private:
    static void faults()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::newRow("connection refused") << Fault::Refused << ScriptedAnswer();
        QTest::newRow("503 with an HTML page") << Fault::Fixed << ScriptedAnswer::raw("<html>Service Unavailable</html>", 503, "text/html");
        QTest::newRow("silent past the limit") << Fault::Fixed << ScriptedAnswer::never();
        QTest::newRow("success after the limit") << Fault::Late << ScriptedAnswer();
        QTest::newRow("json array") << Fault::Fixed << ScriptedAnswer::raw("[{\"status\":\"ok\"}]", 200, "application/json");
        QTest::newRow("status of the wrong type")
            << Fault::Fixed << ScriptedAnswer::raw("{\"status\":[\"ok\"],\"session_token\":\"x\"}", 200, "application/json");
        QTest::newRow("success padded past 16 MiB, declared") << Fault::Huge << ScriptedAnswer();
        QTest::newRow("endless body, no length") << Fault::Fixed << ScriptedAnswer::streamed(overLimit);
    }

private Q_SLOTS:
    void refreshAtStartAndPeriodicKeepsSessionAndSettings_data() { faults(); }
    void refreshAtStartAndPeriodicKeepsSessionAndSettings()
    {
        QFETCH(Fault, fault);
        QFETCH(ScriptedAnswer, answer);
        AppFixture f;
        FaultySetup setup(f, fault, answer);
        f.storeSession(QStringLiteral("tok"), catalogJson({QStringLiteral("10.0.0.1:443")}), storedRules);
        storeSettings(f);
        const auto stored = f.session.load();
        const QStringList settings = settingsSnapshot(f);

        AppState &app = f.start();
        QVERIFY(f.startupDone());
        for (int pass = 0; pass < 2; ++pass) {
            QCOMPARE(app.authStage(), AuthStage::LoggedIn);
            QCOMPARE(app.sessionToken, std::optional<QString>(QStringLiteral("tok")));
            QCOMPARE(app.telegramUsername(), std::optional<QString>(QStringLiteral("user")));
            QCOMPARE(app.directNodes().size(), 1);
            QVERIFY(app.corporateFromStorage());
            QVERIFY(!app.signOutNotice());
            QCOMPARE(f.session.load(), stored);
            QCOMPARE(settingsSnapshot(f), settings);
            // The next pass of the 900-second watch meets the same server.
            const int before = f.server.requestCount(QStringLiteral("refresh/"));
            f.clock.advance(900s);
            if (fault != Fault::Refused)
                QVERIFY(f.waitFor([&] { return f.server.requestCount(QStringLiteral("refresh/")) == before + 1; }));
            QTest::qWait(int(requestLimit.count()) * 2); // its limit passes; nothing may change
        }
    }

    void messengerLoginPollsUntilItsDeadline_data() { faults(); }
    void messengerLoginPollsUntilItsDeadline()
    {
        QFETCH(Fault, fault);
        QFETCH(ScriptedAnswer, answer);
        AppFixture f;
        FaultySetup setup(f, fault, answer);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        std::optional<std::chrono::milliseconds> endedAt;
        int endings = 0;
        QObject::connect(&app, &AppState::authStageChanged, &app, [&] {
            if (app.authStage() != AuthStage::Idle)
                return;
            ++endings;
            endedAt = f.clock.elapsed();
        });
        const auto began = f.clock.elapsed();
        app.startTelegramLogin();
        QCOMPARE(app.authStage(), AuthStage::WaitingForTelegram);
        // Virtual time also moves while a request is out, by at most 250 ms per real
        // millisecond: a request of 150 ms can stretch an attempt by 37.5 virtual seconds.
        QVERIFY(f.settle([&] { return endedAt.has_value(); }, 300s, 250ms));
        QVERIFY(*endedAt - began >= 180s);
        QVERIFY2(*endedAt - began <= 222s, qPrintable(QString::number((*endedAt - began).count())));
        if (fault != Fault::Refused)
            QVERIFY(f.server.requestCount(QStringLiteral("poll/")) >= 1);
        const int polls = f.server.requestCount(QStringLiteral("poll/"));
        f.clock.advance(10min);
        QTest::qWait(int(requestLimit.count()) * 2);
        QCOMPARE(f.server.requestCount(QStringLiteral("poll/")), polls);
        QCOMPARE(endings, 1);
        QVERIFY(!f.login->isPolling());
        QVERIFY(!f.session.load());
        QVERIFY(!app.signOutNotice());
    }

    void emailSignInShowsTheConnectionTexts_data() { faults(); }
    void emailSignInShowsTheConnectionTexts()
    {
        QFETCH(Fault, fault);
        QFETCH(ScriptedAnswer, answer);
        AppFixture f;
        FaultySetup setup(f, fault, answer);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        AppStateForeign::provide(&app);
        EmailLoginService reachable{AccountTransport(AccountTransport::Settings{f.server.baseUrl().toString()})};

        EmailLoginForm form;
        form.setEmail(QStringLiteral("user@mail.example"));
        EmailLoginForm::provideService(setup.email.get());
        form.requestCode();
        QVERIFY(form.busy());
        QVERIFY(f.waitFor([&] { return !form.busy(); }));
        QCOMPARE(form.errorText(), requestFailedText);
        QCOMPARE(form.step(), EmailLoginForm::Step::EnterEmail);
        QCOMPARE(form.email(), QStringLiteral("user@mail.example"));

        // A code did arrive (the server was reachable then); the verification meets the fault.
        f.server.enqueue(QStringLiteral("email/request"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("sent")}}));
        EmailLoginForm::provideService(&reachable);
        form.requestCode();
        QVERIFY(f.waitFor([&] { return !form.busy(); }));
        QCOMPARE(form.step(), EmailLoginForm::Step::EnterCode);
        QCOMPARE(form.errorText(), QString());

        EmailLoginForm::provideService(setup.email.get());
        QSignalSpy finished(&form, &EmailLoginForm::finished);
        form.setCode(QStringLiteral("123456"));
        form.verifyCode();
        QVERIFY(f.waitFor([&] { return !form.busy(); }));
        QCOMPARE(form.errorText(), verifyFailedText);
        QCOMPARE(form.step(), EmailLoginForm::Step::EnterCode);
        QCOMPARE(form.code(), QStringLiteral("123456"));
        QCOMPARE(finished.count(), 0);
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QVERIFY(!f.session.load());
        EmailLoginForm::provideService(nullptr);
        AppStateForeign::provide(nullptr);
    }

    void accountDeletionShowsItsToastAndKeepsTheSession_data() { faults(); }
    void accountDeletionShowsItsToastAndKeepsTheSession()
    {
        QFETCH(Fault, fault);
        QFETCH(ScriptedAnswer, answer);
        AppFixture f;
        FaultySetup setup(f, fault, answer);
        f.storeSession(QStringLiteral("tok"), catalogJson({QStringLiteral("10.0.0.1:443")}));
        storeSettings(f);
        const auto stored = f.session.load();
        const QStringList settings = settingsSnapshot(f);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        AppStateForeign::provide(&app);

        AccountDeletion deletion;
        QSignalSpy deleted(&deletion, &AccountDeletion::deleted);
        deletion.start();
        QVERIFY(deletion.deleting());
        QVERIFY(f.waitFor([&] { return !deletion.deleting(); }));
        QCOMPARE(app.toast(), std::optional<QString>(AccountDeletion::failureToast));
        QCOMPARE(deleted.count(), 0);
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        QCOMPARE(f.session.load(), stored);
        QCOMPARE(settingsSnapshot(f), settings);
        if (fault != Fault::Refused)
            QCOMPARE(f.server.requestCount(QStringLiteral("account/delete")), 1);
        AppStateForeign::provide(nullptr);
    }

    void connectWithWeekOldRulesRefusesAndKeepsThem_data() { faults(); }
    void connectWithWeekOldRulesRefusesAndKeepsThem()
    {
        QFETCH(Fault, fault);
        QFETCH(ScriptedAnswer, answer);
        AppFixture f;
        FaultySetup setup(f, fault, answer);
        const QDateTime now = f.clock.now();
        f.clock.setNow(now.addDays(-8)); // the rules were stored eight days ago
        f.storeSession(QStringLiteral("tok"), catalogJson({QStringLiteral("10.0.0.1:443")}), storedRules);
        f.clock.setNow(now);
        const auto stored = f.session.load();
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QVERIFY(app.storedPolicyExpired());

        app.connect();
        QVERIFY(f.settle([&] { return app.connectionState() == ConnectionState::Disconnected; }, 30s));
        QCOMPARE(app.connectionError(), std::optional<QString>(rulesUnknownText));
        QVERIFY(f.traceLines().contains(QStringLiteral("connect refused: stored policy expired")));
        QVERIFY(f.profiles.calls().filter(QRegularExpression(QStringLiteral("^start "))).isEmpty());
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        QCOMPARE(f.session.load(), stored);
    }

    // Signing out needs no server; an answer that was already on its way when the
    // user signed out must not bring the session back or explain a revocation.
    void lateRefreshAnswerAfterSignOutIsIgnored_data()
    {
        QTest::addColumn<QJsonObject>("late");
        QTest::newRow("ok") << okAnswer({{QStringLiteral("username"), QStringLiteral("ghost")}});
        QTest::newRow("invalid_session") << QJsonObject{{QStringLiteral("status"), QStringLiteral("invalid_session")}};
    }
    void lateRefreshAnswerAfterSignOutIsIgnored()
    {
        QFETCH(QJsonObject, late);
        AppFixture f;
        AppState &app = f.startSignedIn();
        storeSettings(f);
        const QStringList settings = settingsSnapshot(f);
        f.server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(late).after(100ms));
        std::optional<bool> refreshed;
        collect(app.refreshSession(), refreshed);
        QVERIFY(f.waitFor([&] { return f.server.requestCount(QStringLiteral("refresh/")) == 2; }));
        const int requests = f.server.requestCount();
        app.signOutAndStop();
        QVERIFY(f.waitFor([&] { return refreshed.has_value(); }));
        QVERIFY(!f.session.load());
        QVERIFY(!app.telegramUsername());
        QVERIFY(!app.signOutNotice());
        QCOMPARE(*refreshed, false);
        QCOMPARE(f.server.requestCount(), requests); // signing out asked nothing
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QVERIFY(!app.signOutNotice());
        QVERIFY(!app.telegramUsername());
        QVERIFY(!app.sessionToken);
        QVERIFY(app.directNodes().isEmpty());
        QVERIFY(!f.session.load());
        QCOMPARE(settingsSnapshot(f).mid(0, 5), settings.mid(0, 5));
    }

    // The deletion is confirmed after the user signed out and in with another
    // account: the new session stays.
    void lateDeletionAnswerLeavesANewSessionAlone()
    {
        AppFixture f;
        AppState &app = f.startSignedIn();
        f.server.setDefault(QStringLiteral("account/delete"),
                            ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")}}).after(100ms));
        std::optional<bool> deleted;
        collect(app.deleteAccount(), deleted);
        QVERIFY(f.waitFor([&] { return f.server.requestCount(QStringLiteral("account/delete")) == 1; }));
        app.signOutAndStop();
        TelegramLoginResult::Session other;
        other.sessionToken = QStringLiteral("tok-other");
        other.subscriptionURL = QStringLiteral("https://sub.example.com/other");
        app.applyLoginResult(TelegramLoginResult::makeOk(other));
        QVERIFY(f.waitFor([&] { return deleted.has_value(); }));
        QCOMPARE(*deleted, true);
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        QCOMPARE(app.sessionToken, std::optional<QString>(QStringLiteral("tok-other")));
        const auto stored = f.session.load();
        QVERIFY(stored);
        QCOMPARE(stored->sessionToken, std::optional<QString>(QStringLiteral("tok-other")));
    }
};

QTEST_GUILESS_MAIN(TestAccountFaults)
#include "test_account_faults.moc"
