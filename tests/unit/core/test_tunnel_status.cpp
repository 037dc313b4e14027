#include "app_fixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {
constexpr int invalid = 0, disconnected = 1, connecting = 2, connected = 3, reasserting = 4, disconnecting = 5;
}

class TestTunnelStatus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusTable_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<ConnectionState>("from");
        QTest::addColumn<ConnectionState>("expected");
        QTest::newRow("disconnecting changes nothing") << disconnecting << ConnectionState::Connecting << ConnectionState::Connecting;
        QTest::newRow("connecting") << connecting << ConnectionState::Disconnected << ConnectionState::Connecting;
        QTest::newRow("reasserting") << reasserting << ConnectionState::Connected << ConnectionState::Connecting;
        QTest::newRow("connected") << connected << ConnectionState::Connecting << ConnectionState::Connected;
        QTest::newRow("disconnected") << disconnected << ConnectionState::Connecting << ConnectionState::Disconnected;
        QTest::newRow("invalid") << invalid << ConnectionState::Connecting << ConnectionState::Disconnected;
        QTest::newRow("unknown value") << 9 << ConnectionState::Connecting << ConnectionState::Disconnected;
    }

    void statusTable()
    {
        QFETCH(int, status);
        QFETCH(ConnectionState, from);
        QFETCH(ConnectionState, expected);
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setConnectionState(from, f.clock.now());
        app.handleTunnelStatus(status, TunnelSource::Main);
        QCOMPARE(app.connectionState(), expected);
    }

    void connectedStartsSessionOnceAndKeepsDate()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.reconnectAttempt = 4;
        app.setConnectionProgress(QStringLiteral("x"));
        app.expectedDisconnect = true;
        app.handleTunnelStatus(connected, TunnelSource::Main);
        const QDateTime since = app.connectedSince();
        QCOMPARE(since, f.clock.now());
        QVERIFY(f.traffic->isSessionActive());
        QCOMPARE(app.reconnectAttempt, 0);
        QVERIFY(!app.connectionProgress());
        QVERIFY(!app.expectedDisconnect);

        f.clock.advance(2s);
        app.reconnectAttempt = 2;
        app.setConnectionProgress(QStringLiteral("y"));
        app.handleTunnelStatus(connected, TunnelSource::Main);
        QCOMPARE(app.connectedSince(), since);
        QCOMPARE(app.reconnectAttempt, 0);
        QVERIFY(!app.connectionProgress());
    }

    void otherChannelIsTracedAndIgnored()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setTarget(ConnectionTarget::reserve());
        app.setConnectionState(ConnectionState::Connected, f.clock.now());
        f.clearTrace();
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        QCOMPARE(f.traceLines(), QStringList{"status 1 from main IGNORED (active=reserve, target=Резерв)"});

        app.setTarget(ConnectionTarget::balancer());
        f.clearTrace();
        app.handleTunnelStatus(connecting, TunnelSource::Reserve);
        QCOMPARE(f.traceLines(), QStringList{"status 2 from reserve IGNORED (active=main, target=Qor AI Network)"});
    }

    void reportLineCarriesStateAndFlags()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setConnectionState(ConnectionState::Connected, QDateTime(QDate(2026, 1, 31), QTime(14, 5, 9), Qt::UTC));
        app.switchingChannels = true;
        f.clearTrace();
        app.handleTunnelStatus(disconnecting, TunnelSource::Main);
        QCOMPARE(f.traceLines(),
                 QStringList{"status 5 from main (state=connected(2026-01-31 14:05:09 +0000), switching=true, expected=false, userStop=false)"});
    }

    void lossArmsReconnectOnlyWhenUnexpected()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(connected, TunnelSource::Main);
        f.clearTrace();
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(!f.traffic->isSessionActive());
        QVERIFY(f.traceLines().contains(QStringLiteral("auto-reconnect armed")));
        QVERIFY(app.reconnectTask.isPresent());

        // A second report while already disconnected arms nothing new.
        app.reconnectTask.cancelAndClear();
        f.clearTrace();
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QVERIFY(!f.traceLines().contains(QStringLiteral("auto-reconnect armed")));
        QVERIFY(!app.reconnectTask.isPresent());
    }

    void noReconnectWhenSwitchedOffOrUserStopped()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setAutoReconnectEnabled(false);
        app.handleTunnelStatus(connected, TunnelSource::Main);
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QVERIFY(!app.reconnectTask.isPresent());

        app.setAutoReconnectEnabled(true);
        app.handleTunnelStatus(connected, TunnelSource::Main);
        app.stopEverything(); // the user's stop: the next drop is expected
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QVERIFY(!app.reconnectTask.isPresent());

        // stopForQuit leaves the state to the reports; the drop it causes is expected.
        app.handleTunnelStatus(connected, TunnelSource::Main);
        app.stopForQuit();
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(!app.reconnectTask.isPresent());
    }

    void expectedDropAbsorbsExactlyOneReport()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(connected, TunnelSource::Main);
        app.expectedDisconnect = true;
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QVERIFY(!app.expectedDisconnect);
        QVERIFY(!app.reconnectTask.isPresent());
        app.handleTunnelStatus(connected, TunnelSource::Main);
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QVERIFY(app.reconnectTask.isPresent());
    }

    void channelSwitchAbsorbsEveryDisconnect()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(connected, TunnelSource::Main);
        app.switchingChannels = true;
        app.expectedDisconnect = true;
        for (int i = 0; i < 3; ++i) {
            app.handleTunnelStatus(i % 2 ? invalid : disconnected, TunnelSource::Main);
            QCOMPARE(app.connectionState(), ConnectionState::Connecting);
            QVERIFY(!app.expectedDisconnect);
        }
        QVERIFY(!app.reconnectTask.isPresent());
        QVERIFY(f.traffic->isSessionActive()); // the session was not ended by a switch
    }

    void extensionErrorShownOnceAndConsumed()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        f.writeSignalFile(QStringLiteral("tunnel-checkpoint.txt"), QStringLiteral("step 4"));
        f.writeSignalFile(QStringLiteral("tunnel-last-error.txt"), QStringLiteral("Сервер отклонил ключ"));
        app.handleTunnelStatus(connected, TunnelSource::Main);
        f.clearTrace();
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QCOMPARE(app.connectionError(), QStringLiteral("Сервер отклонил ключ"));
        QVERIFY(f.traceLines().contains(QStringLiteral("extension error: Сервер отклонил ключ")));
        QVERIFY(!QFile::exists(f.trace->directory() + QStringLiteral("/tunnel-last-error.txt")));
        QVERIFY(!QFile::exists(f.trace->directory() + QStringLiteral("/tunnel-checkpoint.txt")));

        app.setConnectionError(std::nullopt);
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QVERIFY(!app.connectionError());
    }

    void disconnectEndsCheckAndProgress()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.handleTunnelStatus(connected, TunnelSource::Main);
        QVERIFY(app.mainChannelCheck.isPresent());
        app.setConnectionProgress(QStringLiteral("…"));
        app.handleTunnelStatus(disconnected, TunnelSource::Main);
        QVERIFY(!app.connectionProgress());
        // The cancelled check never probes.
        f.clock.advance(60s);
        QCOMPARE(f.probeCalls, 0);
    }

    void reserveConnectionGetsNoChannelCheck()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setTarget(ConnectionTarget::reserve());
        app.handleTunnelStatus(connected, TunnelSource::Reserve);
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        f.clock.advance(120s);
        QCOMPARE(f.probeCalls, 0);
    }

    void startupAdoptsRunningReserveTunnel()
    {
        AppFixture f;
        f.addRunningProfile(TunnelSource::Reserve);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QCOMPARE(app.target(), ConnectionTarget::reserve());
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        QVERIFY(f.traceLines().contains(QStringLiteral(
            "status 3 from reserve (state=disconnected, switching=false, expected=false, userStop=false)")));
    }

    void startupAdoptsRunningMainTunnel()
    {
        AppFixture f;
        f.addRunningProfile(TunnelSource::Main);
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        QCOMPARE(app.target(), ConnectionTarget::balancer());
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
    }
};

QTEST_GUILESS_MAIN(TestTunnelStatus)
#include "test_tunnel_status.moc"
