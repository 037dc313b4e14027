#include "app_fixture.h"

#include <QTest>

#include <ctime>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {
const QString ask = QStringLiteral("Обратитесь к администратору вашей компании");

CorporateAccess record(const std::optional<QDateTime> &until, const QString &reason = QStringLiteral("window"), int warnMinutes = 10,
                       bool reserve = true)
{
    QJsonObject qor{{QStringLiteral("company"), QStringLiteral("Acme")},
                    {QStringLiteral("warn_minutes"), warnMinutes},
                    {QStringLiteral("reserve"), reserve}};
    if (until) {
        qor.insert(QStringLiteral("session"), QJsonObject{{QStringLiteral("until"), until->toUTC().toString(Qt::ISODate)},
                                                          {QStringLiteral("reason"), reason}});
    }
    return *CorporateAccess::parse(QJsonObject{{QStringLiteral("qor"), qor}});
}
} // namespace

// The fixture's clock starts at 2026-01-31 12:00 UTC; the machine's zone is Moscow
// (UTC+3, no daylight saving), so that is 15:00 local time.
class TestCorporateSchedule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void countdownWarnsThenEnds()
    {
        AppFixture f;
        AppState &app = f.start();
        QVERIFY(f.startupDone());
        app.setCorporate(record(f.clock.now().addSecs(11 * 60)));
        ManualClock::drainEvents();
        QVERIFY(!app.sessionWarning()); // first pass is immediate: 11 minutes left, nothing yet
        f.clock.advance(30s);           // 10:30 left
        QVERIFY(!app.sessionWarning());
        f.clock.advance(30s);           // 10:00 left
        QCOMPARE(app.sessionWarning(), QStringLiteral("Соединение будет разорвано через 10 мин — заканчивается рабочее окно"));
        f.clock.advance(30s);           // 9:30 left
        QCOMPARE(app.sessionWarning(), QStringLiteral("Соединение будет разорвано через 9 мин — заканчивается рабочее окно"));
        f.clock.advance(9min);          // 0:30 left
        QCOMPARE(app.sessionWarning(), QStringLiteral("Соединение будет разорвано через 0 мин — заканчивается рабочее окно"));

        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clearTrace();
        f.clock.advance(30s); // the end
        QCOMPARE(app.sessionWarning(), QStringLiteral("Доступ на сегодня закончен — заканчивается рабочее окно"));
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(f.traceLines().contains(QStringLiteral("stopEverything")));

        // A connection that comes up after the end is stopped at the next pass.
        app.handleTunnelStatus(3, TunnelSource::Main);
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        f.clock.advance(30s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(app.sessionWarning(), QStringLiteral("Доступ на сегодня закончен — заканчивается рабочее окно"));

        // A disconnecting state is left alone.
        app.setConnectionState(ConnectionState::Disconnecting);
        f.clearTrace();
        f.clock.advance(30s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnecting);
        QVERIFY(!f.traceLines().contains(QStringLiteral("stopEverything")));
    }

    void reasonTextIsAnExactMatch()
    {
        AppFixture f;
        AppState &app = f.start();
        app.setCorporate(record(f.clock.now().addSecs(120), QStringLiteral("hours")));
        ManualClock::drainEvents();
        QCOMPARE(app.sessionWarning(), QStringLiteral("Соединение будет разорвано через 2 мин — исчерпан дневной лимит часов"));
        app.setCorporate(record(f.clock.now().addSecs(120), QStringLiteral("Hours")));
        ManualClock::drainEvents();
        QCOMPARE(app.sessionWarning(), QStringLiteral("Соединение будет разорвано через 2 мин — заканчивается рабочее окно"));
    }

    void newRecordRestartsTheCountdown()
    {
        AppFixture f;
        AppState &app = f.start();
        app.setCorporate(record(f.clock.now().addSecs(60), QStringLiteral("window"), 5));
        ManualClock::drainEvents();
        QVERIFY(app.sessionWarning());
        app.setCorporate(record(f.clock.now().addSecs(3600)));
        ManualClock::drainEvents();
        QVERIFY(!app.sessionWarning());
        app.setCorporate(std::nullopt);
        ManualClock::drainEvents();
        f.clock.advance(2h);
        QVERIFY(!app.sessionWarning());
        QVERIFY(!app.corporateWindowClosed());
    }

    void closedMessages()
    {
        AppFixture f;
        AppState &app = f.start();
        QCOMPARE(app.corporateClosedMessage(), QStringLiteral("Доступ закрыт расписанием компании. ") + ask);
        app.setCorporate(record(std::nullopt));
        ManualClock::drainEvents();
        QVERIFY(!app.corporateWindowClosed());
        QCOMPARE(app.corporateClosedMessage(), QStringLiteral("Доступ закрыт расписанием компании. ") + ask);

        const QDateTime todayAt14 = QDateTime(QDate(2026, 1, 31), QTime(11, 0), Qt::UTC);
        app.setCorporate(record(todayAt14, QStringLiteral("hours")));
        ManualClock::drainEvents();
        QVERIFY(app.corporateWindowClosed());
        QCOMPARE(app.corporateClosedMessage(), QStringLiteral("Исчерпан дневной лимит часов (окно закрылось в 14:00). ") + ask);
        app.setCorporate(record(todayAt14));
        ManualClock::drainEvents();
        QCOMPARE(app.corporateClosedMessage(), QStringLiteral("Рабочее окно компании закрылось сегодня в 14:00. ") + ask);
        const QDateTime yesterdayAt18 = QDateTime(QDate(2026, 1, 30), QTime(15, 0), Qt::UTC);
        app.setCorporate(record(yesterdayAt18));
        ManualClock::drainEvents();
        QCOMPARE(app.corporateClosedMessage(), QStringLiteral("Рабочее окно компании закрылось 30 января, 18:00. ") + ask);
        // 22:30 UTC on the 31st is 01:30 on 1 February in Moscow: another day by the local calendar.
        f.clock.setNow(QDateTime(QDate(2026, 1, 31), QTime(22, 30), Qt::UTC));
        app.setCorporate(record(QDateTime(QDate(2026, 1, 31), QTime(20, 0), Qt::UTC)));
        ManualClock::drainEvents();
        QCOMPARE(app.corporateClosedMessage(), QStringLiteral("Рабочее окно компании закрылось 31 января, 23:00. ") + ask);
    }

    void sessionSummary()
    {
        AppFixture f;
        AppState &app = f.start();
        QCOMPARE(app.corporateSessionSummary(), QStringLiteral("без ограничений"));
        app.setCorporate(record(f.clock.now().addSecs(10 * 60 + 59)));
        ManualClock::drainEvents();
        QCOMPARE(app.corporateSessionSummary(), QStringLiteral("до 15:10 · осталось 10 мин"));
        app.setCorporate(record(f.clock.now().addSecs(-3600)));
        ManualClock::drainEvents();
        QCOMPARE(app.corporateSessionSummary(), QStringLiteral("до 14:00 · закончилось"));
    }

    void staleNoticeAndExpiry()
    {
        AppFixture f;
        const QString raw = QStringLiteral("{\"qor\":{\"company\":\"Acme\"}}");
        f.storeSession(QStringLiteral("tok"), {}, raw); // saved at 12:00 UTC
        AppState &app = f.start();
        QVERIFY(app.corporateFromStorage());
        f.clock.setNow(f.clock.now().addSecs(23 * 3600));
        QCOMPARE(app.corporateStaleNotice(), QStringLiteral("Правила компании от сегодня — связаться с сервером не удалось"));
        f.clock.setNow(f.clock.now().addSecs(2 * 3600));
        QCOMPARE(app.corporateStaleNotice(), QStringLiteral("Правила компании от 31 января, 15:00 — связаться с сервером не удалось"));
        f.clock.setNow(QDateTime(QDate(2026, 2, 6), QTime(12, 0), Qt::UTC)); // 6 days
        QVERIFY(!app.storedPolicyExpired());
        f.clock.setNow(QDateTime(QDate(2026, 2, 8), QTime(12, 0), Qt::UTC)); // 8 days
        QVERIFY(app.storedPolicyExpired());

        // A record received in this run is never stale.
        app.setCorporateFromStorage(false);
        QVERIFY(!app.corporateStaleNotice());
        QVERIFY(!app.storedPolicyExpired());
    }
};

int main(int argc, char **argv)
{
    qputenv("TZ", "Europe/Moscow");
    tzset();
    QCoreApplication app(argc, argv);
    TestCorporateSchedule test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_corporate_schedule.moc"
