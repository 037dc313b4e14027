#pragma once

#include "cancel_token.h"

#include <optional>

namespace qor {

// A field that holds the running instance of a restartable task.
// start() cancels the previous run and hands out the token of the new one;
// the coroutine tests that token after every suspension. Destroying the handle
// (with its owner) cancels the run, which then ends without touching the owner.
class TaskHandle {
public:
    TaskHandle() = default;
    TaskHandle(const TaskHandle &) = delete;
    TaskHandle &operator=(const TaskHandle &) = delete;
    ~TaskHandle() { cancel(); }

    CancelToken start()
    {
        cancel();
        m_token = CancelToken::create();
        return *m_token;
    }

    // Cancels the run; the handle stays present until cleared or restarted.
    void cancel()
    {
        if (m_token)
            m_token->cancel();
    }

    void cancelAndClear()
    {
        cancel();
        m_token.reset();
    }

    // Clears the handle only while it still refers to the given run, so an
    // ending task never clears a newer one.
    void clearIfCurrent(const CancelToken &token)
    {
        if (m_token && *m_token == token)
            m_token.reset();
    }

    bool isPresent() const { return m_token.has_value(); }
    bool isCurrent(const CancelToken &token) const { return m_token && *m_token == token; }

private:
    std::optional<CancelToken> m_token;
};

} // namespace qor
