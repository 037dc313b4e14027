#include "app_fixture.h"

#include <QTest>

#include <ctime>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {
const QString ask = u"Обратитесь к администратору вашей компании"_s;

CorporateAccess record(const std::optional<QDateTime> &until, const QString &reason = u"window"_s)
{
    QJsonObject qor{{u"company"_s, u"Acme"_s}, {u"warn_minutes"_s, 10}};
    if (until)
        qor.insert(u"session"_s, QJsonObject{{u"until"_s, until->toUTC().toString(Qt::ISODate)}, {u"reason"_s, reason}});
    return *CorporateAccess::parse(QJsonObject{{u"qor"_s, qor}});
}

QString warning(int minutes, const QString &reason = u"заканчивается рабочее окно"_s)
{
    return u"Соединение будет разорвано через %1 мин — "_s.arg(minutes) + reason;
}
} // namespace

// Clock at 2026-01-31 12:00 UTC, 15:00 in Moscow (UTC+3, no daylight saving); countdown and summary under clock jumps: test_clock_jumps.
class TestCorporateSchedule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void countdownWarnsThenEnds()
    {
        AppFixture f;
        AppState &app = f.start();
        app.setCorporate(record(f.clock.now().addSecs(10 * 60 + 30)));
        ManualClock::drainEvents();
        QVERIFY(!app.sessionWarning()); // the first pass is at once: 10:30 left, outside the ten minutes
        f.clock.advance(30s);
        QCOMPARE(app.sessionWarning(), warning(10));
        f.clock.advance(30s);
        QCOMPARE(app.sessionWarning(), warning(9)); // 9:30: whole minutes
        app.handleTunnelStatus(3, TunnelSource::Main);
        f.clock.advance(10min); // the end stops the connection
        const QString ended = u"Доступ на сегодня закончен — заканчивается рабочее окно"_s;
        QVERIFY(app.sessionWarning() == ended && app.connectionState() == ConnectionState::Disconnected);
        app.handleTunnelStatus(3, TunnelSource::Main); // one that comes up after the end is stopped at the next pass
        f.clock.advance(30s);
        QVERIFY(app.sessionWarning() == ended && app.connectionState() == ConnectionState::Disconnected);
        app.setConnectionState(ConnectionState::Disconnecting); // left alone
        f.clock.advance(30s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnecting);
        // A new record restarts the countdown.
        app.setCorporate(record(f.clock.now().addSecs(120), u"hours"_s));
        ManualClock::drainEvents();
        QCOMPARE(app.sessionWarning(), warning(2, u"исчерпан дневной лимит часов"_s));
        app.setCorporate(record(f.clock.now().addSecs(120), u"Hours"_s)); // the reason is an exact match
        ManualClock::drainEvents();
        QCOMPARE(app.sessionWarning(), warning(2));
        app.setCorporate(record(std::nullopt)); // a record without a session ends the countdown
        f.clock.advance(2h);
        QVERIFY(!app.sessionWarning() && !app.corporateWindowClosed());
    }

    void closedMessagesAndSummary()
    {
        AppFixture f;
        AppState &app = f.start();
        const QString bySchedule = u"Доступ закрыт расписанием компании. "_s + ask;
        QCOMPARE(app.corporateClosedMessage(), bySchedule);
        QCOMPARE(app.corporateSessionSummary(), u"без ограничений"_s);
        app.setCorporate(record(std::nullopt));
        QVERIFY(!app.corporateWindowClosed());
        QCOMPARE(app.corporateClosedMessage(), bySchedule);
        app.setCorporate(record(f.clock.now().addSecs(10 * 60 + 59)));
        QCOMPARE(app.corporateSessionSummary(), u"до 15:10 · осталось 10 мин"_s);
        // 22:30 UTC on the 31st is 01:30 on 1 February in Moscow: another day by the local calendar.
        f.clock.setNow(QDateTime(QDate(2026, 1, 31), QTime(22, 30), Qt::UTC));
        QCOMPARE(app.corporateSessionSummary(), u"до 15:10 · закончилось"_s);
        app.setCorporate(record(QDateTime(QDate(2026, 1, 31), QTime(20, 0), Qt::UTC)));
        QVERIFY(app.corporateWindowClosed());
        QCOMPARE(app.corporateClosedMessage(), u"Рабочее окно компании закрылось 31 января, 23:00. "_s + ask);
        app.setCorporate(record(QDateTime(QDate(2026, 1, 31), QTime(21, 30), Qt::UTC), u"hours"_s));
        QCOMPARE(app.corporateClosedMessage(), u"Исчерпан дневной лимит часов (окно закрылось в 00:30). "_s + ask);
        app.setCorporate(record(QDateTime(QDate(2026, 1, 31), QTime(21, 30), Qt::UTC)));
        QCOMPARE(app.corporateClosedMessage(), u"Рабочее окно компании закрылось сегодня в 00:30. "_s + ask);
    }

    void staleNoticeAndExpiry()
    {
        AppFixture f;
        f.storeSession(u"tok"_s, {}, u"{\"qor\":{\"company\":\"Acme\"}}"_s); // saved at 12:00 UTC
        AppState &app = f.start();
        f.clock.setNow(f.clock.now().addSecs(23 * 3600));
        QCOMPARE(app.corporateStaleNotice(), u"Правила компании от сегодня — связаться с сервером не удалось"_s);
        f.clock.setNow(f.clock.now().addSecs(2 * 3600));
        QCOMPARE(app.corporateStaleNotice(), u"Правила компании от 31 января, 15:00 — связаться с сервером не удалось"_s);
        f.clock.setNow(QDateTime(QDate(2026, 2, 6), QTime(12, 0), Qt::UTC)); // 6 days
        QVERIFY(!app.storedPolicyExpired());
        f.clock.setNow(QDateTime(QDate(2026, 2, 8), QTime(12, 0), Qt::UTC)); // 8 days
        QVERIFY(app.storedPolicyExpired());
        app.setCorporateFromStorage(false); // a record received in this run is never stale
        QVERIFY(!app.corporateStaleNotice() && !app.storedPolicyExpired());
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
