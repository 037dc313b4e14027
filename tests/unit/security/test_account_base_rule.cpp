#include "account/account_transport.h"

#include <QHostAddress>
#include <QTest>

using namespace qor;

namespace {

std::optional<QUrl> urlFor(const QString &base) { return AccountTransport({base}).url("poll/0123456789abcdef0123456789abcdef"); }

} // namespace

// Plain HTTP is allowed only to this machine (test_account_transport covers the refused
// send and the redirects). Among the refused: addresses written to look like loopback
// while naming another host, or hiding another host behind a loopback part (user info,
// fragments, mapped addresses).
class TestAccountBaseRule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void baseAddressAcceptance()
    {
        for (const char *base : {"https://api.example.com/api/auth/", "https://api.example.com:8443/api/auth/",
                                 "http://127.0.0.1:8080/api/auth/", "http://127.3.4.5/api/auth/", "http://[::1]:8080/api/auth/",
                                 "http://localhost:8080/api/auth/", "http://LocalHost/api/auth/"})
            QVERIFY2(urlFor(base) == QUrl(QString(base) + "poll/0123456789abcdef0123456789abcdef"), base);
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

    // Other spellings of this machine may be accepted or not; whatever is accepted for
    // plain HTTP is a loopback host, which is where the connection then goes.
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
};

QTEST_GUILESS_MAIN(TestAccountBaseRule)
#include "test_account_base_rule.moc"
