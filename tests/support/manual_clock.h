#pragma once

#include "runtime/clock.h"

#include <QPointer>

#include <cstdint>
#include <functional>
#include <vector>

namespace qor {

// Only advance() moves time; due sleeps wake one at a time by deadline, then start order, draining events after each.
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime(QDate(2026, 1, 31), QTime(12, 0), Qt::UTC));

    QDateTime now() const override;
    // Moves only with advance(), never with setNow().
    std::chrono::milliseconds elapsed() const override { return std::chrono::milliseconds(m_monotonicMs); }
    QCoro::Task<bool> sleep(std::chrono::milliseconds duration, CancelToken token = {}) override;

    void advance(std::chrono::milliseconds by);
    // Advances in steps until the predicate holds or the limit is reached; true when it held.
    bool advanceUntil(const std::function<bool()> &done, std::chrono::milliseconds limit,
                      std::chrono::milliseconds step = std::chrono::milliseconds{100});
    // Jumps the wall clock without waking anything (a system clock change).
    void setNow(const QDateTime &now);

    int pendingSleeps() const;

    // Delivers queued events (resumed coroutines) until none are left.
    static void drainEvents();

private:
    struct Pending {
        qint64 deadline; // on the monotonic axis, so wall-clock jumps wake nothing
        std::uint64_t order;
        QPointer<Waker> waker;
    };
    QDateTime m_epoch;
    qint64 m_monotonicMs = 0;
    qint64 m_wallShiftMs = 0;
    std::uint64_t m_nextOrder = 0;
    std::vector<Pending> m_pending;
};

} // namespace qor
