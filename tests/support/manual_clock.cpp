#include "manual_clock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QCoroSignal>
#include <QThread>

#include <algorithm>

namespace qor {

ManualClock::ManualClock(QDateTime start)
    : m_epoch(std::move(start))
{
}

QDateTime ManualClock::now() const
{
    return m_epoch.addMSecs(m_monotonicMs + m_wallShiftMs);
}

QCoro::Task<bool> ManualClock::sleep(std::chrono::milliseconds duration, CancelToken token)
{
    if (token.isCancelled())
        co_return false;
    Waker waker;
    m_pending.push_back({m_monotonicMs + std::max<qint64>(duration.count(), 0), m_nextOrder++, &waker});
    token.addWaker(&waker);
    const auto completed = co_await qCoro(&waker, &Waker::woken);
    token.removeWaker(&waker);
    co_return completed;
}

void ManualClock::drainEvents()
{
    auto *dispatcher = QThread::currentThread()->eventDispatcher();
    for (int round = 0; round < 10000; ++round) {
        QCoreApplication::sendPostedEvents();
        if (!dispatcher || !dispatcher->processEvents(QEventLoop::AllEvents))
            break;
    }
    QCoreApplication::sendPostedEvents();
}

void ManualClock::advance(std::chrono::milliseconds by)
{
    const qint64 target = m_monotonicMs + std::max<qint64>(by.count(), 0);
    drainEvents();
    for (;;) {
        // Cancelled or finished sleeps leave a dead entry behind; drop those first.
        m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                       [](const Pending &p) { return !p.waker || p.waker->fired(); }),
                        m_pending.end());
        auto next = std::min_element(m_pending.begin(), m_pending.end(), [](const Pending &a, const Pending &b) {
            return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
        });
        if (next == m_pending.end() || next->deadline > target)
            break;
        const Pending due = *next;
        m_pending.erase(next);
        m_monotonicMs = std::max(m_monotonicMs, due.deadline);
        due.waker->fire(true);
        drainEvents();
    }
    m_monotonicMs = std::max(m_monotonicMs, target);
    drainEvents();
}

bool ManualClock::advanceUntil(const std::function<bool()> &done, std::chrono::milliseconds limit,
                               std::chrono::milliseconds step)
{
    std::chrono::milliseconds spent{0};
    drainEvents();
    while (!done()) {
        if (spent >= limit)
            return false;
        advance(step);
        spent += step;
    }
    return true;
}

void ManualClock::setNow(const QDateTime &now)
{
    m_wallShiftMs = m_epoch.msecsTo(now) - m_monotonicMs;
}

int ManualClock::pendingSleeps() const
{
    return int(std::count_if(m_pending.begin(), m_pending.end(),
                             [](const Pending &p) { return p.waker && !p.waker->fired(); }));
}

} // namespace qor
