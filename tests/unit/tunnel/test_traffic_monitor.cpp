#include "scripted_counters.h"
#include "manual_clock.h"
#include "tunnel/traffic_monitor.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <clocale>

using namespace qor;
using namespace std::chrono_literals;

class TestTrafficMonitor : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void samplesOnceASecondFromStart()
    {
        ManualClock clock;
        ScriptedCounters counters;
        counters.set("utun3", 1000, 500);
        TrafficMonitor monitor(clock, counters);
        monitor.beginSession();
        monitor.start();
        monitor.start(); // a second start changes nothing
        QSignalSpy download(&monitor, &TrafficMonitor::downloadBytesPerSecondChanged);

        counters.add("utun3", 4096, 1024);
        clock.advance(999ms);
        QCOMPARE(download.count(), 0);
        clock.advance(1ms);
        QCOMPARE(download.count(), 1);
        QCOMPARE(monitor.downloadBytesPerSecond(), 4096u);
        QCOMPARE(monitor.uploadBytesPerSecond(), 1024u);

        counters.add("utun3", 10, 20);
        clock.advance(2s);
        QCOMPARE(download.count(), 3);
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u); // nothing moved in the last second
        QCOMPARE(monitor.sessionDownloadBytes(), 4106u);
        QCOMPARE(monitor.sessionUploadBytes(), 1044u);
    }

    void onlyTheBusiestTunnelCounts()
    {
        ManualClock clock;
        ScriptedCounters counters;
        counters.set("utun0", 0, 0);
        counters.set("utun1", 0, 0);
        TrafficMonitor monitor(clock, counters);
        monitor.beginSession();

        counters.add("utun0", 100, 150); // sum 250
        counters.add("utun1", 240, 0);   // sum 240
        monitor.tick();
        QCOMPARE(monitor.downloadBytesPerSecond(), 100u);
        QCOMPARE(monitor.uploadBytesPerSecond(), 150u);

        counters.add("utun0", 1, 0);
        counters.add("utun1", 300, 5);
        monitor.tick();
        QCOMPARE(monitor.downloadBytesPerSecond(), 300u);
        QCOMPARE(monitor.uploadBytesPerSecond(), 5u);
        // The other interface's traffic is never added.
        QCOMPARE(monitor.sessionDownloadBytes(), 400u);
        QCOMPARE(monitor.sessionUploadBytes(), 155u);
    }

    void newAndRecreatedInterfaces()
    {
        ManualClock clock;
        ScriptedCounters counters;
        counters.set("utun0", 5000, 5000);
        TrafficMonitor monitor(clock, counters);
        monitor.beginSession();

        // A new interface contributes nothing in its first sample.
        counters.set("utun9", 70000, 70000);
        monitor.tick();
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u);
        counters.add("utun9", 10, 0);
        monitor.tick();
        QCOMPARE(monitor.downloadBytesPerSecond(), 10u);

        // Counters that went backwards (the interface was recreated) give 0.
        counters.set("utun9", 3, 0);
        counters.add("utun0", 0, 7);
        monitor.tick();
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u);
        QCOMPARE(monitor.uploadBytesPerSecond(), 7u);
        counters.clear();
        monitor.tick();
        QCOMPARE(monitor.uploadBytesPerSecond(), 0u);
    }

    void countersBeyondFourGibibytes()
    {
        // 64-bit counters: crossing 2^32 loses nothing, and more than 4 GiB in one
        // second counts in full.
        ManualClock clock;
        ScriptedCounters counters;
        counters.set("utun0", 4294967000ull, 10);
        TrafficMonitor monitor(clock, counters);
        monitor.beginSession();
        counters.set("utun0", 4294967000ull + 1000, 10);
        monitor.tick();
        QCOMPARE(monitor.downloadBytesPerSecond(), 1000u);
        counters.add("utun0", 5ull << 30, 0);
        monitor.tick();
        QCOMPARE(monitor.downloadBytesPerSecond(), quint64(5ull << 30));
        QCOMPARE(monitor.sessionDownloadBytes(), quint64((5ull << 30) + 1000));
    }

    void sessionsFrameTheTotals()
    {
        ManualClock clock;
        ScriptedCounters counters;
        counters.set("utun0", 0, 0);
        TrafficMonitor monitor(clock, counters);
        monitor.start();

        // No session: speeds stay 0, totals untouched, the counters kept current.
        counters.add("utun0", 9000, 9000);
        clock.advance(1s);
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u);
        QCOMPARE(monitor.sessionDownloadBytes(), 0u);

        // Traffic before the session never counts.
        counters.add("utun0", 7777, 0);
        QSignalSpy active(&monitor, &TrafficMonitor::isSessionActiveChanged);
        monitor.beginSession();
        QCOMPARE(active.count(), 1);
        QVERIFY(monitor.isSessionActive());
        counters.add("utun0", 2048, 1024);
        clock.advance(1s);
        QCOMPARE(monitor.sessionDownloadBytes(), 2048u);

        monitor.endSession();
        QVERIFY(!monitor.isSessionActive());
        QCOMPARE(monitor.downloadBytesPerSecond(), 0u);
        QCOMPARE(monitor.uploadBytesPerSecond(), 0u);
        counters.add("utun0", 5000, 5000);
        clock.advance(1s);
        QCOMPARE(monitor.sessionDownloadBytes(), 2048u);
        QCOMPARE(monitor.sessionUploadBytes(), 1024u);

        // A new session starts from zero.
        monitor.beginSession();
        QCOMPARE(monitor.sessionDownloadBytes(), 0u);
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
        ProcNetDevCounters source(file.fileName());
        const CounterSnapshot all = source.read();
        QCOMPARE(all.size(), 3);
        QCOMPARE(all.value("utun-qor"), (InterfaceCounters{98765432109876ull, 12345678901ull}));
        QCOMPARE(all.value("utun12"), (InterfaceCounters{0, 7}));
        QCOMPARE(all.value("lo"), (InterfaceCounters{1234, 1234}));

        // The demo counts only its simulated "utun" interfaces.
        QCOMPARE(ProcNetDevCounters(file.fileName(), QStringLiteral("utun")).read().keys(), (QStringList{"utun-qor", "utun12"}));
        QVERIFY(ProcNetDevCounters(QStringLiteral("/nonexistent/dev")).read().isEmpty());
    }

    void formats_data()
    {
        QTest::addColumn<quint64>("bytes");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("total");

        QTest::newRow("0") << quint64(0) << "0 КБ/с" << "0 КБ";
        QTest::newRow("1023") << quint64(1023) << "0 КБ/с" << "0 КБ";
        QTest::newRow("1024") << quint64(1024) << "1 КБ/с" << "1 КБ";
        QTest::newRow("1536") << quint64(1536) << "2 КБ/с" << "2 КБ";
        QTest::newRow("2560, a tie rounds to even") << quint64(2560) << "2 КБ/с" << "2 КБ";
        QTest::newRow("2^20 - 1") << quint64(1048575) << "1024 КБ/с" << "1024 КБ";
        QTest::newRow("2^20") << quint64(1048576) << "1.0 МБ/с" << "1.0 МБ";
        QTest::newRow("3 x 2^20") << quint64(3 * 1048576) << "3.0 МБ/с" << "3.0 МБ";
        QTest::newRow("2^30 - 1") << quint64(1073741823) << "1024.0 МБ/с" << "1024.0 МБ";
        QTest::newRow("2^30") << quint64(1073741824) << "1024.0 МБ/с" << "1.00 ГБ";
        QTest::newRow("5 x 2^30") << quint64(5ull << 30) << "5120.0 МБ/с" << "5.00 ГБ";
        QTest::newRow("2^64 - 1") << quint64(~0ull) << "17592186044416.0 МБ/с" << "17179869184.00 ГБ";
    }

    void formats()
    {
        QFETCH(quint64, bytes);
        QFETCH(QString, speed);
        QFETCH(QString, total);
        QCOMPARE(TrafficMonitor::formatSpeed(bytes), speed);
        QCOMPARE(TrafficMonitor::formatBytes(bytes), total);

        // A decimal point whatever the locale says.
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        for (const char *name : {"ru_RU.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
            if (!std::setlocale(LC_ALL, name))
                continue;
            QCOMPARE(TrafficMonitor::formatSpeed(bytes), speed);
            QCOMPARE(TrafficMonitor::formatBytes(bytes), total);
        }
        std::setlocale(LC_ALL, "C");
        QLocale::setDefault(QLocale::c());
    }
};

QTEST_GUILESS_MAIN(TestTrafficMonitor)
#include "test_traffic_monitor.moc"
