#include "account_test_support.h"

#include "account/email_login_service.h"
#include "account/telegram_login_service.h"

#include <QLoggingCategory>
#include <QMutex>

using namespace qor;
using namespace qor::testing;

namespace {

QMutex logMutex;
QStringList logLines;

void capture(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&logMutex);
    logLines.append(QString::fromUtf8(context.category ? context.category : "") + u' ' + message);
}

} // namespace

// Login tokens, session tokens, codes and addresses never reach a log line, whatever
// happens to the request, even with debug output on.
class TestAccountLogging : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void secretsNeverReachTheLog()
    {
        // The client side only: our category and Qt's network stack. (The loopback
        // server's own qt.httpserver debug lines print requests; they are not the client's.)
        QLoggingCategory::setFilterRules(QStringLiteral("com.qorvpn.connect.*=true\nqt.network.*=true"));
        const QtMessageHandler previous = qInstallMessageHandler(capture);

        AccountServer server;
        QVERIFY(server.listen());
        server.setDefault(QStringLiteral("poll/"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")},
                                                                        {QStringLiteral("session_token"), QStringLiteral("SESSIONSECRET")}}));
        server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::dropped());
        server.setDefault(QStringLiteral("account/delete"), ScriptedAnswer::never());
        server.setDefault(QStringLiteral("email/"), ScriptedAnswer::raw("not json", 500));

        ManualClock clock;
        TelegramLoginService service(clock, transportFor(server, 200ms, 200ms));
        bool done = false;
        const QString loginToken = service.startLogin([&done](const TelegramLoginResult &) { done = true; });
        QVERIFY(runPollLoop(clock, [&] { return done; }, 10s));
        QVERIFY(finish(service.refresh(QStringLiteral("REFRESHSECRET"))));
        QVERIFY(finish(service.deleteAccount(QStringLiteral("DELETESECRET"))));
        EmailLoginService email(transportFor(server, 200ms, 200ms));
        QVERIFY(finish(email.requestCode(QStringLiteral("MAILSECRET@example.com"))));
        QVERIFY(finish(email.verifyCode(QStringLiteral("MAILSECRET@example.com"), QStringLiteral("CODESECRET"))));
        TelegramLoginService broken(clock, AccountTransport({QStringLiteral("http://192.0.2.1/api/auth/")}));
        QVERIFY(finish(broken.refresh(QStringLiteral("BADURLSECRET"))));

        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());

        QMutexLocker lock(&logMutex);
        const QString all = logLines.join(u'\n');
        QVERIFY2(logLines.size() >= 6, qPrintable(all)); // the operations did log
        for (const QString &secret : {loginToken, QStringLiteral("SESSIONSECRET"), QStringLiteral("REFRESHSECRET"),
                                      QStringLiteral("DELETESECRET"), QStringLiteral("MAILSECRET"),
                                      QStringLiteral("CODESECRET"), QStringLiteral("BADURLSECRET")}) {
            const QStringList leaks = logLines.filter(secret);
            QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(u'\n')));
        }
    }
};

QTEST_GUILESS_MAIN(TestAccountLogging)
#include "test_account_logging.moc"
