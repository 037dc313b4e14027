#include "cancel_token.h"

#include <algorithm>

namespace qor {

void Waker::fire(bool completed)
{
    if (m_fired)
        return;
    m_fired = true;
    Q_EMIT woken(completed);
}

CancelToken::CancelToken() = default;

CancelToken::CancelToken(std::shared_ptr<State> state)
    : m_state(std::move(state))
{
}

CancelToken CancelToken::create()
{
    return CancelToken(std::make_shared<State>());
}

bool CancelToken::isCancelled() const
{
    return m_state && m_state->cancelled.load(std::memory_order_acquire);
}

void CancelToken::cancel() const
{
    if (!m_state || m_state->cancelled.exchange(true, std::memory_order_acq_rel))
        return;
    const auto wakers = std::exchange(m_state->wakers, {});
    for (const auto &waker : wakers) {
        if (waker)
            waker->fire(false);
    }
}

void CancelToken::addWaker(Waker *waker) const
{
    if (!m_state)
        return;
    if (isCancelled()) {
        waker->fire(false);
        return;
    }
    m_state->wakers.emplace_back(waker);
}

void CancelToken::removeWaker(Waker *waker) const
{
    if (!m_state)
        return;
    auto &w = m_state->wakers;
    w.erase(std::remove_if(w.begin(), w.end(), [waker](const QPointer<Waker> &p) { return !p || p == waker; }), w.end());
}

} // namespace qor
