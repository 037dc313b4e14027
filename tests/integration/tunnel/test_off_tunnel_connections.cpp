// Connections made off the tunnel on network threads, against loopback listeners that
// answer, never answer (a full accept queue) or refuse: the latency probe (the best of its
// attempts, each ended at its limit and timed off the main thread) and the Tavrin resolver
// (the address each entry reaches, cached across look-ups, prefetched beside a pause).

#include "../../unit/tunnel/task_outcome.h"
#include "loopback_listeners.h"
#include "tunnel/latency_probe.h"
#include "tunnel/platform/tcp_connect.h"
#include "tunnel/tavrin_resolver.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QTest>
#include <QThread>

using Millis = std::optional<quint64>;

using namespace qor;
using namespace std::chrono_literals;

namespace {

// The resolver's limit: short enough to wait out, long enough for a busy machine to answer a loopback connect.
constexpr auto limit = 1500ms;

// A resolver of these entry hosts, each looked up on this port.
std::unique_ptr<TavrinResolver> resolverOf(ManualClock &clock, quint16 port, const QStringList &hosts = {})
{
    QList<TavrinEntries::Entry> entries;
    for (const QString &host : hosts)
        entries.append({host, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "192.0.2.1"});
    return std::make_unique<TavrinResolver>(clock, entries, TavrinResolver::Options{limit, port});
}

} // namespace

class TestOffTunnelConnections : public QObject {
    Q_OBJECT

    ManualClock clock;

private Q_SLOTS:
    // Whole milliseconds round down; an address loses its scope suffix.
    void conversions()
    {
        for (const auto &[ns, ms] : QList<std::pair<qint64, quint64>>{{1999900, 1}, {900000, 0}, {2000000, 2}, {80500000, 80}, {-5, 0}})
            QVERIFY2(LatencyProbe::wholeMilliseconds(std::chrono::nanoseconds(ns)) == ms, qPrintable(QString::number(ns)));
        for (const auto &[address, bare] : QList<std::pair<QString, QString>>{{"fe80::1%eth0", "fe80::1"}, {"fe80::1%2%x", "fe80::1"},
                                                                              {"192.0.2.7", "192.0.2.7"}})
            QCOMPARE(net::withoutScope(address), bare);
    }

    // The host is resolved once, even for no attempt; every attempt goes to the
    // address found (the name as written when none is) and avoids the tunnel.
    void bestOfScriptedAttempts()
    {
        const QStringList thrice(3, "192.0.2.10:443 off-tunnel");
        const struct {
            const char *name;
            QList<Millis> answers; // of the attempts in turn
            quint16 port;
            int attempts;
            bool resolves;
            Millis best;
            QStringList asked;
        } rows[] = {{"80, 35, timeout", {80, 35, {}}, 443, 3, true, 35, thrice},
                    {"all fail", {}, 443, 3, true, {}, thrice},
                    {"zero attempts", {5}, 443, 0, true, {}, {}},
                    {"unresolved: tried as written", {12}, 8443, 1, false, 12, {"node.example.com:8443 off-tunnel"}},
                    {"port zero: no attempt", {1, 2, 3}, 0, 3, true, {}, {}}};
        for (const auto &row : rows) {
            struct Script {
                QMutex lock;
                QList<Millis> answers;
                QStringList asked;
                int resolutions = 0;
            };
            auto script = std::make_shared<Script>();
            script->answers = row.answers;
            LatencyProbe::Options o;
            o.attempt = [script](const QString &host, quint16 port, bool avoid) -> Millis {
                QMutexLocker locker(&script->lock);
                script->asked.append(host + ":" + QString::number(port) + (avoid ? " off-tunnel" : ""));
                return script->answers.isEmpty() ? std::nullopt : script->answers.takeFirst();
            };
            o.resolver = [script, resolves = row.resolves](const QString &) -> std::optional<QString> {
                QMutexLocker locker(&script->lock);
                ++script->resolutions;
                return resolves ? std::optional<QString>("192.0.2.10") : std::nullopt;
            };
            const Millis best = QCoro::waitFor(LatencyProbe(o).measureLatency("node.example.com", row.port, row.attempts));
            QVERIFY2(best == row.best && script->resolutions == 1 && script->asked == row.asked,
                     qPrintable(QStringLiteral("%1: best %2, %3 look-ups, asked %4").arg(row.name).arg(best ? qint64(*best) : -1)
                                    .arg(script->resolutions).arg(script->asked.join(", "))));
        }
    }

    // Timed on the main thread an attempt would read 600 or more.
    void aBusyMainThreadDoesNotInflateTheTime()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        auto result = track(connectOnce("127.0.0.1", listener.port(), true));
        QThread::msleep(600); // the main thread is busy while the attempt runs
        QTRY_VERIFY_WITH_TIMEOUT(result->done, 20000);
        QVERIFY2(*result->value && **result->value < 300, qPrintable(QString::number(result->value->value_or(0))));
        const std::optional<QString> address = QCoro::waitFor(LatencyProbe().resolveHost("localhost"));
        QVERIFY2(address == "127.0.0.1" || address == "::1", qPrintable(address.value_or("absent")));
    }

    // Against a listener that answers, refuses or stays silent: the probe's time and the
    // address the resolver reached (a name through the system resolver), or none. A
    // refusal ends at once; silence at each attempt's limit, one attempt after the other.
    void realAttempts_data()
    {
        QTest::addColumn<QString>("listener");
        for (const char *kind : {"answers", "refuses", "is silent"})
            QTest::newRow(kind) << kind;
    }

    void realAttempts()
    {
        QFETCH(QString, listener);
        LoopbackListener server("127.0.0.1", 0, listener == "is silent" ? LoopbackListener::Silent : LoopbackListener::Answering);
        QVERIFY(server.isOpen());
        if (listener == "refuses")
            server.close();
        const bool answers = listener == "answers", silent = listener == "is silent";
        LatencyProbe::Options o;
        o.limit = 300ms;
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(QCoro::waitFor(LatencyProbe(o).measureLatency("127.0.0.1", server.port(), 3)).has_value(), answers);
        const qint64 probeMs = elapsed.restart();
        QVERIFY2(silent ? probeMs >= 3 * 290 && probeMs < 3 * 300 + 5000 : probeMs < 3000, qPrintable(QString::number(probeMs)));
        const auto resolver = resolverOf(clock, server.port());
        for (const char *host : {"127.0.0.1", "localhost"}) {
            QCOMPARE(QCoro::waitFor(resolver->resolveOffTunnel(host)), answers ? std::optional<QString>("127.0.0.1") : std::nullopt);
            QVERIFY2(silent == (elapsed.restart() >= limit.count() - 50), host);
        }
    }

    // Every entry is looked up at once and each address found is cached; an entry that stops
    // answering keeps its earlier address. A prefetch's pause ends with its look-ups: here
    // before any virtual time passed (they may even finish before the pause has begun).
    void resolveAllKeepsEarlierAddresses()
    {
        LoopbackListener first("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(first.isOpen());
        auto third = std::make_unique<LoopbackListener>("127.0.0.3", first.port(), LoopbackListener::Answering);
        LoopbackListener silent("127.0.0.2", first.port(), LoopbackListener::Silent);
        if (!third->isOpen() || !silent.isOpen())
            QSKIP("loopback addresses beyond 127.0.0.1 are not usable here");
        const auto resolver = resolverOf(clock, first.port(), {"127.0.0.1", "127.0.0.2", "127.0.0.3"});
        const int sleepsBefore = clock.pendingSleeps();
        auto prefetch = track(resolver->prefetch(2.5));
        QTRY_VERIFY_WITH_TIMEOUT(prefetch->done, 10000);
        QCOMPARE(clock.pendingSleeps(), sleepsBefore);
        QCOMPARE(resolver->cache(), (QHash<QString, QString>{{"127.0.0.1", "127.0.0.1"}, {"127.0.0.3", "127.0.0.3"}}));
        QCOMPARE(resolver->serverList().addresses, (QStringList{"127.0.0.1", "192.0.2.1", "127.0.0.3"}));

        third.reset();
        QCoro::waitFor(resolver->resolveAll());
        QCOMPARE(resolver->cache().value("127.0.0.3"), "127.0.0.3");
    }

    // A look-up that outlasts a prefetch's pause still runs to its own end.
    void prefetchOutlastedByALookup()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Silent);
        QVERIFY(listener.isOpen());
        const auto resolver = resolverOf(clock, listener.port(), {"127.0.0.1", "localhost"});
        const int sleepsBefore = clock.pendingSleeps();
        QElapsedTimer elapsed;
        elapsed.start();
        auto prefetch = track(resolver->prefetch(0.5));
        clock.advance(500ms); // the pause is over
        QVERIFY(!prefetch->done);
        QTRY_VERIFY_WITH_TIMEOUT(prefetch->done, 10000);
        QCOMPARE(clock.pendingSleeps(), sleepsBefore);
        QVERIFY(resolver->cache().isEmpty());
        QVERIFY(elapsed.elapsed() >= limit.count() - 50);
    }
};

QTEST_GUILESS_MAIN(TestOffTunnelConnections)
#include "test_off_tunnel_connections.moc"
