#include "account/account_transport.h"

#include <QHostAddress>
#include <QTest>

using namespace qor;

// Plain HTTP is allowed only to this machine. test_account_address covers the plain
// forms and test_account_transport the refused send and the redirects; these are the
// addresses written to look like loopback while naming another host, or to hide
// another host behind a loopback part (user info, fragments, mapped addresses).
class TestAccountBaseRule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void deceptiveBases_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("loopback as user info") << QStringLiteral("http://127.0.0.1@api.example.com/api/auth/") << false;
        QTest::newRow("loopback with port as user info") << QStringLiteral("http://localhost:80@192.0.2.1/api/auth/") << false;
        QTest::newRow("loopback after a fragment") << QStringLiteral("http://api.example.com#@127.0.0.1/api/auth/") << false;
        QTest::newRow("loopback after a backslash") << QStringLiteral("http://api.example.com\\@127.0.0.1/api/auth/") << false;
        QTest::newRow("loopback after a query") << QStringLiteral("http://api.example.com?@127.0.0.1/api/auth/") << false;
        QTest::newRow("loopback as the first label") << QStringLiteral("http://localhost.example.com./api/auth/") << false;
        QTest::newRow("mapped non-loopback v4") << QStringLiteral("http://[::ffff:192.0.2.1]/api/auth/") << false;
        QTest::newRow("v4-compatible form") << QStringLiteral("http://[::192.0.2.1]/api/auth/") << false;
        QTest::newRow("unspecified v6") << QStringLiteral("http://[::]/api/auth/") << false;
        QTest::newRow("trailing dot") << QStringLiteral("http://127.0.0.1./api/auth/") << false;
        QTest::newRow("encoded dot in a name") << QStringLiteral("http://localhost%2Eexample.com/api/auth/") << false;
        QTest::newRow("blank inside the host") << QStringLiteral("http://127.0.0.1 .example.com/api/auth/") << false;
        QTest::newRow("websocket scheme") << QStringLiteral("ws://127.0.0.1/api/auth/") << false;
        QTest::newRow("scheme-relative") << QStringLiteral("//127.0.0.1/api/auth/") << false;
    }
    void deceptiveBases()
    {
        QFETCH(QString, base);
        QFETCH(bool, accepted);
        const auto url = AccountTransport({base}).url(QStringLiteral("poll/0123456789abcdef0123456789abcdef"));
        QCOMPARE(url.has_value(), accepted);
    }

    // Other spellings of this machine may be accepted or not; whatever is accepted for
    // plain HTTP is a loopback host, which is where the connection then goes.
    void acceptedPlainAddressesAreLoopback_data()
    {
        QTest::addColumn<QString>("base");
        for (const char *base : {"http://[::ffff:127.0.0.1]:8080/api/auth/", "http://127.1:8080/api/auth/",
                                 "http://2130706433/api/auth/", "http://0x7f.0.0.1/api/auth/", "http://0177.0.0.1/api/auth/",
                                 "HTTP://LOCALHOST/api/auth/", "http://[0:0:0:0:0:0:0:1]/api/auth/", "http://[::1%25lo]/api/auth/",
                                 "http://\xef\xbd\x8c\xef\xbd\x8f\xef\xbd\x83\xef\xbd\x81\xef\xbd\x8c\xef\xbd\x88\xef\xbd\x8f\xef\xbd\x93\xef\xbd\x94/api/auth/",
                                 "http://127.0.0.1.:8080/api/auth/", "http://8.8.8.8/api/auth/", "http://[::ffff:8.8.8.8]/api/auth/"})
            QTest::newRow(base) << QString::fromUtf8(base);
    }
    void acceptedPlainAddressesAreLoopback()
    {
        QFETCH(QString, base);
        const auto url = AccountTransport({base}).url(QStringLiteral("poll/0123456789abcdef0123456789abcdef"));
        QHostAddress host;
        const bool loopback = url && url->scheme() == u"http"
            && (url->host() == u"localhost" || (host.setAddress(url->host()) && host.isLoopback()));
        QVERIFY2(!url || loopback, qPrintable(url ? url->toString() : QString()));
    }
};

QTEST_GUILESS_MAIN(TestAccountBaseRule)
#include "test_account_base_rule.moc"
