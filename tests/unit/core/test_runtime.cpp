#include "manual_clock.h"
#include "runtime/qt_clock.h"
#include "runtime/task_handle.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using namespace qor;

namespace {

// An owner in the style of the services: a task handle field and a coroutine that
// holds the owner weakly and tests its token after each suspension.
class Owner : public QObject {
public:
    Owner(Clock &clock, QStringList &log)
        : m_clock(clock), m_log(log) {}

    void startLoop(const QString &name, std::chrono::milliseconds period)
    {
        loop(m_handle.start(), name, period);
    }
    void cancel() { m_handle.cancel(); }
    TaskHandle &handle() { return m_handle; }
    int touches = 0;

private:
    QCoro::Task<> loop(CancelToken token, QString name, std::chrono::milliseconds period)
    {
        QPointer<Owner> self(this);
        QStringList &log = m_log; // lives outside the owner
        Clock &clock = m_clock;
        for (;;) {
            const bool completed = co_await clock.sleep(period, token);
            if (!self) {
                log.append(name + QStringLiteral(":owner-gone"));
                co_return;
            }
            if (!completed || token.isCancelled()) {
                log.append(name + QStringLiteral(":cancelled@") + QString::number(clock.now().toSecsSinceEpoch() % 1000));
                self->m_handle.clearIfCurrent(token);
                co_return;
            }
            ++self->touches;
            log.append(name + QStringLiteral("@") + QString::number(clock.now().toSecsSinceEpoch() % 1000));
        }
    }

    Clock &m_clock;
    QStringList &m_log;
    TaskHandle m_handle;
};

QCoro::Task<> sleepInto(Clock &clock, std::chrono::milliseconds d, CancelToken token, std::optional<bool> &out)
{
    out = co_await clock.sleep(d, token);
}

} // namespace

class TestRuntime : public QObject {
    Q_OBJECT
    // Outlives every test: coroutines of destroyed owners still write their last line here.
    QStringList log;

private Q_SLOTS:
    void init() { log.clear(); }
    void cleanup() { ManualClock::drainEvents(); }

    void virtualTimeWakesInDeadlineOrder()
    {
        // Epoch chosen so that seconds % 1000 read as 0 at the start.
        ManualClock clock(QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC));
        Owner a(clock, log), b(clock, log);
        a.startLoop(QStringLiteral("a"), 3s);
        b.startLoop(QStringLiteral("b"), 2s);
        clock.advance(7s);
        // b@2, a@3, b@4, b@6 and a@6 in the order their sleeps began (a's 6 s sleep began at 3, b's at 4).
        QCOMPARE(log, (QStringList{"b@2", "a@3", "b@4", "a@6", "b@6"}));
        QCOMPARE(clock.now().toSecsSinceEpoch() % 1000, 7);
    }

    void cancellationWakesSleepAtOnce()
    {
        ManualClock clock;
        auto token = CancelToken::create();
        std::optional<bool> result;
        sleepInto(clock, 900s, token, result);
        clock.advance(10s);
        QVERIFY(!result.has_value());
        token.cancel();
        ManualClock::drainEvents();
        QCOMPARE(result, std::optional<bool>(false));
        // No virtual time was needed: the sleep ended without its deadline.
        QCOMPARE(clock.pendingSleeps(), 0);
    }

    void sleepOnCancelledTokenReturnsImmediately()
    {
        ManualClock clock;
        auto token = CancelToken::create();
        token.cancel();
        std::optional<bool> result;
        sleepInto(clock, 5s, token, result);
        QCOMPARE(result, std::optional<bool>(false));
    }

    void restartCancelsPreviousRunAndClearsOnlyItsOwn()
    {
        ManualClock clock(QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC));
        Owner owner(clock, log);
        owner.startLoop(QStringLiteral("first"), 10s);
        clock.advance(1s);
        owner.startLoop(QStringLiteral("second"), 10s);
        clock.advance(1s);
        // The first run ended on its token; it must not clear the handle of the second.
        QCOMPARE(log, QStringList{QStringLiteral("first:cancelled@1")});
        QVERIFY(owner.handle().isPresent());
        clock.advance(10s);
        QCOMPARE(log.last(), QStringLiteral("second@11"));
        owner.cancel();
        ManualClock::drainEvents();
        QCOMPARE(log.last(), QStringLiteral("second:cancelled@12"));
        QVERIFY(!owner.handle().isPresent());
    }

    void destroyedOwnerIsNeverTouched()
    {
        ManualClock clock;
        auto *owner = new Owner(clock, log);
        owner->startLoop(QStringLiteral("x"), 5s);
        clock.advance(5s);
        QCOMPARE(owner->touches, 1);
        delete owner; // cancels through the handle's destructor
        clock.advance(30s);
        QCOMPARE(log.last(), QStringLiteral("x:owner-gone"));
        QCOMPARE(clock.pendingSleeps(), 0);
    }

    void wallClockJumpWakesNothing()
    {
        ManualClock clock;
        std::optional<bool> result;
        sleepInto(clock, 60s, {}, result);
        clock.setNow(clock.now().addDays(2));
        clock.advance(59s);
        QVERIFY(!result.has_value());
        clock.advance(1s);
        QCOMPARE(result, std::optional<bool>(true));
    }

    void qtClockSleepsAndCancels()
    {
        // The production clock: a short real sleep completes, a long one ends on cancel.
        QtClock clock;
        std::optional<bool> shortResult, longResult;
        auto token = CancelToken::create();
        sleepInto(clock, 1ms, {}, shortResult);
        sleepInto(clock, 3600s, token, longResult);
        QTRY_VERIFY(shortResult.has_value());
        QCOMPARE(*shortResult, true);
        token.cancel();
        QTRY_VERIFY(longResult.has_value());
        QCOMPARE(*longResult, false);
    }
};

QTEST_GUILESS_MAIN(TestRuntime)
#include "test_runtime.moc"
