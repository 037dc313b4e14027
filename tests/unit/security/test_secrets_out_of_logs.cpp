#include "app_fixture.h"

#include "account/email_login_service.h"

#include <QDirIterator>
#include <QLoggingCategory>
#include <QMutex>
#include <QTest>
#include <QUrlQuery>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {

QMutex logMutex;
QStringList logLines;

void capture(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&logMutex);
    logLines.append(QString::fromUtf8(context.category ? context.category : "default") + u' ' + message);
}

// Distinct enough that no time stamp, process id or count can contain them by chance.
const QString messengerSession = QStringLiteral("sessTOKEN-messenger-7f3a9c");
const QString refreshedSession = QStringLiteral("sessTOKEN-refreshed-1b8e4d");
const QString emailSession = QStringLiteral("sessTOKEN-email-5c2f7a");
const QString tavrinKey = QStringLiteral("tavrinKEY-0d6b93e1");
const QString emailCode = QStringLiteral("CODE-Q4Z7W1");

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

// A whole signed-in run (messenger and e-mail sign-ins, a cascade connect, a refresh, sign-outs) leaves no
// token, key or code in any log line, debug level and Qt's network stack included, or trace file.
class TestSecretsOutOfLogs : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void signedInRunLeavesNoSecret()
    {
        QLoggingCategory::setFilterRules("com.qorvpn.*=true\nqt.network.*=true");
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        QStringList secrets;
        QHash<QString, QString> traceFiles; // name -> content
        {
            AppFixture f;
            const QJsonObject corporate{{"company", "ACME"}, {"policy", QJsonObject{{"block_torrent", true}}}};
            for (const auto &[path, token] : {std::pair{"poll/", messengerSession}, {"refresh/", refreshedSession}})
                f.server.setDefault(path, ScriptedAnswer::json(okAnswer({{"session_token", token}, {"tavrin_key", tavrinKey}, {"qor", corporate}})));
            f.server.setDefault("email/verify", ScriptedAnswer::json(okAnswer({{"session_token", emailSession}})));
            f.profiles.setStatusOnStart(VpnStatus::Connected);
            f.probeAnswers.assign(20, true);

            AppState &app = f.start();
            QVERIFY(f.startupDone());
            app.startTelegramLogin();
            QCOMPARE(f.openedAddresses.size(), 1);
            const QString start = QUrlQuery(f.openedAddresses.at(0)).queryItemValue("start");
            QVERIFY2(start.startsWith("login_"), qPrintable(start));
            const QString loginToken = start.mid(6);
            QVERIFY(f.settle([&] { return app.authStage() == AuthStage::LoggedIn; }));
            QCOMPARE(app.sessionToken, std::optional<QString>(messengerSession));

            app.selectMode(ConnectMode::Tavrin);
            app.tapGlobe();
            QVERIFY(f.settle([&] { return app.connectionState() == ConnectionState::Connected && !app.switchingChannels; }, 60s));
            QCOMPARE(f.launcher.launches.size(), 1); // the key went to the client

            std::optional<bool> refreshed;
            collect(app.refreshSession(), refreshed);
            QVERIFY(f.settle([&] { return refreshed.has_value(); }));
            QCOMPARE(refreshed, std::optional<bool>(true));
            QCOMPARE(app.sessionToken, std::optional<QString>(messengerSession)); // a refresh keeps the token it was sent with

            app.signOutAndStop();
            QVERIFY(f.settle([&] { return app.authStage() != AuthStage::LoggedIn; }));

            EmailLoginService email(AccountTransport({f.server.baseUrl().toString()}));
            std::optional<VerifyCodeResult> verified;
            collect(email.verifyCode("user@example.com", emailCode), verified);
            QVERIFY(f.waitFor([&] { return verified.has_value(); }));
            QCOMPARE(verified->kind, VerifyCodeResult::Kind::Ok);
            app.applyLoginResult(*verified->login);
            QVERIFY(f.settle([&] { return app.authStage() == AuthStage::LoggedIn; }));
            QCOMPARE(app.sessionToken, std::optional<QString>(emailSession));
            app.signOutAndStop();
            QVERIFY(f.settle([&] { return app.authStage() != AuthStage::LoggedIn; }));

            f.trace->waitForWrites();
            QDirIterator files(f.trace->directory(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                const QString path = files.next();
                traceFiles.insert(QDir(f.trace->directory()).relativeFilePath(path), readAll(path));
            }
            secrets = {loginToken, messengerSession, refreshedSession, emailSession, tavrinKey, emailCode};
        }
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        QCOMPARE(secrets.size(), 6);

        QMutexLocker lock(&logMutex);
        // The run did log and trace, so an empty capture cannot pass for a clean one.
        QVERIFY2(logLines.filter("com.qorvpn.connect.").size() >= 10, qPrintable(logLines.join(u'\n')));
        QVERIFY(traceFiles.value("state-trace.txt").contains("connect -> "));

        for (const QString &secret : std::as_const(secrets)) {
            const QStringList leaks = logLines.filter(secret);
            QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(u'\n')));
            for (auto it = traceFiles.cbegin(); it != traceFiles.cend(); ++it)
                QVERIFY2(!it.value().contains(secret), qPrintable(it.key() + " holds " + secret));
        }
    }
};

QTEST_GUILESS_MAIN(TestSecretsOutOfLogs)
#include "test_secrets_out_of_logs.moc"
