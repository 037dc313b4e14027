#pragma once

#include <QObject>
#include <QPointer>

#include <atomic>
#include <memory>
#include <vector>

namespace qor {

// Wakes one suspended sleep exactly once, with "completed" or "cut short".
// Resumption is queued by the awaiting side, so a coroutine never runs inside
// the code that woke it (for example an owner's destructor).
class Waker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    void fire(bool completed);
    bool fired() const { return m_fired; }
Q_SIGNALS:
    void woken(bool completed);

private:
    bool m_fired = false;
};

// Shared state of one run of a cancellable task. The flag may be read from any
// thread; cancellation and the wakers belong to the thread that created the token.
class CancelToken {
public:
    // A default token is never cancelled.
    CancelToken();
    static CancelToken create();

    bool isCancelled() const;
    void cancel() const;

    // Sleeps register their waker here so that cancel() ends them at once.
    void addWaker(Waker *waker) const;
    void removeWaker(Waker *waker) const;

    bool operator==(const CancelToken &other) const { return m_state == other.m_state; }

private:
    struct State {
        std::atomic<bool> cancelled{false};
        std::vector<QPointer<Waker>> wakers;
    };
    explicit CancelToken(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

} // namespace qor
