#include "manual_clock.h"
#include "scripted_counters.h"
#include "tunnel/traffic_monitor.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <clocale>

using namespace qor;
using namespace std::chrono_literals;
using Pair = std::pair<quint64, quint64>;

namespace {
struct Bed {
    ManualClock clock;
    ScriptedCounters counters;
    TrafficMonitor monitor{clock, counters};
    Pair speeds() const { return {monitor.downloadBytesPerSecond(), monitor.uploadBytesPerSecond()}; }
    Pair totals() const { return {monitor.sessionDownloadBytes(), monitor.sessionUploadBytes()}; }
};
} // namespace

class TestTrafficMonitor : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Once a second from start(); outside a session speeds stay 0 and nothing is added;
    // a session counts only its own traffic, and its end zeroes the speeds, keeping the totals.
    void samplesOnceASecondWithinSessions()
    {
        Bed b;
        b.counters.set("utun3", 1000, 500);
        b.monitor.start();
        b.monitor.start(); // a second start changes nothing
        b.counters.add("utun3", 9000, 9000);
        b.clock.advance(1s);
        QCOMPARE(b.speeds(), Pair(0, 0));
        QCOMPARE(b.totals(), Pair(0, 0));

        b.counters.add("utun3", 7777, 0);
        QSignalSpy active(&b.monitor, &TrafficMonitor::isSessionActiveChanged);
        b.monitor.beginSession();
        QVERIFY(active.count() == 1 && b.monitor.isSessionActive());
        QSignalSpy download(&b.monitor, &TrafficMonitor::downloadBytesPerSecondChanged);
        b.counters.add("utun3", 4096, 1024);
        b.clock.advance(999ms);
        QCOMPARE(download.count(), 0);
        b.clock.advance(1ms);
        QCOMPARE(download.count(), 1);
        QCOMPARE(b.speeds(), Pair(4096, 1024));
        b.counters.add("utun3", 10, 20);
        b.clock.advance(2s);
        QCOMPARE(download.count(), 3);
        QCOMPARE(b.monitor.downloadBytesPerSecond(), 0u); // nothing moved in the last second
        QCOMPARE(b.totals(), Pair(4106, 1044));

        b.monitor.endSession();
        QVERIFY(!b.monitor.isSessionActive());
        QCOMPARE(b.speeds(), Pair(0, 0));
        b.counters.add("utun3", 5000, 5000);
        b.clock.advance(1s);
        QCOMPARE(b.totals(), Pair(4106, 1044));
        b.monitor.beginSession(); // a new session starts from zero
        QCOMPARE(b.totals(), Pair(0, 0));
    }

    // Only the busiest tunnel (both directions summed) counts; a new interface adds
    // nothing in its first sample, counters that went backwards (recreated) give 0, and
    // 64-bit counters lose nothing past 2^32 or with more than 4 GiB in one second.
    void tickCountsTheBusiestInterface()
    {
        Bed b;
        b.counters.set("utun0", 0, 0);
        b.counters.set("utun1", 0, 0);
        b.monitor.beginSession();
        const auto tick = [&b](const char *name, quint64 received, quint64 sent) {
            b.counters.add(name, received, sent);
            b.monitor.tick();
            return b.speeds();
        };
        b.counters.add("utun1", 240, 0);
        QCOMPARE(tick("utun0", 100, 150), Pair(100, 150));
        b.counters.add("utun0", 1, 0);
        QCOMPARE(tick("utun1", 300, 5), Pair(300, 5));
        QCOMPARE(b.totals(), Pair(400, 155)); // the other interface's traffic is never added

        b.counters.set("utun9", 70000, 70000);
        QCOMPARE(tick("utun0", 0, 0), Pair(0, 0));
        QCOMPARE(tick("utun9", 10, 0), Pair(10, 0));
        b.counters.set("utun9", 3, 0);
        QCOMPARE(tick("utun0", 0, 7), Pair(0, 7));
        b.counters.clear();
        b.monitor.tick();
        QCOMPARE(b.speeds(), Pair(0, 0));

        b.counters.set("utun0", 4294967000ull, 10);
        b.monitor.tick();
        QCOMPARE(tick("utun0", 1000, 0), Pair(1000, 0));
        QCOMPARE(tick("utun0", 5ull << 30, 0), Pair(5ull << 30, 0));
        QCOMPARE(b.totals(), Pair((5ull << 30) + 1410, 162));
    }

    void procNetDevIsParsed()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write("Inter-|   Receive                                                |  Transmit\n"
                   " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
                   "    lo:  1234  10 0 0 0 0 0 0  1234 10 0 0 0 0 0 0\n"
                   "utun-qor: 98765432109876 5 0 0 0 0 0 0 12345678901 6 0 0 0 0 0 0\n"
                   "  utun12:0 0 0 0 0 0 0 0 7 1 0 0 0 0 0 0\n"
                   "  broken: 1 2 3\n");
        file.close();
        const CounterSnapshot all = ProcNetDevCounters(file.fileName()).read();
        QCOMPARE(all.size(), 3);
        QCOMPARE(all.value("utun-qor"), (InterfaceCounters{98765432109876ull, 12345678901ull}));
        QCOMPARE(all.value("utun12"), (InterfaceCounters{0, 7}));
        QCOMPARE(all.value("lo"), (InterfaceCounters{1234, 1234}));
        // The demo counts only its simulated "utun" interfaces.
        QCOMPARE(ProcNetDevCounters(file.fileName(), QStringLiteral("utun")).read().keys(), (QStringList{"utun-qor", "utun12"}));
        QVERIFY(ProcNetDevCounters(QStringLiteral("/nonexistent/dev")).read().isEmpty());
    }

    // Each unit's edges, a tie that rounds to even, and a decimal point whatever the locale says.
    void formats()
    {
        const struct {
            quint64 bytes;
            const char *speed, *total;
        } rows[] = {{1023, "0 КБ/с", "0 КБ"},
                    {1024, "1 КБ/с", "1 КБ"},
                    {1536, "2 КБ/с", "2 КБ"},
                    {2560, "2 КБ/с", "2 КБ"},
                    {1048575, "1024 КБ/с", "1024 КБ"},
                    {1048576, "1.0 МБ/с", "1.0 МБ"},
                    {1073741823, "1024.0 МБ/с", "1024.0 МБ"},
                    {1073741824, "1024.0 МБ/с", "1.00 ГБ"},
                    {~0ull, "17592186044416.0 МБ/с", "17179869184.00 ГБ"}};
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        for (const char *locale : {"C", "ru_RU.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
            if (!std::setlocale(LC_ALL, locale))
                continue;
            for (const auto &row : rows) {
                const QString speed = TrafficMonitor::formatSpeed(row.bytes), total = TrafficMonitor::formatBytes(row.bytes);
                QVERIFY2(speed == QString::fromUtf8(row.speed) && total == QString::fromUtf8(row.total),
                         qPrintable(QStringLiteral("%1 bytes in %2: %3, %4").arg(row.bytes).arg(locale, speed, total)));
            }
        }
        std::setlocale(LC_ALL, "C");
        QLocale::setDefault(QLocale::c());
    }
};

QTEST_GUILESS_MAIN(TestTrafficMonitor)
#include "test_traffic_monitor.moc"
