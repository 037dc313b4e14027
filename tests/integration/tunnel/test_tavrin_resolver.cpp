#include "../../unit/tunnel/task_outcome.h"
#include "loopback_listeners.h"
#include "manual_clock.h"
#include "tunnel/platform/tcp_connect.h"
#include "tunnel/tavrin_resolver.h"

#include <QElapsedTimer>
#include <QTest>

using namespace qor;
using namespace std::chrono_literals;

namespace {

// Short enough to wait out, long enough for a busy machine to answer a loopback connect.
constexpr auto limit = 1500ms;

// A resolver of these entry hosts, each looked up on this port.
std::unique_ptr<TavrinResolver> resolverOf(ManualClock &clock, quint16 port, const QStringList &hosts = {})
{
    QList<TavrinEntries::Entry> entries;
    for (const QString &host : hosts)
        entries.append({host, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "192.0.2.1"});
    return std::make_unique<TavrinResolver>(clock, entries, TavrinResolver::Options{limit, port});
}

std::optional<QString> resolved(TavrinResolver &resolver, const QString &host)
{
    auto result = track(resolver.resolveOffTunnel(host));
    return QTest::qWaitFor([&] { return result->done; }, 10000) ? *result->value : std::optional<QString>("unfinished");
}

} // namespace

class TestTavrinResolver : public QObject {
    Q_OBJECT

    ManualClock clock;

private Q_SLOTS:
    // A name goes through the system resolver; the answer is the address reached.
    void resolvesOverAConnection()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        const auto resolver = resolverOf(clock, listener.port());
        QCOMPARE(resolved(*resolver, "127.0.0.1"), std::optional<QString>("127.0.0.1"));
        QCOMPARE(resolved(*resolver, "localhost"), std::optional<QString>("127.0.0.1"));
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
        QVERIFY2(!silent || quiet.isOpen(), "could not make a silent listener");
        const auto resolver = resolverOf(clock, silent ? quiet.port() : closedLoopbackPort());
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(resolved(*resolver, "127.0.0.1"), std::optional<QString>());
        // A refusal ends at once, silence at the limit.
        QVERIFY2(silent == (elapsed.elapsed() >= limit.count() - 50), qPrintable(QString::number(elapsed.elapsed())));
    }

    void resolveAllKeepsEarlierAddresses()
    {
        LoopbackListener first("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(first.isOpen());
        auto third = std::make_unique<LoopbackListener>("127.0.0.3", first.port(), LoopbackListener::Answering);
        LoopbackListener silent("127.0.0.2", first.port(), LoopbackListener::Silent);
        if (!third->isOpen() || !silent.isOpen())
            QSKIP("loopback addresses beyond 127.0.0.1 are not usable here");
        const auto resolver = resolverOf(clock, first.port(), {"127.0.0.1", "127.0.0.2", "127.0.0.3"});
        auto pass = track(resolver->resolveAll());
        QTRY_VERIFY_WITH_TIMEOUT(pass->done, 10000);
        QCOMPARE(resolver->cache(), (QHash<QString, QString>{{"127.0.0.1", "127.0.0.1"}, {"127.0.0.3", "127.0.0.3"}}));
        QCOMPARE(resolver->serverList().addresses, (QStringList{"127.0.0.1", "192.0.2.1", "127.0.0.3"}));

        // The third entry stops answering: its cached address stays.
        third.reset();
        auto again = track(resolver->resolveAll());
        QTRY_VERIFY_WITH_TIMEOUT(again->done, 10000);
        QCOMPARE(resolver->cache().value("127.0.0.3"), QStringLiteral("127.0.0.3"));
    }

    // The pause of a prefetch ends with its look-ups, or after its length; the
    // look-ups always run to their own end.
    void prefetchEndsWithItsLookups_data()
    {
        QTest::addColumn<bool>("slow");
        QTest::newRow("look-ups end first") << false;
        QTest::newRow("a look-up outlasts the pause") << true;
    }

    void prefetchEndsWithItsLookups()
    {
        QFETCH(bool, slow);
        LoopbackListener listener("127.0.0.1", 0, slow ? LoopbackListener::Silent : LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        const auto resolver = resolverOf(clock, listener.port(), {"127.0.0.1", "localhost"});
        const int sleepsBefore = clock.pendingSleeps();
        QElapsedTimer elapsed;
        elapsed.start();
        auto prefetch = track(resolver->prefetch(slow ? 0.5 : 2.5));
        if (slow) {
            clock.advance(500ms); // the pause is over
            QVERIFY(!prefetch->done);
        }
        // Without a slow look-up no virtual time passes: the look-ups cut the pause
        // short (they may even finish on their threads before it has begun).
        QTRY_VERIFY_WITH_TIMEOUT(prefetch->done, 10000);
        QCOMPARE(clock.pendingSleeps(), sleepsBefore);
        QCOMPARE(resolver->cache().value("127.0.0.1"), slow ? QString() : QStringLiteral("127.0.0.1"));
        if (slow)
            QVERIFY(elapsed.elapsed() >= limit.count() - 50);
    }

    void scopeSuffixIsDropped()
    {
        for (const auto &[address, bare] : QList<std::pair<QString, QString>>{{"fe80::1%eth0", "fe80::1"}, {"fe80::1%2%x", "fe80::1"},
                                                                              {"192.0.2.7", "192.0.2.7"}})
            QCOMPARE(net::withoutScope(address), bare);
    }
};

QTEST_GUILESS_MAIN(TestTavrinResolver)
#include "test_tavrin_resolver.moc"
