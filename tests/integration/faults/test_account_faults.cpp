// A failing account server (down, silent, late, garbled, over 16 MiB): own outcome, data kept, no hang.

#include "../tunnel/loopback_listeners.h"
#include "app_fixture.h"

#include "account/email_login_service.h"
#include "ui/screens/email_login_form.h"
#include "ui/screens/screen_tasks.h"
#include "ui/screens/state_types.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

enum class Fault { Refused, Fixed, Late, Huge };
Q_DECLARE_METATYPE(Fault)

namespace {

constexpr auto requestLimit = 150ms; // every request's limit, kept small: real time
constexpr qint64 overLimit = 17 * 1024 * 1024;
const QString storedRules = R"({"qor":{"company":"Acme","reserve":true}})";

// Settings no failure may touch; the last one is the standard store's.
const QList<std::pair<QString, QVariant>> settings{{"settings.autoReconnectEnabled", false}, {"settings.appearance", "dark"},
                                                   {"settings.liquidGlass", true},           {"settings.cascadeMode", "tavrin"},
                                                   {"settings.connectMode", "main"},          {"session.selectedNodeEndpoint", "10.0.0.1:443"}};

DefaultsStore &storeOf(AppFixture &f, const QString &key)
{
    return key.startsWith("session.") ? f.standardDefaults : f.sharedDefaults;
}

void storeSettings(AppFixture &f)
{
    for (const auto &[key, value] : settings) {
        if (value.typeId() == QMetaType::Bool)
            storeOf(f, key).setBool(key, value.toBool());
        else
            storeOf(f, key).setText(key, value.toString());
    }
}

// The first of the first `count` stored settings that lost its value; empty when none did.
QString changedSetting(AppFixture &f, qsizetype count = settings.size())
{
    for (const auto &[key, value] : settings.first(count)) {
        if (value.typeId() == QMetaType::Bool ? storeOf(f, key).boolValue(key) != value.toBool()
                                              : storeOf(f, key).textValue(key) != value.toString())
            return key;
    }
    return {};
}

// Client and e-mail service at the row's faulty server; Late and Huge serve a success the limit refuses.
struct FaultyFixture : AppFixture {
    FaultyFixture()
    {
        QFETCH(Fault, fault);
        QFETCH(ScriptedAnswer, answer);
        this->fault = fault;
        AccountTransport::Settings transport;
        transport.baseAddress = server.baseUrl().toString();
        if (fault == Fault::Refused)
            transport.baseAddress = QStringLiteral("http://127.0.0.1:%1/api/auth/").arg(closedLoopbackPort());
        transport.shortTimeout = transport.longTimeout = requestLimit;
        login = std::make_unique<TelegramLoginService>(clock, AccountTransport(transport), "https://t.example/QorBot");
        email = std::make_unique<EmailLoginService>(AccountTransport(transport));
        for (const QString key : {"poll/", "refresh/", "account/delete", "email/request", "email/verify"}) {
            QJsonObject success = key == "email/request"    ? QJsonObject{{"status", "sent"}}
                                : key == "account/delete" ? QJsonObject{{"status", "ok"}}
                                                          : okAnswer({{"username", "changed"}});
            std::optional<ScriptedAnswer> huge; // built once: the login polls many times
            server.setHandler(key, [fault, answer, success, huge](const RecordedRequest &) mutable {
                if (fault == Fault::Late)
                    return ScriptedAnswer::json(success).after(4 * requestLimit);
                if (fault == Fault::Huge && !huge) {
                    success.insert("padding", QString(overLimit, 'a'));
                    huge = ScriptedAnswer::json(success);
                }
                return fault == Fault::Huge ? *huge : answer;
            });
        }
    }

    // A session stored by an earlier run `ageDays` ago, the settings, and the application started over them.
    bool startStored(const std::optional<QString> &rules = {}, int ageDays = 0)
    {
        const QDateTime now = clock.now();
        clock.setNow(now.addDays(-ageDays));
        storeSession("tok", catalogJson({"10.0.0.1:443"}), rules);
        clock.setNow(now);
        storeSettings(*this);
        stored = session.load();
        start();
        return startupDone();
    }

    // What a failure must leave alone: the stage, the stored session and the settings.
    QString kept()
    {
        return caseName(app().authStage()) + (session.load() == stored ? " session kept " : " session changed ") + changedSetting(*this);
    }

    Fault fault = Fault::Fixed;
    std::unique_ptr<EmailLoginService> email;
    std::optional<Session::Saved> stored;
};

} // namespace

class TestAccountFaults : public QObject {
    Q_OBJECT

    static void faults()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<ScriptedAnswer>("answer");
        const auto json = [](const char *body) { return ScriptedAnswer::raw(body, 200, "application/json"); };
        QTest::newRow("connection refused") << Fault::Refused << ScriptedAnswer();
        QTest::newRow("503 with an HTML page") << Fault::Fixed << ScriptedAnswer::raw("<html>Service Unavailable</html>", 503, "text/html");
        QTest::newRow("silent past the limit") << Fault::Fixed << ScriptedAnswer::never();
        QTest::newRow("success after the limit") << Fault::Late << ScriptedAnswer();
        QTest::newRow("json array") << Fault::Fixed << json(R"([{"status":"ok"}])");
        QTest::newRow("status of the wrong type") << Fault::Fixed << json(R"({"status":["ok"],"session_token":"x"})");
        QTest::newRow("success padded past 16 MiB, declared") << Fault::Huge << ScriptedAnswer();
        QTest::newRow("endless body, no length") << Fault::Fixed << ScriptedAnswer::streamed(overLimit);
    }

private Q_SLOTS:
    void refreshAtStartAndPeriodicKeepsSessionAndSettings_data() { faults(); }
    void refreshAtStartAndPeriodicKeepsSessionAndSettings()
    {
        FaultyFixture f;
        QVERIFY(f.startStored(storedRules));
        AppState &app = f.app();
        for (int pass = 0; pass < 2; ++pass) {
            QCOMPARE(f.kept(), "loggedIn session kept ");
            QVERIFY(app.sessionToken == "tok" && app.telegramUsername() == "user" && app.directNodes().size() == 1);
            QVERIFY(app.corporateFromStorage() && !app.signOutNotice());
            // The next pass of the 900-second watch meets the same server.
            const int before = f.server.requestCount("refresh/");
            f.clock.advance(900s);
            if (f.fault != Fault::Refused)
                QVERIFY(f.waitFor([&] { return f.server.requestCount("refresh/") == before + 1; }));
            QTest::qWait(int(requestLimit.count()) * 2); // its limit passes; nothing may change
        }
    }

    void messengerLoginPollsUntilItsDeadline_data() { faults(); }
    void messengerLoginPollsUntilItsDeadline()
    {
        FaultyFixture f;
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
        // Virtual time moves up to 250 ms per real ms of a request: 150 ms can add 37.5 virtual seconds.
        QVERIFY(f.settle([&] { return endedAt.has_value(); }, 300s, 250ms));
        QVERIFY2(*endedAt - began >= 180s && *endedAt - began <= 222s, qPrintable(QString::number((*endedAt - began).count())));
        const int polls = f.server.requestCount("poll/");
        QVERIFY(f.fault == Fault::Refused || polls >= 1);
        f.clock.advance(10min);
        QTest::qWait(int(requestLimit.count()) * 2);
        QCOMPARE(f.server.requestCount("poll/"), polls);
        QCOMPARE(endings, 1);
        QVERIFY(!f.login->isPolling() && !f.session.load() && !app.signOutNotice());
    }

    void emailSignInShowsTheConnectionTexts_data() { faults(); }
    void emailSignInShowsTheConnectionTexts()
    {
        FaultyFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        AppStateForeign::provide(&app);
        EmailLoginService reachable{AccountTransport(AccountTransport::Settings{f.server.baseUrl().toString()})};
        EmailLoginForm form;
        const auto ask = [&](EmailLoginService *service, void (EmailLoginForm::*action)()) {
            EmailLoginForm::provideService(service);
            (form.*action)();
            return form.busy() && f.waitFor([&] { return !form.busy(); });
        };
        form.setEmail("user@mail.example");
        QVERIFY(ask(f.email.get(), &EmailLoginForm::requestCode));
        QCOMPARE(form.errorText(), "Не удалось отправить запрос. Проверьте соединение и попробуйте снова.");
        QCOMPARE(form.step(), EmailLoginForm::Step::EnterEmail);
        QCOMPARE(form.email(), "user@mail.example");

        // A code did arrive (the server was reachable then); the verification meets the fault.
        f.server.enqueue("email/request", ScriptedAnswer::json({{"status", "sent"}}));
        QVERIFY(ask(&reachable, &EmailLoginForm::requestCode));
        QCOMPARE(form.step(), EmailLoginForm::Step::EnterCode);
        QCOMPARE(form.errorText(), QString());
        QSignalSpy finished(&form, &EmailLoginForm::finished);
        form.setCode("123456");
        QVERIFY(ask(f.email.get(), &EmailLoginForm::verifyCode));
        QCOMPARE(form.errorText(), "Не удалось проверить код. Проверьте соединение и попробуйте снова.");
        QVERIFY(form.step() == EmailLoginForm::Step::EnterCode && form.code() == "123456" && finished.count() == 0);
        QVERIFY(app.authStage() == AuthStage::Idle && !f.session.load());
        EmailLoginForm::provideService(nullptr);
        AppStateForeign::provide(nullptr);
    }

    // With week-old company rules a connect is refused; a deletion fails with its toast; both keep the session.
    void connectAndDeletionKeepTheSession_data() { faults(); }
    void connectAndDeletionKeepTheSession()
    {
        FaultyFixture f;
        QVERIFY(f.startStored(storedRules, 8)); // eight days old
        AppState &app = f.app();
        QVERIFY(app.storedPolicyExpired());
        app.connect();
        QVERIFY(f.settle([&] { return app.connectionState() == ConnectionState::Disconnected; }, 30s));
        QCOMPARE(app.connectionError(), "Не удалось получить правила компании. Подключитесь к интернету и попробуйте снова");
        QVERIFY(f.traceLines().contains("connect refused: stored policy expired"));
        QVERIFY(f.profiles.calls().filter(QRegularExpression("^start ")).isEmpty());
        QCOMPARE(f.kept(), "loggedIn session kept ");

        AppStateForeign::provide(&app);
        AccountDeletion deletion;
        QSignalSpy deleted(&deletion, &AccountDeletion::deleted);
        deletion.start();
        QVERIFY(deletion.deleting());
        QVERIFY(f.waitFor([&] { return !deletion.deleting(); }));
        QCOMPARE(app.toast(), AccountDeletion::failureToast);
        QCOMPARE(deleted.count(), 0);
        QCOMPARE(f.kept(), "loggedIn session kept ");
        QCOMPARE(f.server.requestCount("account/delete"), f.fault == Fault::Refused ? 0 : 1);
        AppStateForeign::provide(nullptr);
    }

    // An answer already on its way at sign-out neither restores the session nor explains a revocation; a deletion
    // confirmed after the user switched accounts leaves the new session alone.
    void lateAnswerAfterSignOutIsIgnored_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonObject>("late");
        QTest::addColumn<QString>("after"); // stage, token, stored token
        QTest::newRow("refresh ok") << "refresh/" << okAnswer({{"username", "ghost"}}) << "idle - -";
        QTest::newRow("refresh invalid_session") << "refresh/" << QJsonObject{{"status", "invalid_session"}} << "idle - -";
        QTest::newRow("deletion, then another account") << "account/delete" << QJsonObject{{"status", "ok"}} << "loggedIn tok-other tok-other";
    }
    void lateAnswerAfterSignOutIsIgnored()
    {
        QFETCH(QString, path);
        QFETCH(QJsonObject, late);
        AppFixture f;
        AppState &app = f.startSignedIn();
        storeSettings(f);
        const bool deletion = path == "account/delete";
        const int before = f.server.requestCount(path);
        f.server.setDefault(path, ScriptedAnswer::json(late).after(100ms));
        std::optional<bool> result;
        collect(deletion ? app.deleteAccount() : app.refreshSession(), result);
        QVERIFY(f.waitFor([&] { return f.server.requestCount(path) == before + 1; }));
        const int requests = f.server.requestCount();
        app.signOutAndStop();
        if (deletion) {
            TelegramLoginResult::Session other;
            other.sessionToken = "tok-other";
            other.subscriptionURL = "https://sub.example.com/other";
            app.applyLoginResult(TelegramLoginResult::makeOk(other));
        }
        QVERIFY(f.waitFor([&] { return result.has_value(); }));
        QCOMPARE(*result, deletion);
        QCOMPARE(f.server.requestCount(), requests); // signing out asked nothing
        const auto stored = f.session.load();
        QTEST(caseName(app.authStage()) + ' ' + app.sessionToken.value_or("-") + ' ' + (stored ? stored->sessionToken.value_or("-") : "-"), "after");
        QVERIFY(!app.signOutNotice() && !app.telegramUsername() && app.directNodes().isEmpty());
        QCOMPARE(changedSetting(f, 5), QString()); // the selected node goes with the session
    }
};

QTEST_GUILESS_MAIN(TestAccountFaults)
#include "test_account_faults.moc"
