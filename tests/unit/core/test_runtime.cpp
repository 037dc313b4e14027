#include "manual_clock.h"
#include "runtime/descriptor_limit.h"
#include "runtime/qt_clock.h"
#include "runtime/task_handle.h"

#include <QPointer>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace qor;

namespace {
struct Owner : QObject {
    TaskHandle handle;
};

// A service-style loop: holds its owner weakly, tests its token after each suspension, logs each wake-up as "name@second".
QCoro::Task<> loop(Owner *owner, Clock &clock, QStringList &log, QString name, std::chrono::milliseconds period)
{
    QPointer<Owner> self(owner);
    const CancelToken token = owner->handle.start();
    for (;;) {
        const bool completed = co_await clock.sleep(period, token);
        if (!self) { // the clock may have gone with the owner
            log.append(name + u":owner-gone"_s);
            co_return;
        }
        const QString at = QString::number(clock.elapsed().count() / 1000);
        if (!completed || token.isCancelled()) {
            log.append(name + u":cancelled@"_s + at);
            self->handle.clearIfCurrent(token);
            co_return;
        }
        log.append(name + u'@' + at);
    }
}

QCoro::Task<> sleepInto(Clock &clock, std::chrono::milliseconds d, CancelToken token, std::optional<bool> &out)
{
    out = co_await clock.sleep(d, token);
}
} // namespace

class TestRuntime : public QObject {
    Q_OBJECT
    QStringList log; // outlives every test: coroutines of destroyed owners still write their last line here

private Q_SLOTS:
    void init() { log.clear(); }
    void cleanup() { ManualClock::drainEvents(); }

    void sleepsOfBothClocksEndOnTheirDeadlineOrTheirToken()
    {
        ManualClock clock;
        auto token = CancelToken::create();
        std::optional<bool> cancelled, jumped, early;
        sleepInto(clock, 900s, token, cancelled);
        sleepInto(clock, 60s, {}, jumped);
        clock.setNow(clock.now().addDays(2)); // a wall-clock jump wakes nothing
        clock.advance(59s);
        QVERIFY(!cancelled && !jumped);
        clock.advance(1s);
        QCOMPARE(jumped, std::optional<bool>(true));
        token.cancel(); // wakes its sleep at once, without its deadline
        ManualClock::drainEvents();
        QCOMPARE(cancelled, std::optional<bool>(false));
        QCOMPARE(clock.pendingSleeps(), 0);
        sleepInto(clock, 5s, token, early); // a token cancelled before the sleep
        QCOMPARE(early, std::optional<bool>(false));

        // The production clock: a short real sleep completes, a long one ends on cancel or at once on a cancelled token.
        QtClock qtClock;
        std::optional<bool> shortResult, longResult, cancelledFirst;
        auto qtToken = CancelToken::create();
        sleepInto(qtClock, 1ms, {}, shortResult);
        sleepInto(qtClock, 3600s, qtToken, longResult);
        QTRY_COMPARE(shortResult, std::optional<bool>(true));
        qtToken.cancel();
        QTRY_COMPARE(longResult, std::optional<bool>(false));
        sleepInto(qtClock, 3600s, qtToken, cancelledFirst);
        QCOMPARE(cancelledFirst, std::optional<bool>(false));
    }

    void restartCancelsOnlyThePreviousRunAndNeverTouchesAGoneOwner()
    {
        ManualClock clock;
        Owner owner;
        loop(&owner, clock, log, u"first"_s, 10s);
        clock.advance(1s);
        loop(&owner, clock, log, u"second"_s, 10s);
        clock.advance(1s);
        QCOMPARE(log, QStringList{"first:cancelled@1"}); // ended on its token, it must not clear the handle of the second
        QVERIFY(owner.handle.isPresent());
        clock.advance(10s);
        QCOMPARE(log.last(), u"second@11"_s);
        owner.handle.cancel();
        ManualClock::drainEvents();
        QCOMPARE(log.last(), u"second:cancelled@12"_s);
        QVERIFY(!owner.handle.isPresent());
        // A destroyed owner is never touched.
        auto *gone = new Owner;
        loop(gone, clock, log, u"x"_s, 5s);
        clock.advance(5s);
        delete gone; // cancels through the handle's destructor
        clock.advance(30s);
        QCOMPARE(log.mid(3), (QStringList{"x@17", "x:owner-gone"}));
        QCOMPARE(clock.pendingSleeps(), 0);
    }

    void descriptorLimits()
    {
        rlimit original{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &original), 0);
        const rlimit lowered{std::min<rlim_t>(original.rlim_max, 400), original.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        const int budget = descriptors::availableBudget(100); // under the soft limit, less the open ones and the reserve
        QVERIFY(budget > 0 && budget < 300);
        const int opened = ::dup(0);
        QCOMPARE(descriptors::availableBudget(100), budget - 1);
        ::close(opened);
        QCOMPARE(descriptors::availableBudget(1000), 1); // never below one
        QCOMPARE(descriptors::raiseSoftLimitToHard(), original.rlim_max == RLIM_INFINITY ? -1L : long(original.rlim_max)); // up to the hard one
        rlimit after{};
        QVERIFY(getrlimit(RLIMIT_NOFILE, &after) == 0 && after.rlim_cur == original.rlim_max);
        setrlimit(RLIMIT_NOFILE, &original);
    }
};

QTEST_GUILESS_MAIN(TestRuntime)
#include "test_runtime.moc"
