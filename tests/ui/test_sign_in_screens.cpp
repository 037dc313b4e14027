// The sign-in screen and the e-mail sheet, driven through their controls over a
// real AppState and the loopback account server.

#include "screen_host.h"

#include <QTest>

using namespace qor;
using namespace qor::testing;

namespace {
void type(const HostedItem &hosted, const char *name, const QString &text)
{
    QQuickItem *field = need(hosted, name);
    QVERIFY2(field, name);
    field->forceActiveFocus();
    QTest::keyClick(hosted.window.get(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(hosted.window.get(), Qt::Key_Backspace);
    // Characters one by one, as a keyboard sends them (Cyrillic and "@" included).
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, hosted.window.get(), Qt::Key_unknown, c, Qt::NoModifier);
}

ScriptedAnswer status(const char *value)
{
    return ScriptedAnswer::json({{QStringLiteral("status"), QString::fromLatin1(value)}});
}
} // namespace

class TestSignInScreens : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QmlHost::useSoftwareRenderer();
        WarningLog::install();
    }
    void init() { WarningLog::take(); }
    void cleanup()
    {
        const QStringList warnings = WarningLog::take();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    void messengerLoginWaitsAndCancels()
    {
        ScreenHost host;
        AppState &app = host.startSignedOut();
        HostedItem hosted = host.showRoot();
        QVERIFY(need(hosted, "idleBlock"));
        QVERIFY(!need(hosted, "signOutNotice"));

        click(hosted, "telegramButton");
        QCOMPARE(app.authStage(), AuthStage::WaitingForTelegram);
        QCOMPARE(host.fixture.openedAddresses.size(), 1);
        QVERIFY(host.fixture.openedAddresses.first().toString().contains(QStringLiteral("?start=login_")));
        QVERIFY(need(hosted, "waitingBlock"));
        QVERIFY(!need(hosted, "idleBlock"));
        QVERIFY(host.fixture.waitFor([&] { return host.fixture.server.requestCount(QStringLiteral("poll/")) == 1; }));

        click(hosted, "cancelWaitingButton");
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QVERIFY(need(hosted, "idleBlock"));
        // No more polls once cancelled, however much time passes.
        host.fixture.settle([] { return false; }, std::chrono::seconds(10), std::chrono::seconds(1));
        QCOMPARE(host.fixture.server.requestCount(QStringLiteral("poll/")), 1);
    }

    void noSubscriptionOffersAFreshLogin()
    {
        ScreenHost host;
        AppState &app = host.startSignedOut();
        app.setSignOutNotice(QStringLiteral("Доступ отозван — учётной записи больше нет. Войдите заново"));
        app.setAuthStage(AuthStage::NoSubscription);
        HostedItem hosted = host.showRoot();
        QVERIFY(need(hosted, "noSubscriptionBlock"));
        click(hosted, "retryButton");
        QCOMPARE(app.authStage(), AuthStage::WaitingForTelegram);
        QCOMPARE(host.fixture.openedAddresses.size(), 1);
        app.cancelTelegramLogin();
        QCOMPARE(textOf(need(hosted, "signOutNotice")), app.signOutNoticeText());
    }

    void emailSheetStepsAndErrors()
    {
        ScreenHost host;
        AppState &app = host.startSignedOut();
        HostedItem hosted = host.showRoot();
        click(hosted, "emailButton");
        QVERIFY(need(hosted, "emailSheet"));
        QTRY_VERIFY(!need(hosted, "telegramButton")); // covered by the sheet once it is in place

        // No "@": the request cannot be sent.
        type(hosted, "emailField", QStringLiteral("anna.example.com"));
        QVERIFY(!need(hosted, "requestCodeButton")->isEnabled());
        type(hosted, "emailField", QStringLiteral("anna@example"));
        QVERIFY(need(hosted, "requestCodeButton")->isEnabled());

        // Rejected by the server: the message, still on the first step.
        host.fixture.server.enqueue(QStringLiteral("email/request"), status("invalid_email"));
        click(hosted, "requestCodeButton");
        QTRY_COMPARE(textOf(need(hosted, "emailError")), QStringLiteral("Проверьте правильность email."));
        QVERIFY(need(hosted, "emailField"));
        QCOMPARE(host.fixture.server.requests(QStringLiteral("email/request")).last().jsonBody().value(QStringLiteral("email")).toString(),
                 QStringLiteral("anna@example"));

        // Sent: the code step names the address.
        type(hosted, "emailField", QStringLiteral("anna@example.com"));
        host.fixture.server.enqueue(QStringLiteral("email/request"), status("sent"));
        click(hosted, "requestCodeButton");
        QTRY_VERIFY(need(hosted, "codeField"));
        QVERIFY(!need(hosted, "emailError"));
        QCOMPARE(textOf(need(hosted, "codeSentLine")), QStringLiteral("Код отправлен на anna@example.com"));

        type(hosted, "codeField", QStringLiteral("123"));
        QVERIFY(!need(hosted, "verifyButton")->isEnabled());
        type(hosted, "codeField", QStringLiteral("1234"));
        QVERIFY(need(hosted, "verifyButton")->isEnabled());
        host.fixture.server.enqueue(QStringLiteral("email/verify"), status("expired"));
        click(hosted, "verifyButton");
        QTRY_COMPARE(textOf(need(hosted, "emailError")), QStringLiteral("Код устарел. Запросите новый."));

        // "изменить": back to the address, which stays; the code and the error go.
        click(hosted, "changeAddressButton");
        QVERIFY(need(hosted, "emailField"));
        QCOMPARE(textOf(need(hosted, "emailField")), QStringLiteral("anna@example.com"));
        QVERIFY(!need(hosted, "emailError"));
        QObject *form = need(hosted, "emailSheet")->property("form").value<QObject *>();
        QCOMPARE(form->property("code").toString(), QString());

        // The right code signs in; the sheet closes and the connect screen takes over.
        host.fixture.server.enqueue(QStringLiteral("email/request"), status("sent"));
        click(hosted, "requestCodeButton");
        QTRY_VERIFY(need(hosted, "codeField"));
        type(hosted, "codeField", QStringLiteral("654321"));
        host.fixture.server.enqueue(QStringLiteral("email/verify"),
                                    ScriptedAnswer::json(test::okAnswer({{QStringLiteral("session_token"), QStringLiteral("s1")}})));
        click(hosted, "verifyButton");
        QTRY_COMPARE(app.authStage(), AuthStage::LoggedIn);
        QCOMPARE(app.sessionToken, QStringLiteral("s1"));
        QTRY_VERIFY(need(hosted, "connectView"));
        QTRY_VERIFY(!need(hosted, "authView"));
    }

    void closingTheSheetStartsAfresh()
    {
        ScreenHost host;
        host.startSignedOut();
        HostedItem hosted = host.showRoot();
        click(hosted, "emailButton");
        type(hosted, "emailField", QStringLiteral("anna@example.com"));
        click(hosted, "emailCloseButton");
        QTRY_VERIFY(!need(hosted, "emailSheet"));
        QVERIFY(need(hosted, "telegramButton"));
        click(hosted, "emailButton");
        QCOMPARE(textOf(need(hosted, "emailField")), QString());
    }
};

QTEST_MAIN(TestSignInScreens)
#include "test_sign_in_screens.moc"
