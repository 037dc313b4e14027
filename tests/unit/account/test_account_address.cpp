#include "account/account_transport.h"
#include "account/telegram_login_service.h"

#include "manual_clock.h"

#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QUuid>

using namespace qor;

// Where requests may go: the base address, the login token and the deep link.
class TestAccountAddress : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void baseAddressAcceptance_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("https") << QStringLiteral("https://api.example.com/api/auth/") << true;
        QTest::newRow("https with port") << QStringLiteral("https://api.example.com:8443/api/auth/") << true;
        QTest::newRow("http 127.0.0.1") << QStringLiteral("http://127.0.0.1:8080/api/auth/") << true;
        QTest::newRow("http 127.3.4.5") << QStringLiteral("http://127.3.4.5/api/auth/") << true;
        QTest::newRow("http [::1]") << QStringLiteral("http://[::1]:8080/api/auth/") << true;
        QTest::newRow("http localhost") << QStringLiteral("http://localhost:8080/api/auth/") << true;
        QTest::newRow("http LocalHost") << QStringLiteral("http://LocalHost/api/auth/") << true;
        QTest::newRow("http public name") << QStringLiteral("http://api.example.com/api/auth/") << false;
        QTest::newRow("http documentation address") << QStringLiteral("http://192.0.2.10/api/auth/") << false;
        QTest::newRow("http private address") << QStringLiteral("http://10.0.0.1/api/auth/") << false;
        QTest::newRow("http any address") << QStringLiteral("http://0.0.0.0/api/auth/") << false;
        QTest::newRow("http name starting like loopback") << QStringLiteral("http://127.0.0.1.example.com/api/auth/") << false;
        QTest::newRow("http localhost subdomain") << QStringLiteral("http://localhost.example.com/api/auth/") << false;
        QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1/api/auth/") << false;
        QTest::newRow("no host") << QStringLiteral("https:///api/auth/") << false;
        QTest::newRow("relative") << QStringLiteral("/api/auth/") << false;
        QTest::newRow("not an address") << QStringLiteral("api auth") << false;
        QTest::newRow("empty host with port") << QStringLiteral("https://:443/api/auth/") << false;
    }
    void baseAddressAcceptance()
    {
        QFETCH(QString, base);
        QFETCH(bool, accepted);
        const AccountTransport transport({base});
        const auto url = transport.url(QStringLiteral("poll/0123456789abcdef0123456789abcdef"));
        QCOMPARE(url.has_value(), accepted);
        if (accepted)
            QCOMPARE(*url, QUrl(base + QStringLiteral("poll/0123456789abcdef0123456789abcdef")));
    }

    void pathsAreAppendedUnescaped_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("formed");
        QTest::newRow("plain token") << QStringLiteral("refresh/abcDEF-123_~.") << true;
        QTest::newRow("already escaped") << QStringLiteral("refresh/a%2Fb") << true;
        QTest::newRow("space") << QStringLiteral("refresh/a b") << false;
        QTest::newRow("broken escape") << QStringLiteral("refresh/a%zz") << false;
        QTest::newRow("control character") << QStringLiteral("refresh/a\nb") << false;
    }
    void pathsAreAppendedUnescaped()
    {
        QFETCH(QString, path);
        QFETCH(bool, formed);
        const AccountTransport transport({QStringLiteral("https://api.example.com/api/auth/")});
        const auto url = transport.url(path);
        QCOMPARE(url.has_value(), formed);
        if (formed)
            QCOMPARE(url->toString(QUrl::FullyEncoded), QStringLiteral("https://api.example.com/api/auth/") + path);
    }

    void baseComesFromTheEnvironmentUnlessInjected()
    {
        qputenv("QOR_API_BASE", "http://127.0.0.1:4711/api/auth/");
        QCOMPARE(AccountTransport().baseAddress(), QStringLiteral("http://127.0.0.1:4711/api/auth/"));
        QCOMPARE(AccountTransport({QStringLiteral("https://other.example/api/auth/")}).baseAddress(),
                 QStringLiteral("https://other.example/api/auth/"));
        const AccountTransport::Settings defaults;
        QCOMPARE(defaults.shortTimeout, std::chrono::milliseconds(10000));
        QCOMPARE(defaults.longTimeout, std::chrono::milliseconds(60000));
        QCOMPARE(defaults.maxBodyBytes, qint64(16 * 1024 * 1024));
    }

    void loginTokensAreRandomVersion4Uuids()
    {
        static const QRegularExpression shape(QStringLiteral("\\A[0-9a-f]{32}\\z"));
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString token = TelegramLoginService::makeLoginToken();
            QVERIFY2(shape.match(token).hasMatch(), qPrintable(token));
            const QUuid uuid(token.left(8) + u'-' + token.mid(8, 4) + u'-' + token.mid(12, 4) + u'-'
                             + token.mid(16, 4) + u'-' + token.mid(20));
            QCOMPARE(uuid.version(), QUuid::Random);
            QCOMPARE(uuid.variant(), QUuid::DCE);
            seen.insert(token);
        }
        QCOMPARE(seen.size(), 2000);
    }

    void deepLinkCarriesTheToken()
    {
        ManualClock clock;
        TelegramLoginService service(clock, AccountTransport({QStringLiteral("https://api.example.com/api/auth/")}),
                                     QStringLiteral("https://t.me/ExampleBot"));
        QCOMPARE(service.deepLink(QStringLiteral("0123456789abcdef0123456789abcdef")),
                 QStringLiteral("https://t.me/ExampleBot?start=login_0123456789abcdef0123456789abcdef"));

        qputenv("QOR_DEEPLINK_BASE", "https://t.me/EnvBot");
        TelegramLoginService fromEnvironment(clock, AccountTransport({QStringLiteral("https://api.example.com/api/auth/")}));
        QCOMPARE(fromEnvironment.deepLink(QStringLiteral("ab")), QStringLiteral("https://t.me/EnvBot?start=login_ab"));
    }
};

QTEST_GUILESS_MAIN(TestAccountAddress)
#include "test_account_address.moc"
