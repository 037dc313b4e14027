#include "../../unit/tunnel/task_outcome.h"
#include "loopback_listeners.h"
#include "tunnel/latency_probe.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QTest>
#include <QThread>

Q_DECLARE_METATYPE(std::optional<quint64>)

using namespace qor;
using namespace std::chrono_literals;

namespace {

constexpr int waitLimitMs = 20000;

LatencyProbe::Options shortLimit(std::chrono::milliseconds limit)
{
    LatencyProbe::Options o;
    o.limit = limit;
    return o;
}

// Attempts that answer from a script, recording what they were asked.
struct Script {
    QMutex lock;
    QList<std::optional<quint64>> answers;
    QStringList asked;
    int resolutions = 0;
};

LatencyProbe scripted(std::shared_ptr<Script> script, std::optional<QString> resolution)
{
    LatencyProbe::Options o;
    o.attempt = [script](const QString &host, quint16 port, bool avoid) -> std::optional<quint64> {
        QMutexLocker locker(&script->lock);
        script->asked.append(host + ":" + QString::number(port) + (avoid ? " off-tunnel" : ""));
        return script->answers.isEmpty() ? std::nullopt : script->answers.takeFirst();
    };
    o.resolver = [script, resolution](const QString &) {
        QMutexLocker locker(&script->lock);
        ++script->resolutions;
        return resolution;
    };
    return LatencyProbe(o);
}

} // namespace

class TestLatencyProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wholeMillisecondsRoundDown_data()
    {
        QTest::addColumn<qint64>("nanoseconds");
        QTest::addColumn<quint64>("milliseconds");
        QTest::newRow("1.9999 ms") << qint64(1999900) << quint64(1);
        QTest::newRow("0.9 ms") << qint64(900000) << quint64(0);
        QTest::newRow("2 ms") << qint64(2000000) << quint64(2);
        QTest::newRow("80.5 ms") << qint64(80500000) << quint64(80);
    }

    void wholeMillisecondsRoundDown()
    {
        QFETCH(qint64, nanoseconds);
        QFETCH(quint64, milliseconds);
        QCOMPARE(LatencyProbe::wholeMilliseconds(std::chrono::nanoseconds(nanoseconds)), milliseconds);
    }

    void bestOfTheAttempts_data()
    {
        QTest::addColumn<QList<std::optional<quint64>>>("answers");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<std::optional<quint64>>("expected");
        QTest::addColumn<int>("asked");
        using L = QList<std::optional<quint64>>;
        QTest::newRow("80, 35, timeout") << L{80, 35, std::nullopt} << 3 << std::optional<quint64>(35) << 3;
        QTest::newRow("all fail") << L{} << 3 << std::optional<quint64>() << 3;
        QTest::newRow("zero attempts") << L{5} << 0 << std::optional<quint64>() << 0;
        QTest::newRow("first of equals") << L{7, 7, 9} << 3 << std::optional<quint64>(7) << 3;
    }

    void bestOfTheAttempts()
    {
        QFETCH(QList<std::optional<quint64>>, answers);
        QFETCH(int, attempts);
        QFETCH(std::optional<quint64>, expected);
        QFETCH(int, asked);
        auto script = std::make_shared<Script>();
        script->answers = answers;
        const LatencyProbe probe = scripted(script, QStringLiteral("192.0.2.10"));
        auto result = track(probe.measureLatency(QStringLiteral("node.example.com"), 443, attempts));
        QTRY_VERIFY_WITH_TIMEOUT(result->done, waitLimitMs);
        QCOMPARE(*result->value, expected);
        QCOMPARE(script->resolutions, 1); // even with zero attempts
        QCOMPARE(script->asked.size(), asked);
        for (const QString &call : std::as_const(script->asked))
            QCOMPARE(call, QStringLiteral("192.0.2.10:443 off-tunnel"));
    }

    void unresolvedHostIsTriedAsWritten()
    {
        auto script = std::make_shared<Script>();
        script->answers = {12};
        const LatencyProbe probe = scripted(script, std::nullopt);
        auto result = track(probe.measureLatency(QStringLiteral("node.example.com"), 8443, 1));
        QTRY_VERIFY_WITH_TIMEOUT(result->done, waitLimitMs);
        QCOMPARE(*result->value, std::optional<quint64>(12));
        QCOMPARE(script->asked, QStringList{"node.example.com:8443 off-tunnel"});
    }

    void portZeroSkipsEveryAttempt()
    {
        auto script = std::make_shared<Script>();
        script->answers = {1, 2, 3};
        const LatencyProbe probe = scripted(script, QStringLiteral("192.0.2.10"));
        auto result = track(probe.measureLatency(QStringLiteral("192.0.2.10"), 0, 3));
        QTRY_VERIFY_WITH_TIMEOUT(result->done, waitLimitMs);
        QCOMPARE(*result->value, std::optional<quint64>());
        QVERIFY(script->asked.isEmpty());
    }

    void measuresARealConnection()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        auto result = track(measureLatency(QStringLiteral("localhost"), listener.port(), 3));
        QTRY_VERIFY_WITH_TIMEOUT(result->done, waitLimitMs);
        QVERIFY(result->value->has_value());
        QVERIFY2(**result->value < 1000, qPrintable(QString::number(**result->value)));

        auto resolved = track(LatencyProbe().resolveHost(QStringLiteral("localhost")));
        QTRY_VERIFY_WITH_TIMEOUT(resolved->done, waitLimitMs);
        QVERIFY2(*resolved->value == QStringLiteral("127.0.0.1") || *resolved->value == QStringLiteral("::1"),
                 qPrintable(resolved->value->value_or("absent")));
    }

    void refusedConnectionsFailFast()
    {
        QElapsedTimer elapsed;
        elapsed.start();
        auto result = track(measureLatency(QStringLiteral("127.0.0.1"), closedLoopbackPort(), 3));
        QTRY_VERIFY_WITH_TIMEOUT(result->done, waitLimitMs);
        QCOMPARE(*result->value, std::optional<quint64>());
        QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void silentServerEndsEachAttemptAtTheLimit()
    {
        LoopbackListener silent("127.0.0.1", 0, LoopbackListener::Silent);
        QVERIFY(silent.isOpen());
        const LatencyProbe probe(shortLimit(300ms));
        QElapsedTimer elapsed;
        elapsed.start();
        auto once = track(probe.connectOnce(QStringLiteral("127.0.0.1"), silent.port(), true));
        QTRY_VERIFY_WITH_TIMEOUT(once->done, waitLimitMs);
        QCOMPARE(*once->value, std::optional<quint64>());
        QVERIFY(elapsed.elapsed() >= 290);

        elapsed.restart();
        auto all = track(probe.measureLatency(QStringLiteral("127.0.0.1"), silent.port(), 3));
        QTRY_VERIFY_WITH_TIMEOUT(all->done, waitLimitMs);
        QCOMPARE(*all->value, std::optional<quint64>());
        // One after the other: about three limits in all.
        QVERIFY2(elapsed.elapsed() >= 3 * 290 && elapsed.elapsed() < 3 * 300 + 5000,
                 qPrintable(QString::number(elapsed.elapsed())));
    }

    void busyMainThreadDoesNotInflateTheTime()
    {
        LoopbackListener listener("127.0.0.1", 0, LoopbackListener::Answering);
        QVERIFY(listener.isOpen());
        auto result = track(connectOnce(QStringLiteral("127.0.0.1"), listener.port(), true));
        QThread::msleep(600); // the main thread is busy while the attempt runs
        QTRY_VERIFY_WITH_TIMEOUT(result->done, waitLimitMs);
        QVERIFY(result->value->has_value());
        // Timed on the main thread it would read 600 or more.
        QVERIFY2(**result->value < 300, qPrintable(QString::number(**result->value)));
    }
};


QTEST_GUILESS_MAIN(TestLatencyProbe)
#include "test_latency_probe.moc"
