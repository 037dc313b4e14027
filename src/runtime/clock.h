#pragma once

#include "cancel_token.h"

#include <QCoroTask>
#include <QDateTime>

#include <chrono>

namespace qor {

// The one source of time: the wall-clock "now" and cancellable sleeps.
// Production uses Qt timers (QtClock); tests use ManualClock with virtual time.
class Clock {
public:
    virtual ~Clock() = default;

    virtual QDateTime now() const = 0;

    // Time on a monotonic axis from an arbitrary origin. Deadlines are measured on
    // it: a change of the system clock must neither end a wait early nor stretch it
    // by the size of the jump.
    virtual std::chrono::milliseconds elapsed() const = 0;

    // Resolves true when the whole duration has passed, false when the token was
    // cancelled first (then it resolves at once). Resumes on the calling thread's
    // event loop, never synchronously inside cancel().
    virtual QCoro::Task<bool> sleep(std::chrono::milliseconds duration, CancelToken token = {}) = 0;
};

// Resumes on the next pass of the event loop: lets the code that started a task
// finish before the task's first step runs.
QCoro::Task<> nextEventLoopPass();

} // namespace qor
