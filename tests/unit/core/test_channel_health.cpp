#include "app_fixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {
const QString warning = QStringLiteral("Сеть Qor ИИ недоступна — воспользуйтесь резервным подключением");
}

class TestChannelHealth : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstAnswerEndsTheCheck()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        f.probeAnswers = {false, false, true};
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(2900ms);
        QCOMPARE(f.probeCalls, 0); // nothing before 3 s
        f.clock.advance(100ms);
        QCOMPARE(f.probeCalls, 1);
        f.clock.advance(10s);
        QCOMPARE(f.probeCalls, 3); // probes 5 s apart; the third answered
        f.clock.advance(120s);
        QCOMPARE(f.probeCalls, 3);
        QVERIFY(!app.connectionError());
    }

    void deadChannelWarnsAfterNineProbesAndClearsOnRecovery()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        f.clearTrace();
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(42900ms);
        QCOMPARE(f.probeCalls, 8);
        QVERIFY(!app.connectionError());
        f.clock.advance(100ms); // the ninth probe at 3 + 8 × 5 s fails: the patient window has passed
        QCOMPARE(f.probeCalls, 9);
        QCOMPARE(app.connectionError(), warning);
        QVERIFY(f.traceLines().contains(QStringLiteral("main channel connected but carries no traffic (patient window elapsed)")));
        f.probeAnswers = {false, false, true};
        f.clock.advance(30s);
        QCOMPARE(f.probeCalls, 12);
        QVERIFY(!app.connectionError());
    }

    void warningStaysAfterTwelveFailedRechecks()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(43s + 120s);
        QCOMPARE(f.probeCalls, 9 + 12);
        f.clock.advance(600s);
        QCOMPARE(f.probeCalls, 21);
        QCOMPARE(app.connectionError(), warning);
    }

    void trafficCountsAsWorkingOnlyAboveTheThreshold_data()
    {
        QTest::addColumn<quint64>("received");
        QTest::addColumn<bool>("warned");
        QTest::newRow("exactly 100 000 bytes") << quint64(100000) << true;
        QTest::newRow("100 001 bytes") << quint64(100001) << false;
    }

    void trafficCountsAsWorkingOnlyAboveTheThreshold()
    {
        QFETCH(quint64, received);
        QFETCH(bool, warned);
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(3500ms); // the baseline is taken at 3 s
        f.counters.add(QStringLiteral("utun7"), received, 0);
        f.clock.advance(40s);
        QCOMPARE(app.connectionError() == warning, warned);
    }

    void otherErrorTextIsNeverCleared()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.setConnectionError(QStringLiteral("Другая ошибка"));
        f.probeAnswers = {true};
        f.clock.advance(4s);
        QCOMPARE(app.connectionError(), QStringLiteral("Другая ошибка"));
    }

    void disconnectDuringThePatientWindowEndsWithoutWarning()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setAutoReconnectEnabled(false);
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(20s);
        const int probes = f.probeCalls;
        app.handleTunnelStatus(1, TunnelSource::Main);
        f.clock.advance(120s);
        QCOMPARE(f.probeCalls, probes);
        QVERIFY(!app.connectionError());
    }

    void reconnectSchedule()
    {
        // Signed out, each reconnect ends at once without connecting: the schedule runs to its end.
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QList<qint64> connectTimes;
        const QDateTime lost = f.clock.now();
        QObject::connect(&app, &AppState::connectionStateChanged, &app, [&] {
            if (app.connectionState() == ConnectionState::Connecting)
                connectTimes.append(lost.msecsTo(f.clock.now()) / 1000);
        });
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.handleTunnelStatus(1, TunnelSource::Main);
        QVERIFY(app.reconnectTask.isPresent());
        f.clock.advance(600s);
        QCOMPARE(connectTimes, (QList<qint64>{1, 12, 25, 43, 71, 109}));
        QVERIFY(!app.reconnectTask.isPresent());
        QCOMPARE(app.reconnectAttempt, 6);

        // Until a connection succeeds, a new loss gives up at once.
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.reconnectAttempt = 6;
        app.expectedDisconnect = false;
        app.setConnectionState(ConnectionState::Connecting);
        app.handleTunnelStatus(1, TunnelSource::Main);
        f.clock.advance(600s);
        QCOMPARE(connectTimes.size(), 7); // only the state change above, no new connect
    }

    void reconnectEndsWhenSwitchedOffOrAlreadyBack()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.handleTunnelStatus(1, TunnelSource::Main);
        f.clearTrace();
        app.setAutoReconnectEnabled(false);
        f.clock.advance(2s);
        QVERIFY(!app.reconnectTask.isPresent());
        QVERIFY(f.traceLines().filter(QStringLiteral("connect -> ")).isEmpty());

        app.setAutoReconnectEnabled(true);
        app.reconnectAttempt = 0;
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.handleTunnelStatus(1, TunnelSource::Main);
        app.setConnectionState(ConnectionState::Connecting); // the user brought it back meanwhile
        f.clock.advance(2s);
        QVERIFY(!app.reconnectTask.isPresent());
        QVERIFY(f.traceLines().filter(QStringLiteral("connect -> ")).isEmpty());
    }

    void stopCancelsThePendingReconnect()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(3, TunnelSource::Main);
        app.handleTunnelStatus(1, TunnelSource::Main);
        app.stopEverything();
        QVERIFY(!app.reconnectTask.isPresent());
        f.clearTrace();
        f.clock.advance(60s);
        QVERIFY(f.traceLines().filter(QStringLiteral("connect -> ")).isEmpty());
        QCOMPARE(app.reconnectAttempt, 0);
    }
};

QTEST_GUILESS_MAIN(TestChannelHealth)
#include "test_channel_health.moc"
