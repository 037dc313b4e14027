#include "manual_clock.h"
#include "loopback_listeners.h"
#include "../../unit/tunnel/task_outcome.h"
#include "tunnel/platform/tcp_connect.h"
#include "tunnel/tavrin_resolver.h"

#include <QElapsedTimer>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;

namespace {

// Short enough to wait out, long enough for a busy machine to answer a loopback connect.
constexpr auto limit = 1500ms;

TavrinEntries::Entry entry(const char *host)
{
    return {QString::fromLatin1(host), QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="), QStringLiteral("192.0.2.1")};
}

TavrinResolver::Options options(quint16 port)
{
    TavrinResolver::Options o;
    o.limit = limit;
    o.port = port;
    return o;
}

} // namespace

class TestTavrinResolver : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void resolvesOverAConnection()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        ManualClock clock;
        TavrinResolver resolver(clock, {}, options(listener.port()));

        auto numeric = track(resolver.resolveOffTunnel(QStringLiteral("127.0.0.1")));
        QTRY_VERIFY_WITH_TIMEOUT(numeric->done, 10000);
        QCOMPARE(numeric->value->value_or("absent"), QStringLiteral("127.0.0.1"));

        // A name goes through the system resolver; the answer is the address reached.
        auto named = track(resolver.resolveOffTunnel(QStringLiteral("localhost")));
        QTRY_VERIFY_WITH_TIMEOUT(named->done, 10000);
        QCOMPARE(named->value->value_or("absent"), QStringLiteral("127.0.0.1"));
    }

    void failuresGiveNoAddress_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::newRow("refused") << false;
        QTest::newRow("never answers") << true;
    }

    void failuresGiveNoAddress()
    {
        QFETCH(bool, silent);
        LoopbackListener quiet("127.0.0.1", 0, LoopbackListener::Silent);
        if (silent)
            QVERIFY2(quiet.isOpen(), "could not make a silent listener");
        const quint16 port = silent ? quiet.port() : closedLoopbackPort();
        ManualClock clock;
        TavrinResolver resolver(clock, {}, options(port));
        QElapsedTimer elapsed;
        elapsed.start();
        auto result = track(resolver.resolveOffTunnel(QStringLiteral("127.0.0.1")));
        QTRY_VERIFY_WITH_TIMEOUT(result->done, 10000);
        QCOMPARE(*result->value, std::optional<QString>());
        if (silent)
            QVERIFY2(elapsed.elapsed() >= limit.count() - 50, qPrintable(QString::number(elapsed.elapsed())));
        else
            QVERIFY2(elapsed.elapsed() < limit.count(), qPrintable(QString::number(elapsed.elapsed())));
    }

    void resolveAllKeepsEarlierAddresses()
    {
        LoopbackListener first("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(first.isOpen());
        const quint16 port = first.port();
        auto third = std::make_unique<LoopbackListener>("127.0.0.3", port, LoopbackListener::Answering);
        LoopbackListener silent("127.0.0.2", port, LoopbackListener::Silent);
        if (!third->isOpen() || !silent.isOpen())
            QSKIP("loopback addresses beyond 127.0.0.1 are not usable here");

        ManualClock clock;
        TavrinResolver resolver(clock, {entry("127.0.0.1"), entry("127.0.0.2"), entry("127.0.0.3")}, options(port));
        auto pass = track(resolver.resolveAll());
        QTRY_VERIFY_WITH_TIMEOUT(pass->done, 10000);
        QCOMPARE(resolver.cache(), (QHash<QString, QString>{{"127.0.0.1", "127.0.0.1"}, {"127.0.0.3", "127.0.0.3"}}));
        const auto list = resolver.serverList();
        QCOMPARE(list.addresses, (QStringList{"127.0.0.1", "192.0.2.1", "127.0.0.3"}));

        // The third entry stops answering: its cached address stays.
        third.reset();
        auto again = track(resolver.resolveAll());
        QTRY_VERIFY_WITH_TIMEOUT(again->done, 10000);
        QCOMPARE(resolver.cache().value("127.0.0.3"), QStringLiteral("127.0.0.3"));
    }

    void prefetchEndsWithItsLookups()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        ManualClock clock;
        TavrinResolver resolver(clock, {entry("127.0.0.1"), entry("localhost")}, options(listener.port()));
        const int sleepsBefore = clock.pendingSleeps();
        // No virtual time passes: the pause is cut short by the finished look-ups (which
        // may even finish on their worker threads before the pause has begun).
        auto prefetch = track(resolver.prefetch(2.5));
        QTRY_VERIFY_WITH_TIMEOUT(prefetch->done, 10000);
        QCOMPARE(clock.pendingSleeps(), sleepsBefore);
        QCOMPARE(resolver.cache().value("127.0.0.1"), QStringLiteral("127.0.0.1"));
    }

    void prefetchWaitsForASlowLookupAfterItsPause()
    {
        LoopbackListener silent("127.0.0.1", 0, LoopbackListener::Silent);
        QVERIFY(silent.isOpen());
        ManualClock clock;
        TavrinResolver resolver(clock, {entry("127.0.0.1")}, options(silent.port()));
        QElapsedTimer elapsed;
        elapsed.start();
        auto prefetch = track(resolver.prefetch(0.5));
        clock.advance(500ms); // the pause is over
        QVERIFY(!prefetch->done);
        QTRY_VERIFY_WITH_TIMEOUT(prefetch->done, 10000);
        QVERIFY(elapsed.elapsed() >= limit.count() - 50);
        QVERIFY(resolver.cache().isEmpty());
    }

    void scopeSuffixIsDropped()
    {
        QCOMPARE(net::withoutScope(QStringLiteral("fe80::1%eth0")), QStringLiteral("fe80::1"));
        QCOMPARE(net::withoutScope(QStringLiteral("fe80::1%2%x")), QStringLiteral("fe80::1"));
        QCOMPARE(net::withoutScope(QStringLiteral("192.0.2.7")), QStringLiteral("192.0.2.7"));
    }
};

QTEST_GUILESS_MAIN(TestTavrinResolver)
#include "test_tavrin_resolver.moc"
