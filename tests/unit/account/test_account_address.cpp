#include "account/account_transport.h"
#include "account/telegram_login_service.h"

#include "manual_clock.h"

#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QUuid>

using namespace qor;

// Where requests may go: the paths, the base from the environment, the login token and
// the deep link (the base address rule itself: tests/unit/security/test_account_base_rule).
class TestAccountAddress : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Paths are appended as written: escapes stay, what would need escaping is refused.
    void pathsAreAppendedUnescaped()
    {
        const AccountTransport transport({"https://api.example.com/api/auth/"});
        for (const char *path : {"refresh/abcDEF-123_~.", "refresh/a%2Fb"})
            QVERIFY2(transport.url(path).value_or(QUrl()).toString(QUrl::FullyEncoded) == "https://api.example.com/api/auth/" + QString(path), path);
        for (const char *path : {"refresh/a b", "refresh/a%zz", "refresh/a\nb"})
            QVERIFY2(!transport.url(path), path);
    }

    void baseComesFromTheEnvironmentUnlessInjected()
    {
        qputenv("QOR_API_BASE", "http://127.0.0.1:4711/api/auth/");
        QCOMPARE(AccountTransport().baseAddress(), "http://127.0.0.1:4711/api/auth/");
        QCOMPARE(AccountTransport({"https://other.example/api/auth/"}).baseAddress(), "https://other.example/api/auth/");
    }

    void loginTokensAreRandomVersion4Uuids()
    {
        static const QRegularExpression shape("\\A[0-9a-f]{32}\\z");
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString token = TelegramLoginService::makeLoginToken();
            QVERIFY2(shape.match(token).hasMatch(), qPrintable(token));
            const QUuid uuid(QStringList{token.left(8), token.mid(8, 4), token.mid(12, 4), token.mid(16, 4), token.mid(20)}.join('-'));
            QCOMPARE(uuid.version(), QUuid::Random);
            QCOMPARE(uuid.variant(), QUuid::DCE);
            seen.insert(token);
        }
        QCOMPARE(seen.size(), 2000);
    }

    void deepLinkCarriesTheToken()
    {
        ManualClock clock;
        const AccountTransport transport({"https://api.example.com/api/auth/"});
        QCOMPARE(TelegramLoginService(clock, transport, "https://t.me/ExampleBot").deepLink("0123456789abcdef0123456789abcdef"),
                 "https://t.me/ExampleBot?start=login_0123456789abcdef0123456789abcdef");
        qputenv("QOR_DEEPLINK_BASE", "https://t.me/EnvBot");
        QCOMPARE(TelegramLoginService(clock, transport).deepLink("ab"), "https://t.me/EnvBot?start=login_ab");
    }
};

QTEST_GUILESS_MAIN(TestAccountAddress)
#include "test_account_address.moc"
