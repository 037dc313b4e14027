#include "account_test_support.h"

#include "account/email_login_service.h"

using namespace qor;
using namespace qor::testing;
using LoginKind = TelegramLoginResult::Kind;
using VerifyKind = VerifyCodeResult::Kind;

namespace {

ScriptedAnswer body(const char *json, int httpStatus = 200)
{
    return ScriptedAnswer::raw(j(json), httpStatus, "application/json");
}

} // namespace

// The e-mail code login against a real account server on loopback: only the body
// decides, never the HTTP status.
class TestEmailLoginService : public QObject {
    Q_OBJECT
    std::unique_ptr<AccountServer> server;
    std::unique_ptr<EmailLoginService> service;

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<AccountServer>();
        QVERIFY(server->listen());
        service = std::make_unique<EmailLoginService>(transportFor(*server));
    }
    void cleanup()
    {
        service.reset();
        server.reset();
    }

    void requestCode_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<RequestCodeResult>("result");
        QTest::newRow("sent") << body("{'status':'sent'}") << RequestCodeResult::Sent;
        QTest::newRow("sent with HTTP 500") << body("{'status':'sent'}", 500) << RequestCodeResult::Sent;
        QTest::newRow("invalid_email") << body("{'status':'invalid_email'}", 422) << RequestCodeResult::InvalidEmail;
        QTest::newRow("no status") << body("{'message':'sent'}") << RequestCodeResult::Failed;
        QTest::newRow("status a number") << body("{'status':1}") << RequestCodeResult::Failed;
        QTest::newRow("status null") << body("{'status':null}") << RequestCodeResult::Failed;
        QTest::newRow("other status") << body("{'status':'rate_limited'}", 429) << RequestCodeResult::Failed;
        QTest::newRow("SENT in capitals") << body("{'status':'SENT'}") << RequestCodeResult::Failed;
        QTest::newRow("json array") << body("[{'status':'sent'}]") << RequestCodeResult::Failed;
        QTest::newRow("not json") << ScriptedAnswer::raw("sent", 200) << RequestCodeResult::Failed;
        QTest::newRow("empty body") << ScriptedAnswer::raw({}, 200) << RequestCodeResult::Failed;
        QTest::newRow("dropped") << ScriptedAnswer::dropped() << RequestCodeResult::Failed;
        QTest::newRow("never answers") << ScriptedAnswer::never() << RequestCodeResult::Failed;
        QTest::newRow("body over 16 MiB") << ScriptedAnswer::streamed(17 * 1024 * 1024) << RequestCodeResult::Failed;
    }
    void requestCode()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(RequestCodeResult, result);
        server->setDefault(QStringLiteral("email/request"), answer);
        const auto outcome = finish(service->requestCode(QStringLiteral(" Anna@Example.COM ")));
        QVERIFY2(outcome, "the code request did not end");
        QCOMPARE(*outcome, result);

        const RecordedRequest request = server->requests().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("email/request"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        // Sent exactly as typed: no trimming, no case change.
        QCOMPARE(request.jsonBody(), (QJsonObject{{QStringLiteral("email"), QStringLiteral(" Anna@Example.COM ")}}));
    }

    void verifyCode_data()
    {
        QTest::addColumn<ScriptedAnswer>("answer");
        QTest::addColumn<VerifyKind>("result");
        QTest::addColumn<LoginKind>("login"); // for VerifyKind::Ok

        const auto none = LoginKind::Error;
        QTest::newRow("ok") << body("{'status':'ok','session_token':'s1','username':'u'}") << VerifyKind::Ok << LoginKind::Ok;
        QTest::newRow("ok with HTTP 500") << body("{'status':'ok','session_token':'s1'}", 500) << VerifyKind::Ok << LoginKind::Ok;
        QTest::newRow("no_subscription") << body("{'status':'no_subscription'}") << VerifyKind::Ok << LoginKind::NoSubscription;
        QTest::newRow("invalid_session") << body("{'status':'invalid_session'}") << VerifyKind::Ok << LoginKind::SessionRevoked;
        QTest::newRow("invalid_code") << body("{'status':'invalid_code','session_token':'s1'}", 400) << VerifyKind::InvalidCode << none;
        QTest::newRow("expired with a full session")
            << body("{'status':'expired','session_token':'s1','username':'u','subscription_status':'active'}")
            << VerifyKind::Expired << none;
        QTest::newRow("unknown success status") << body("{'status':'verified','session_token':'s1'}") << VerifyKind::NetworkError << none;
        QTest::newRow("no status, full session")
            << body("{'session_token':'s1','username':'u','subscription_status':'active'}") << VerifyKind::NetworkError << none;
        QTest::newRow("status a number") << body("{'status':0,'session_token':'s1'}") << VerifyKind::NetworkError << none;
        QTest::newRow("json array") << body("[{'status':'ok'}]") << VerifyKind::NetworkError << none;
        QTest::newRow("not json") << ScriptedAnswer::raw("<html>oops</html>", 502, "text/html") << VerifyKind::NetworkError << none;
        QTest::newRow("dropped") << ScriptedAnswer::dropped() << VerifyKind::NetworkError << none;
        QTest::newRow("never answers") << ScriptedAnswer::never() << VerifyKind::NetworkError << none;
    }
    void verifyCode()
    {
        QFETCH(ScriptedAnswer, answer);
        QFETCH(VerifyKind, result);
        QFETCH(LoginKind, login);
        server->setDefault(QStringLiteral("email/verify"), answer);
        const auto outcome = finish(service->verifyCode(QStringLiteral("anna@example.com"), QStringLiteral(" 0123 ")));
        QVERIFY2(outcome, "the verification did not end");
        QCOMPARE(outcome->kind, result);
        QCOMPARE(outcome->login.has_value(), result == VerifyKind::Ok);
        if (outcome->login)
            QCOMPARE(outcome->login->kind, login);

        const RecordedRequest request = server->requests().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("email/verify"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.jsonBody(), (QJsonObject{{QStringLiteral("email"), QStringLiteral("anna@example.com")},
                                                  {QStringLiteral("code"), QStringLiteral(" 0123 ")}}));
    }

    // The verification's session is read by the same parser as a messenger login:
    // members of the wrong type are absent, the rest is kept.
    void verifiedSessionIsReadLikeAMessengerLogin()
    {
        server->setDefault(QStringLiteral("email/verify"), body(
            "{'status':'ok','session_token':'s1','username':5,'subscription_status':'ACTIVE',"
            "'expires_at':'2026-06-01T00:00:00Z','xray_configs':'[]','qor':{'reserve':false}}"));
        const auto outcome = finish(service->verifyCode(QStringLiteral("a@example.com"), QStringLiteral("1")));
        QVERIFY(outcome);
        QCOMPARE(outcome->kind, VerifyKind::Ok);
        const TelegramLoginResult::Session &session = outcome->login->ok;
        QCOMPARE(session.sessionToken, QStringLiteral("s1"));
        QCOMPARE(session.username, std::nullopt);
        QCOMPARE(session.subscription.isActive, true);
        QCOMPARE(session.subscription.expiresAt, std::nullopt); // no fractional seconds
        QCOMPARE(session.xrayConfigsJSON, std::nullopt);
        QVERIFY(session.corporate);
        QCOMPARE(session.corporate->reserveAllowed, false);
    }

    void malformedAddress()
    {
        EmailLoginService broken(AccountTransport({QStringLiteral("http://192.0.2.1/api/auth/")}));
        const auto requested = finish(broken.requestCode(QStringLiteral("a@example.com")));
        QVERIFY(requested);
        QCOMPARE(*requested, RequestCodeResult::Failed);
        const auto verified = finish(broken.verifyCode(QStringLiteral("a@example.com"), QStringLiteral("1")));
        QVERIFY(verified);
        QCOMPARE(verified->kind, VerifyKind::NetworkError);
    }
};


QTEST_GUILESS_MAIN(TestEmailLoginService)
#include "test_email_login_service.moc"
