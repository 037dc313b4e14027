// Clock jumps: times of day follow the wall clock; waits (poll, start, refresh) neither shrink nor stretch.

#include "app_fixture.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {

// Rows of one "jump" column, in seconds.
void jumpRows(std::initializer_list<qint64> jumps)
{
    QTest::addColumn<qint64>("jump");
    for (const qint64 jump : jumps)
        QTest::addRow("%s by %lld s", jump < 0 ? "back" : "forward", qAbs(jump)) << jump;
}

} // namespace

class TestClockJumps : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void corporateCountdownFollowsTheWallClock_data()
    {
        QTest::addColumn<qint64>("jump"); // seconds, applied 30 s after the record arrived
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("summaryTail");
        QTest::addColumn<bool>("stillConnected");
        const QString reason = "заканчивается рабочее окно";
        QTest::newRow("forward into the warning") << qint64(15 * 60) << "Соединение будет разорвано через 4 мин — " + reason << "осталось 4 мин" << true;
        QTest::newRow("forward past the end by a day") << qint64(86400) << "Доступ на сегодня закончен — " + reason << "закончилось" << false;
        QTest::newRow("back by two hours") << qint64(-2 * 3600) << QString() << "осталось 139 мин" << true;
        QTest::newRow("back by three days") << qint64(-3 * 86400) << QString() << "осталось 4339 мин" << true;
    }
    void corporateCountdownFollowsTheWallClock()
    {
        QFETCH(qint64, jump);
        QFETCH(QString, summaryTail);
        QFETCH(bool, stillConnected);
        AppFixture f;
        const QJsonObject session{{"until", f.clock.now().addSecs(20 * 60 + 30).toString(Qt::ISODate)}, {"reason", "window"}};
        AppState &app = f.startSignedIn({{"qor", QJsonObject{{"company", "Acme"}, {"warn_minutes", 10}, {"session", session}}}});
        QVERIFY(app.isCorporate());
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(30s); // 20 minutes left: no warning yet
        QVERIFY(!app.sessionWarning());
        f.clock.setNow(f.clock.now().addSecs(jump));
        ManualClock::drainEvents();
        QVERIFY(!app.sessionWarning()); // a jump wakes nothing by itself
        f.clock.advance(30s);           // the next pass judges by the new wall time
        QTEST(app.sessionWarning().value_or(QString()), "warning");
        QCOMPARE(app.connectionState() == ConnectionState::Connected, stillConnected);
        QVERIFY2(QRegularExpression("^до \\d\\d:\\d\\d · " + summaryTail + "$").match(app.corporateSessionSummary()).hasMatch(),
                 qPrintable(app.corporateSessionSummary()));
        QCOMPARE(app.corporateWindowClosed(), !stillConnected);
        QVERIFY(!app.sessionWarning().value_or(QString()).contains(u'-'));
    }

    void connectedTimeNeverGoesNegative_data()
    {
        jumpRows({-3600, -365 * 86400, 86400 + 2 * 3600 + 3 * 60 + 4 - 10}); // the last: a day and a bit
    }
    void connectedTimeNeverGoesNegative()
    {
        QFETCH(qint64, jump);
        AppFixture f;
        AppState &app = f.startSignedIn();
        app.handleTunnelStatus(3, TunnelSource::Main);
        const QDateTime since = app.connectedSince();
        f.clock.advance(10s);
        QCOMPARE(app.connectionDuration(f.clock.now()), "00:00:10");
        f.clock.setNow(f.clock.now().addSecs(jump));
        QCOMPARE(app.connectionDuration(f.clock.now()), jump < 0 ? "00:00:00" : "1д 02:03:04");
        QCOMPARE(app.connectedSince(), since); // the connected date is not rewritten
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
    }

    // The poll's 180 s are elapsed time: a jump neither keeps it polling for a day nor ends it at once.
    void loginPollDeadlineIgnoresJumps_data() { jumpRows({0, -86400, 2 * 86400}); }
    void loginPollDeadlineIgnoresJumps()
    {
        QFETCH(qint64, jump);
        AppFixture f;
        f.server.setDefault("poll/", ScriptedAnswer::json({{"status", "pending"}}));
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        std::optional<std::chrono::milliseconds> endedAt;
        QObject::connect(&app, &AppState::authStageChanged, &app, [&] {
            if (app.authStage() == AuthStage::Idle)
                endedAt = f.clock.elapsed();
        });
        const auto began = f.clock.elapsed();
        app.startTelegramLogin();
        QVERIFY(f.settle([&] { return f.server.requestCount("poll/") >= 5; }, 20s));
        f.clock.setNow(f.clock.now().addSecs(jump));
        QVERIFY(f.settle([&] { return endedAt.has_value(); }, 400s));
        QVERIFY2(*endedAt - began >= 180s && *endedAt - began <= 183s, qPrintable(QString::number((*endedAt - began).count())));
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QVERIFY(!f.login->isPolling());
    }

    // The start of a tunnel gets its six seconds of elapsed time whatever the clock does.
    void tunnelStartDeadlineIgnoresJumps_data() { jumpRows({-86400, 86400}); }
    void tunnelStartDeadlineIgnoresJumps()
    {
        QFETCH(qint64, jump);
        AppFixture f;
        AppState &app = f.startSignedIn();
        app.selectMode(ConnectMode::Main); // no fallback to a second variant
        app.connect();
        QVERIFY(f.settle([&] { return f.profiles.calls().filter(QRegularExpression("^start ")).size() == 1; }, 20s, 50ms));
        const auto started = f.clock.elapsed();
        f.clock.setNow(f.clock.now().addSecs(jump));
        f.clock.advance(1s);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QVERIFY(f.clock.advanceUntil([&] { return app.connectionState() == ConnectionState::Disconnected; }, 30s, 200ms));
        const qint64 waited = (f.clock.elapsed() - started).count();
        QVERIFY2(waited >= 5800 && waited <= 6400, qPrintable(QString::number(waited)));
        QCOMPARE(app.connectionError(), "Не удалось начать подключение. Возможно, активно защищённое подключение другого приложения — "
                                        "отключите его и попробуйте снова.");
    }

    void subscriptionWatchCountsElapsedTime_data() { jumpRows({2 * 86400, -86400}); }
    void subscriptionWatchCountsElapsedTime()
    {
        QFETCH(qint64, jump);
        AppFixture f;
        AppState &app = f.startSignedIn();
        QCOMPARE(f.server.requestCount("refresh/"), 1);
        f.clock.advance(100s);
        f.clock.setNow(f.clock.now().addSecs(jump));
        f.clock.advance(799s);
        QTest::qWait(20);
        QCOMPARE(f.server.requestCount("refresh/"), 1);
        QSignalSpy applied(&app, &AppState::telegramUsernameChanged);
        f.clock.advance(1s);
        QVERIFY(f.waitFor([&] { return f.server.requestCount("refresh/") == 2; }));
        QVERIFY(f.waitFor([&] { return applied.count() > 0; })); // the next period starts after the answer
        f.clock.advance(900s);
        QVERIFY(f.waitFor([&] { return f.server.requestCount("refresh/") == 3; }));
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
    }

    // Each line carries the wall time it was written at, even going back, in write order.
    void traceStampsFollowTheWallClockInWriteOrder()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        f.clearTrace();
        QStringList expected;
        for (const qint64 jump : {0, -86400, 3 * 86400 + 7, -3600}) {
            f.clock.setNow(f.clock.now().addSecs(jump));
            app.trace(QStringLiteral("line %1").arg(expected.size()));
            expected << f.clock.now().toUTC().toString(Qt::ISODate) + QStringLiteral(" line %1").arg(expected.size());
        }
        f.trace->waitForWrites();
        QFile file(f.trace->directory() + "/state-trace.txt");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts), expected);
    }
};

QTEST_GUILESS_MAIN(TestClockJumps)
#include "test_clock_jumps.moc"
