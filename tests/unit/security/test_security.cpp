// Where account requests may go, what names a sign-in, no secret in any log or trace (fuzz regressions: test_fuzz_regressions).
#include "app_fixture.h"

#include "account/account_transport.h"
#include "account/telegram_login_service.h"

#include <QDirIterator>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QUrlQuery>
#include <QUuid>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {

const QString kPoll = QStringLiteral("poll/0123456789abcdef0123456789abcdef");
std::optional<QUrl> urlFor(const QString &base, const QString &path = kPoll) { return AccountTransport({base}).url(path); }

QMutex logMutex;
QStringList logLines;

void capture(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&logMutex);
    logLines.append(QString::fromUtf8(context.category ? context.category : "default") + u' ' + message);
}

} // namespace

class TestSecurity : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Plain HTTP only to this machine, and no other host dressed up as loopback; other spellings of this machine may pass or not,
    // but what passes is loopback (the refused send and redirects: test_account_transport; the deep link: test_cli_account).
    void addressRule()
    {
        for (const char *base : {"https://api.example.com/api/auth/", "https://api.example.com:8443/api/auth/",
                                 "http://127.0.0.1:8080/api/auth/", "http://127.3.4.5/api/auth/", "http://[::1]:8080/api/auth/",
                                 "http://localhost:8080/api/auth/", "http://LocalHost/api/auth/"})
            QVERIFY2(urlFor(base) == QUrl(base + kPoll), base);
        for (const char *base : {
                 "http://192.0.2.10/api/auth/", "http://0.0.0.0/api/auth/", "http://8.8.8.8/api/auth/", "http://[::ffff:8.8.8.8]/api/auth/",
                 "http://127.0.0.1.example.com/api/auth/", "http://localhost.example.com/api/auth/", "ftp://127.0.0.1/api/auth/",
                 "https:///api/auth/", "/api/auth/", "//127.0.0.1/api/auth/", "http://127.0.0.1@api.example.com/api/auth/",
                 "http://localhost:80@192.0.2.1/api/auth/", "http://api.example.com#@127.0.0.1/api/auth/",
                 "http://api.example.com\\@127.0.0.1/api/auth/", "http://api.example.com?@127.0.0.1/api/auth/",
                 "http://localhost.example.com./api/auth/", "http://[::ffff:192.0.2.1]/api/auth/", "http://[::192.0.2.1]/api/auth/",
                 "http://[::]/api/auth/", "http://127.0.0.1./api/auth/", "http://localhost%2Eexample.com/api/auth/",
                 "http://127.0.0.1 .example.com/api/auth/"})
            QVERIFY2(!urlFor(base), base);
        for (const char *base : {"http://[::ffff:127.0.0.1]:8080/api/auth/", "http://127.1:8080/api/auth/", "http://2130706433/api/auth/",
                                 "http://0x7f.0.0.1/api/auth/", "http://0177.0.0.1/api/auth/", "HTTP://LOCALHOST/api/auth/",
                                 "http://[0:0:0:0:0:0:0:1]/api/auth/", "http://[::1%25lo]/api/auth/", "http://ｌｏｃａｌｈｏｓｔ/api/auth/",
                                 "http://127.0.0.1.:8080/api/auth/"}) {
            const auto url = urlFor(base);
            QHostAddress host;
            const bool loopback = url && url->scheme() == u"http"
                && (url->host() == u"localhost" || (host.setAddress(url->host()) && host.isLoopback()));
            QVERIFY2(!url || loopback, base);
        }
        // Paths are appended as written: escapes stay, what would need escaping is refused.
        const QString base = "https://api.example.com/api/auth/";
        for (const char *path : {"refresh/abcDEF-123_~.", "refresh/a%2Fb"})
            QVERIFY2(urlFor(base, path).value_or(QUrl()).toString(QUrl::FullyEncoded) == base + path, path);
        for (const char *path : {"refresh/a b", "refresh/a%zz", "refresh/a\nb"})
            QVERIFY2(!urlFor(base, path), path);
    }

    // Random version 4 UUIDs, written as 32 lower-case hex digits.
    void loginTokensAreRandomVersion4Uuids()
    {
        static const QRegularExpression shape("\\A[0-9a-f]{32}\\z");
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString token = TelegramLoginService::makeLoginToken();
            const QUuid uuid(QStringList{token.left(8), token.mid(8, 4), token.mid(12, 4), token.mid(16, 4), token.mid(20)}.join('-'));
            QVERIFY2(shape.match(token).hasMatch() && uuid.version() == QUuid::Random && uuid.variant() == QUuid::DCE, qPrintable(token));
            seen.insert(token);
        }
        QCOMPARE(seen.size(), 2000);
    }

    // A signed-in run (sign-in, cascade connect, refresh, sign-out) leaves no token or key in any log line (debug level and Qt's
    // network stack included) or trace file. (The e-mail code: test_account_transport's secretsNeverReachTheLog.)
    void signedInRunLeavesNoSecret()
    {
        // Distinct enough that no time stamp, process id or count can contain them by chance.
        const QString messengerSession = "sessTOKEN-messenger-7f3a9c", refreshedSession = "sessTOKEN-refreshed-1b8e4d",
                      tavrinKey = "tavrinKEY-0d6b93e1";
        QStringList secrets{messengerSession, refreshedSession, tavrinKey}, traces; // traces: "name: content"
        QLoggingCategory::setFilterRules("com.qorvpn.*=true\nqt.network.*=true");
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        {
            AppFixture f;
            const QJsonObject corporate{{"company", "ACME"}, {"policy", QJsonObject{{"block_torrent", true}}}};
            for (const auto &[path, token] : {std::pair{"poll/", messengerSession}, {"refresh/", refreshedSession}})
                f.server.setDefault(path, ScriptedAnswer::json(okAnswer({{"session_token", token}, {"tavrin_key", tavrinKey}, {"qor", corporate}})));
            f.profiles.setStatusOnStart(VpnStatus::Connected);
            f.probeAnswers.assign(20, true);

            AppState &app = f.start();
            QVERIFY(f.startupDone());
            app.startTelegramLogin();
            const QString start = QUrlQuery(f.openedAddresses.value(0)).queryItemValue("start");
            QVERIFY2(start.startsWith("login_"), qPrintable(start));
            secrets.append(start.mid(6)); // the login token
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

            f.trace->waitForWrites();
            QDirIterator files(f.trace->directory(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                QFile file(files.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                traces.append(QDir(f.trace->directory()).relativeFilePath(file.fileName()) + ": " + QString::fromUtf8(file.readAll()));
            }
        }
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());

        QMutexLocker lock(&logMutex);
        // The run did log and trace, so an empty capture cannot pass for a clean one.
        QVERIFY2(logLines.filter("com.qorvpn.connect.").size() >= 10, qPrintable(logLines.join(u'\n')));
        QVERIFY(traces.filter(QRegularExpression("^state-trace\\.txt: .*connect -> ", QRegularExpression::DotMatchesEverythingOption)).size() == 1);
        for (const QString &secret : std::as_const(secrets)) {
            const QStringList leaks = logLines.filter(secret) + traces.filter(secret);
            QVERIFY2(leaks.isEmpty(), qPrintable(secret + " in:\n" + leaks.join(u'\n')));
        }
    }
};

QTEST_GUILESS_MAIN(TestSecurity)
#include "test_security.moc"
