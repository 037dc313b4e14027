#include "account/account_transport.h"
#include "account/telegram_login_service.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QUuid>

using namespace qor;

namespace {

const QString kPoll = QStringLiteral("poll/0123456789abcdef0123456789abcdef");
std::optional<QUrl> urlFor(const QString &base, const QString &path = kPoll) { return AccountTransport({base}).url(path); }

} // namespace

// Where account requests may go, and the login token that names a sign-in (the refused
// send and the redirects: test_account_transport; the deep link: test_cli_account).
class TestAccountBaseRule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Plain HTTP only to this machine, and no other host dressed up as loopback.
    void baseAddressAcceptance()
    {
        for (const char *base : {"https://api.example.com/api/auth/", "https://api.example.com:8443/api/auth/",
                                 "http://127.0.0.1:8080/api/auth/", "http://127.3.4.5/api/auth/", "http://[::1]:8080/api/auth/",
                                 "http://localhost:8080/api/auth/", "http://LocalHost/api/auth/"})
            QVERIFY2(urlFor(base) == QUrl(base + kPoll), base);
        for (const char *base : {
                 "http://api.example.com/api/auth/", "http://192.0.2.10/api/auth/", "http://10.0.0.1/api/auth/",
                 "http://0.0.0.0/api/auth/", "http://127.0.0.1.example.com/api/auth/", "http://localhost.example.com/api/auth/",
                 "ftp://127.0.0.1/api/auth/", "https:///api/auth/", "/api/auth/", "api auth", "https://:443/api/auth/",
                 "http://127.0.0.1@api.example.com/api/auth/", "http://localhost:80@192.0.2.1/api/auth/",
                 "http://api.example.com#@127.0.0.1/api/auth/", "http://api.example.com\\@127.0.0.1/api/auth/",
                 "http://api.example.com?@127.0.0.1/api/auth/", "http://localhost.example.com./api/auth/",
                 "http://[::ffff:192.0.2.1]/api/auth/", "http://[::192.0.2.1]/api/auth/", "http://[::]/api/auth/",
                 "http://127.0.0.1./api/auth/", "http://localhost%2Eexample.com/api/auth/", "http://127.0.0.1 .example.com/api/auth/",
                 "ws://127.0.0.1/api/auth/", "//127.0.0.1/api/auth/"})
            QVERIFY2(!urlFor(base), base);
    }

    // Other spellings of this machine may pass or not; whatever passes for plain HTTP is loopback.
    void acceptedPlainAddressesAreLoopback()
    {
        for (const char *base : {"http://[::ffff:127.0.0.1]:8080/api/auth/", "http://127.1:8080/api/auth/", "http://2130706433/api/auth/",
                                 "http://0x7f.0.0.1/api/auth/", "http://0177.0.0.1/api/auth/", "HTTP://LOCALHOST/api/auth/",
                                 "http://[0:0:0:0:0:0:0:1]/api/auth/", "http://[::1%25lo]/api/auth/", "http://ｌｏｃａｌｈｏｓｔ/api/auth/",
                                 "http://127.0.0.1.:8080/api/auth/", "http://8.8.8.8/api/auth/", "http://[::ffff:8.8.8.8]/api/auth/"}) {
            const auto url = urlFor(base);
            QHostAddress host;
            const bool loopback = url && url->scheme() == u"http"
                && (url->host() == u"localhost" || (host.setAddress(url->host()) && host.isLoopback()));
            QVERIFY2(!url || loopback, base);
        }
    }

    // Paths are appended as written: escapes stay, what would need escaping is refused.
    void pathsAreAppendedUnescaped()
    {
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
};

QTEST_GUILESS_MAIN(TestAccountBaseRule)
#include "test_account_base_rule.moc"
