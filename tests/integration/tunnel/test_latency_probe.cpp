#include "../../unit/tunnel/task_outcome.h"
#include "loopback_listeners.h"
#include "tunnel/latency_probe.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QTest>
#include <QThread>

using Millis = std::optional<quint64>;
Q_DECLARE_METATYPE(Millis)

using namespace qor;
using namespace std::chrono_literals;

namespace {

// Runs a task to its end in real time; false when it did not end.
template<typename T>
bool finish(QCoro::Task<T> &&task, T &out)
{
    auto outcome = track(std::move(task));
    if (!QTest::qWaitFor([&] { return outcome->done; }, 20000))
        return false;
    out = *outcome->value;
    return true;
}

} // namespace

class TestLatencyProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wholeMillisecondsRoundDown()
    {
        for (const auto &[ns, ms] : QList<std::pair<qint64, quint64>>{{1999900, 1}, {900000, 0}, {2000000, 2}, {80500000, 80}, {-5, 0}})
            QVERIFY2(LatencyProbe::wholeMilliseconds(std::chrono::nanoseconds(ns)) == ms, qPrintable(QString::number(ns)));
    }

    // The host is resolved once, even for no attempt; every attempt goes to the
    // address found (the name as written when none is) and avoids the tunnel.
    void bestOfScriptedAttempts_data()
    {
        QTest::addColumn<QList<Millis>>("answers");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<bool>("resolves");
        QTest::addColumn<Millis>("best");
        QTest::addColumn<QStringList>("asked");
        const QStringList thrice(3, "192.0.2.10:443 off-tunnel");
        QTest::newRow("80, 35, timeout") << QList<Millis>{80, 35, {}} << 443 << 3 << true << Millis(35) << thrice;
        QTest::newRow("all fail") << QList<Millis>{} << 443 << 3 << true << Millis() << thrice;
        QTest::newRow("zero attempts") << QList<Millis>{5} << 443 << 0 << true << Millis() << QStringList();
        QTest::newRow("unresolved: tried as written") << QList<Millis>{12} << 8443 << 1 << false << Millis(12)
                                                      << QStringList{"node.example.com:8443 off-tunnel"};
        QTest::newRow("port zero: no attempt") << QList<Millis>{1, 2, 3} << 0 << 3 << true << Millis() << QStringList();
    }

    void bestOfScriptedAttempts()
    {
        QFETCH(QList<Millis>, answers);
        QFETCH(int, port);
        QFETCH(int, attempts);
        QFETCH(bool, resolves);
        QFETCH(Millis, best);
        QFETCH(QStringList, asked);
        struct Script {
            QMutex lock;
            QList<Millis> answers;
            QStringList asked;
            int resolutions = 0;
        };
        auto script = std::make_shared<Script>();
        script->answers = answers;
        LatencyProbe::Options o;
        o.attempt = [script](const QString &host, quint16 port, bool avoid) -> Millis {
            QMutexLocker locker(&script->lock);
            script->asked.append(host + ":" + QString::number(port) + (avoid ? " off-tunnel" : ""));
            return script->answers.isEmpty() ? std::nullopt : script->answers.takeFirst();
        };
        o.resolver = [script, resolves](const QString &) -> std::optional<QString> {
            QMutexLocker locker(&script->lock);
            ++script->resolutions;
            return resolves ? std::optional<QString>("192.0.2.10") : std::nullopt;
        };
        Millis measured;
        QVERIFY(finish(LatencyProbe(o).measureLatency("node.example.com", quint16(port), attempts), measured));
        QCOMPARE(measured, best);
        QCOMPARE(script->resolutions, 1);
        QCOMPARE(script->asked, asked);
    }

    void measuresARealConnection()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        Millis time;
        QVERIFY(finish(measureLatency("localhost", listener.port(), 3), time));
        QVERIFY2(time && *time < 1000, qPrintable(QString::number(time.value_or(0))));
        std::optional<QString> address;
        QVERIFY(finish(LatencyProbe().resolveHost("localhost"), address));
        QVERIFY2(address == "127.0.0.1" || address == "::1", qPrintable(address.value_or("absent")));
    }

    void refusedConnectionsFailFast()
    {
        QElapsedTimer elapsed;
        elapsed.start();
        Millis time = 1;
        QVERIFY(finish(measureLatency("127.0.0.1", closedLoopbackPort(), 3), time));
        QCOMPARE(time, Millis());
        QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void silentServerEndsEachAttemptAtTheLimit()
    {
        LoopbackListener silent("127.0.0.1", 0, LoopbackListener::Silent);
        QVERIFY(silent.isOpen());
        LatencyProbe::Options o;
        o.limit = 300ms;
        const LatencyProbe probe(o);
        QElapsedTimer elapsed;
        elapsed.start();
        Millis time = 1;
        QVERIFY(finish(probe.connectOnce("127.0.0.1", silent.port(), true), time));
        QCOMPARE(time, Millis());
        QVERIFY(elapsed.elapsed() >= 290);
        elapsed.restart();
        time = 1;
        QVERIFY(finish(probe.measureLatency("127.0.0.1", silent.port(), 3), time));
        QCOMPARE(time, Millis());
        // One after the other: about three limits in all.
        QVERIFY2(elapsed.elapsed() >= 3 * 290 && elapsed.elapsed() < 3 * 300 + 5000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void busyMainThreadDoesNotInflateTheTime()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        auto result = track(connectOnce("127.0.0.1", listener.port(), true));
        QThread::msleep(600); // the main thread is busy while the attempt runs
        QTRY_VERIFY_WITH_TIMEOUT(result->done, 20000);
        // Timed on the main thread it would read 600 or more.
        QVERIFY2(*result->value && **result->value < 300, qPrintable(QString::number(result->value->value_or(0))));
    }
};

QTEST_GUILESS_MAIN(TestLatencyProbe)
#include "test_latency_probe.moc"
